// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/folder_handles.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ports/fs_try.h"
#include "platform/error_text.h"
#include "platform/file_identity.h"
#include "platform/share_identity.h"

namespace quillbox::posix {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
constexpr int kReadableFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Opens a folder named by the user; a link on the way is theirs to make.
FsResult<int> OpenNamedFolder(UniqueFd& fd, const std::string& path)
{
    if (!fd.valid()) {
        fd.reset(::open(path.c_str(), kFolderFlags));
        if (!fd.valid())
            return Failure(errno);
    }
    return fd.get();
}

} // namespace

RunFolderHandles::RunFolderHandles(std::string source, std::string destination, SystemCalls& calls)
    : m_calls(calls), m_sourcePath(std::move(source)), m_destinationPath(std::move(destination))
{
    OpenNamedFolder(m_source, m_sourcePath);
    OpenNamedFolder(m_destination, m_destinationPath);
}

FsResult<int> RunFolderHandles::source()
{
    return OpenNamedFolder(m_source, m_sourcePath);
}

dev_t RunFolderHandles::sourceDevice()
{
    struct stat st; // filled by the call
    if (m_sourceDevice == 0 && m_source.valid() && ::fstat(m_source.get(), &st) == 0)
        m_sourceDevice = st.st_dev;
    return m_sourceDevice;
}

FsResult<int> RunFolderHandles::destination()
{
    return OpenNamedFolder(m_destination, m_destinationPath);
}

BucketTraits& RunFolderHandles::traits(char letter)
{
    BucketTraits* traits = m_buckets[static_cast<unsigned char>(letter)].traits;
    return traits != nullptr ? *traits : m_unknown;
}

BucketTraits& RunFolderHandles::traitsOf(dev_t device, int folder)
{
    for (Learnt& learnt : m_learnt) {
        if (learnt.device == device)
            return learnt.traits;
    }
    BucketTraits traits;
    // Known before any call is spent on them (see LinksGiveAnotherFile).
    traits.linksRefused = folder >= 0 && LinksGiveAnotherFile(folder);
    return m_learnt.emplace_back(Learnt {device, traits}).traits;
}

FsResult<int> RunFolderHandles::bucket(char letter)
{
    Bucket& bucket = m_buckets[static_cast<unsigned char>(letter)];
    if (bucket.fd.valid()) {
        const std::int64_t now = m_calls.monotonicNanoseconds() / 1000000;
        if (now - bucket.checkedAt < kRecheckMs)
            return bucket.fd.get();
        // Still the folder the handle holds?
        const char name[2] = {letter, '\0'};
        FolderIdentity named;
        if (m_destination.valid() && FolderIdentityAt(m_destination.get(), name, AT_SYMLINK_NOFOLLOW, named) &&
            named.matches(bucket.identity)) {
            bucket.checkedAt = now;
            return bucket.fd.get();
        }
        bucket.fd.reset();
    }
    return openBucket(bucket, letter);
}

FsResult<int> RunFolderHandles::openBucket(Bucket& bucket, char letter)
{
    if (letter == '/' || letter == '\0')
        return Failure(EINVAL, "Not a bucket folder name");
    QB_TRY_ASSIGN(const int destination, this->destination());
    const char name[2] = {letter, '\0'};
    bucket.fd.reset(::openat(destination, name, kReadableFolderFlags | O_NOFOLLOW));
    if (!bucket.fd.valid() && errno == EACCES) // a drop box, 0733
        bucket.fd.reset(::openat(destination, name, kFolderFlags | O_NOFOLLOW));
    if (bucket.fd.valid()) {
        if (!FolderIdentityAt(bucket.fd.get(), "", AT_EMPTY_PATH, bucket.identity)) {
            const int error = errno;
            bucket.fd.reset();
            return Failure(error);
        }
        bucket.checkedAt = m_calls.monotonicNanoseconds() / 1000000;
        bucket.traits = &traitsOf(static_cast<dev_t>(bucket.identity.device), bucket.fd.get());
        return bucket.fd.get();
    }
    const int error = errno;
    struct stat st; // filled by the call
    if ((error == ENOTDIR || error == ELOOP) && ::fstatat(destination, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        std::string reason = "The folder ";
        reason.append(m_destinationPath).push_back(letter);
        reason.append(" is a symbolic link and is not followed");
        return Failure(ELOOP, std::move(reason));
    }
    return Failure(error);
}

FsStatus SyncFolder(SystemCalls& calls, int dir, int fileOnIt)
{
    const int flags = ::fcntl(dir, F_GETFL);
    if (flags < 0)
        return Failure(errno);
    // A bucket held open for reading is synced through its own handle.
    if ((flags & O_PATH) == 0) {
        if (calls.syncFile(dir) != 0)
            return Failure(errno);
        return FsStatus::success();
    }
    UniqueFd folder(::openat(dir, ".", kReadableFolderFlags));
    if (folder.valid()) {
        if (calls.syncFile(folder.get()) != 0)
            return Failure(errno);
        return FsStatus::success();
    }
    if (errno != EACCES)
        return Failure(errno);
    UniqueFd made;
    if (fileOnIt < 0) {
        made.reset(calls.openAnonymous(dir, O_WRONLY | O_CLOEXEC, 0600));
        if (!made.valid())
            return Failure(EACCES);
        fileOnIt = made.get();
    }
    if (::syncfs(fileOnIt) != 0)
        return Failure(errno);
    return FsStatus::success();
}

} // namespace quillbox::posix
