#include "platform/file_preview.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error_text.h"
#include "platform/file_copy.h"

namespace quillbox::posix {

namespace {

// Whether the process may make and remove names in a folder.
int WritableFolder(int dir)
{
    return ::faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

} // namespace

FileOutcome PreviewFile(RunFolderHandles& folders, int sourceDir, const char* name, char bucket, TransferMode mode,
                        bool bucketsWillBeMade, const LengthFn& length)
{
    const bool move = mode == TransferMode::Move;
    struct stat source {};
    if (move) {
        if (::fstatat(sourceDir, name, &source, AT_SYMLINK_NOFOLLOW) != 0)
            return {FileStage::Examine, Failure(errno)};
        if (S_ISLNK(source.st_mode)) {
            struct stat target {};
            if (::fstatat(sourceDir, name, &target, 0) == 0 && S_ISREG(target.st_mode))
                source.st_size = target.st_size;
            else
                source.st_size = 0;
        } else if (!S_ISREG(source.st_mode)) {
            if (length)
                length(static_cast<std::uint64_t>(source.st_size));
            return {FileStage::Transfer, NotRegularFile()};
        }
    } else {
        SourceFile opened;
        if (FsStatus status = OpenSourceFile(sourceDir, name, 0, opened); !status.ok()) {
            if (::fstatat(sourceDir, name, &source, 0) != 0)
                return {FileStage::Examine, Failure(errno)};
            if (length)
                length(static_cast<std::uint64_t>(source.st_size));
            return {FileStage::Transfer, std::move(status)};
        }
        source = opened.st;
    }
    if (length)
        length(static_cast<std::uint64_t>(source.st_size));

    const FsResult<int> dir = folders.bucket(bucket);
    if (!dir.ok()) {
        // A bucket the run is to make first: a new folder takes any name.
        if (bucketsWillBeMade && dir.status().error == ENOENT) {
            const FsResult<int> destination = folders.destination();
            if (destination.ok() && WritableFolder(destination.value()) == 0)
                return {};
        }
        return {FileStage::Transfer, dir.status()};
    }
    if (const int error = WritableFolder(dir.value()); error != 0)
        return {FileStage::Transfer, Failure(error)};
    if (move) {
        if (const int error = WritableFolder(sourceDir); error != 0)
            return {FileStage::Transfer, Failure(error)};
    }

    struct stat target {};
    if (::fstatat(dir.value(), name, &target, AT_SYMLINK_NOFOLLOW) != 0)
        return {}; // the name is free
    // A move never replaces, not even the file by itself; a copy replaces a
    // file as a whole, and a file copied onto itself stays as it is.
    if (move)
        return {FileStage::Transfer, Failure(EEXIST)};
    if (S_ISDIR(target.st_mode))
        return {FileStage::Transfer, Failure(EISDIR)};
    return {};
}

} // namespace quillbox::posix
