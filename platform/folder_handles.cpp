#include "platform/folder_handles.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/error_text.h"

namespace quillbox::posix {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

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
    : m_calls(calls),
      m_sourcePath(std::move(source)),
      m_destinationPath(std::move(destination)),
      m_lastDrop(calls.monotonicNanoseconds() / 1000000)
{
    OpenNamedFolder(m_source, m_sourcePath);
    OpenNamedFolder(m_destination, m_destinationPath);
}

FsResult<int> RunFolderHandles::source()
{
    return OpenNamedFolder(m_source, m_sourcePath);
}

FsResult<int> RunFolderHandles::destination()
{
    return OpenNamedFolder(m_destination, m_destinationPath);
}

FsResult<int> RunFolderHandles::bucket(char letter)
{
    const std::int64_t now = m_calls.monotonicNanoseconds() / 1000000;
    if (now - m_lastDrop >= kRecheckMs) {
        for (Bucket& bucket : m_buckets)
            bucket = Bucket {};
        m_lastDrop = now;
    }
    Bucket& bucket = m_buckets[static_cast<unsigned char>(letter)];
    if (bucket.fd.valid())
        return bucket.fd.get();
    return openBucket(bucket, letter);
}

FsResult<int> RunFolderHandles::openBucket(Bucket& bucket, char letter)
{
    if (letter == '/' || letter == '\0')
        return Failure(EINVAL, "Not a bucket folder name");
    const FsResult<int> destination = this->destination();
    if (!destination.ok())
        return destination;
    const char name[2] = {letter, '\0'};
    bucket.fd.reset(::openat(destination.value(), name, kFolderFlags | O_NOFOLLOW));
    if (bucket.fd.valid())
        return bucket.fd.get();
    const int error = errno;
    struct stat st; // filled by the call
    if ((error == ENOTDIR || error == ELOOP) &&
        ::fstatat(destination.value(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        std::string reason = "The folder ";
        reason.append(m_destinationPath).push_back(letter);
        reason.append(" is a symbolic link and is not followed");
        return Failure(ELOOP, std::move(reason));
    }
    return Failure(error);
}

} // namespace quillbox::posix
