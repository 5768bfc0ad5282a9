#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_system.h"

namespace quillbox {
struct FsLength {
    std::uint64_t bytes = 0;
    FsStatus status;
};
using ChunkCallback = std::function<void()>;
}

namespace quillbox {

// The file-system operations of a run on Linux.
//
// - Listing streams the folder with readdir and passes over everything that
//   is not a regular file or a link to one, so a FIFO never blocks a run.
// - Copy writes a temporary file beside the target and renames it into
//   place: the old target is either whole or replaced whole, and a failure
//   leaves no temporary file behind.
// - Move never replaces: renameat2(RENAME_NOREPLACE), else link + unlink;
//   across file systems it copies completely before it removes the source.
//
// Paths are resolved through handles of the folders they lie in, kept open
// for the length of a pass, so that each file costs one short lookup per
// call instead of a walk down the whole path. A new listing or a new folder
// drops the handles, so a run never works on folders from an earlier one.
class PosixFileSystem : public FileSystem {
public:
    PosixFileSystem() = default;
    ~PosixFileSystem() override;
    PosixFileSystem(const PosixFileSystem&) = delete;
    PosixFileSystem& operator=(const PosixFileSystem&) = delete;

    std::unique_ptr<FileListing> listFiles(const std::string& folder) override;
    FsStatus createFolder(const std::string& path) override;
    std::unique_ptr<RunFolders> openRun(const std::string& source, const std::string& destination) override;

    virtual FsLength fileLength(const std::string& path);
    virtual FsLength lengthBeforeCopy(const std::string& path);
    FsStatus copyFile(const std::string& source, const std::string& target,
                      const ChunkCallback& betweenChunks);
    FsStatus moveFile(const std::string& source, const std::string& target,
                      const ChunkCallback& betweenChunks);

    // Bytes copied between two calls of the chunk callback.
    // Small enough that even a slow disk writes one in well under the time
    // a person notices, so the window keeps repainting during a long copy.
    static constexpr off_t kChunkBytes = 1024 * 1024;

protected:
    // Seams for the tests of the fallbacks; they behave like the system calls
    // (return -1 and set errno on failure).
    virtual int renameNoReplace(const char* from, const char* to);
    virtual int renameReplace(const char* from, const char* to);

private:
    // A path split into an open handle of its folder and the bare name; the
    // handle is AT_FDCWD (and the name the whole path) where the folder could
    // not be opened, so the call itself reports why.
    struct At {
        int dir;
        const char* name;
        int error; // why the folder could not be opened, or 0
        bool remembered = false; // `error` is from an earlier try
    };
    At locate(const char* path);
    At locate(const std::string& path) { return locate(path.c_str()); }
    // Like locate, but a folder that would not open is tried once more now.
    At locateAfresh(const std::string& path);
    void dropFolderHandles();
    void closeOpenedSource();
    void makeRoomForFolders();

    // A folder that would not open is kept too, with fd -1 and the reason,
    // so that a run of failures into it does not try to open it for every
    // file; it is tried again after kMissingFolderTries lookups.
    struct FolderHandle {
        std::string folder;
        int fd;
        int error = 0;
        int triesLeft = 0;
    };
    std::vector<FolderHandle> m_folders;

    // What the last length lookup found, so a move of that same file right
    // after it need not look again whether it is a regular file.
    std::string m_lastLengthPath;
    bool m_lastLengthRegular = false;
    std::size_t m_lastFolder = 0;
    std::size_t m_previousFolder = 0;
    // Position + 1 in m_folders of the folder last opened whose path ends in
    // a given byte; 0 for none.
    std::array<std::uint8_t, 256> m_byLastCharacter {};

    // The file lengthBeforeCopy opened, for the copy of it that follows.
    int m_openedFd = -1;
    std::string m_openedPath;
    struct stat m_openedStat {};

    // The temporary file's path, built here rather than afresh per copy.
    std::string m_tempPath;
};

// The platform's reason for an errno value ("No such file or directory").
std::string ErrorText(int error);

} // namespace quillbox
