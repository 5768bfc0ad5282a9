#pragma once

#include <sys/types.h>

#include "file_system.h"

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
class PosixFileSystem : public FileSystem {
public:
    std::unique_ptr<FileListing> listFiles(const std::string& folder) override;
    FsLength fileLength(const std::string& path) override;
    FsStatus createFolder(const std::string& path) override;
    FsStatus copyFile(const std::string& source, const std::string& target,
                      const ChunkCallback& betweenChunks) override;
    FsStatus moveFile(const std::string& source, const std::string& target,
                      const ChunkCallback& betweenChunks) override;

    // Bytes copied between two calls of the chunk callback.
    static constexpr off_t kChunkBytes = 8 * 1024 * 1024;

protected:
    // Seams for the tests of the fallbacks; they behave like the system calls
    // (return -1 and set errno on failure).
    virtual int renameNoReplace(const char* from, const char* to);
    virtual int renameReplace(const char* from, const char* to);
};

// The platform's reason for an errno value ("No such file or directory").
std::string ErrorText(int error);

} // namespace quillbox
