#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillbox {

// The outcome of a file-system operation: 0 on success, otherwise the errno
// value, with the platform's reason ("File exists") for the log.
struct FsStatus {
    int error = 0;
    std::string reason;

    bool ok() const { return error == 0; }
    static FsStatus success() { return {}; }
};

struct FsLength {
    std::uint64_t bytes = 0;
    FsStatus status;
};

// A running listing of the files directly inside one folder: regular files
// and links to regular files, hidden ones included; never folders, FIFOs,
// sockets or devices. Names are bare and raw bytes.
class FileListing {
public:
    virtual ~FileListing() = default;
    // The next name, or "" when no file is left. The name stays valid until
    // the next call; a listing reuses its storage, so a long pass does not
    // allocate a string per file.
    virtual const std::string& next() = 0;
};

// Called between the chunks of a long copy, so the window stays alive.
using ChunkCallback = std::function<void()>;

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // A folder that does not exist or cannot be read yields no names.
    virtual std::unique_ptr<FileListing> listFiles(const std::string& folder) = 0;
    virtual FsLength fileLength(const std::string& path) = 0;
    // The length of a file that is about to be copied. An implementation may
    // open the file here and keep it for a copyFile of the same path that
    // comes next, so that the copy reads the very file that was measured.
    virtual FsLength lengthBeforeCopy(const std::string& path) { return fileLength(path); }
    virtual FsStatus createFolder(const std::string& path) = 0;
    // Replaces an existing target as a whole, or leaves it untouched.
    virtual FsStatus copyFile(const std::string& source, const std::string& target,
                              const ChunkCallback& betweenChunks) = 0;
    // Never replaces an existing target.
    virtual FsStatus moveFile(const std::string& source, const std::string& target,
                              const ChunkCallback& betweenChunks) = 0;
};

} // namespace quillbox
