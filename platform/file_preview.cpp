#include "platform/file_preview.h"

#include <cerrno>
#include <dirent.h>
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

int CachedAccess(int& known, int dir)
{
    if (known < 0)
        known = WritableFolder(dir);
    return known;
}

// Whether `name` is taken in a bucket folder: from the folder's names, read
// once, where it can be read; else by looking the name up.
bool NameTaken(PreviewState::Folder& folder, int dir, const char* name)
{
    if (!folder.listed && !folder.unlistable) {
        const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (listing == nullptr) {
            if (fd >= 0)
                ::close(fd);
            folder.unlistable = true;
        } else {
            while (const dirent* entry = ::readdir(listing))
                folder.names.emplace(entry->d_name);
            ::closedir(listing);
            folder.listed = true;
        }
    }
    if (folder.listed)
        return folder.names.count(name) != 0;
    struct stat st; // filled by the call
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

FileOutcome PreviewFile(PreviewState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                        TransferMode mode, bool bucketsWillBeMade, const LengthFn& length)
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

    PreviewState::Folder& folder = state.buckets[static_cast<unsigned char>(bucket)];
    // A bucket the run is to make first: a new folder takes any name.
    if (folder.willBeMade)
        return {};
    const FsResult<int> dir = folders.bucket(bucket);
    if (!dir.ok()) {
        if (bucketsWillBeMade && dir.status().error == ENOENT) {
            const FsResult<int> destination = folders.destination();
            if (destination.ok() && CachedAccess(state.destinationAccess, destination.value()) == 0) {
                folder.willBeMade = true;
                return {};
            }
        }
        return {FileStage::Transfer, dir.status()};
    }
    if (const int error = CachedAccess(folder.access, dir.value()); error != 0)
        return {FileStage::Transfer, Failure(error)};
    if (move) {
        if (const int error = CachedAccess(state.sourceAccess, sourceDir); error != 0)
            return {FileStage::Transfer, Failure(error)};
    }

    if (!NameTaken(folder, dir.value(), name))
        return {}; // the name is free
    struct stat target {};
    if (::fstatat(dir.value(), name, &target, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    // A move never replaces, not even the file by itself; a copy replaces a
    // file as a whole, and a file copied onto itself stays as it is.
    if (move)
        return {FileStage::Transfer, Failure(EEXIST)};
    if (S_ISDIR(target.st_mode))
        return {FileStage::Transfer, Failure(EISDIR)};
    return {};
}

} // namespace quillbox::posix
