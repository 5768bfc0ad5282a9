// SPDX-License-Identifier: GPL-3.0-or-later
// What a take-back compares before it acts: a folder of the run, a file's
// identity and how many
// names it has, and whether two files hold the same bytes or are a copy of
// each other.
#include "platform/take_back_looks.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/error_text.h"
#include "platform/file_identity.h"
#include "platform/share_identity.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

namespace {

std::int64_t Nanoseconds(const struct statx_timestamp& time)
{
    return time.tv_sec * 1'000'000'000 + time.tv_nsec;
}

bool SameLinkTarget(int dirA, const char* nameA, int dirB, const char* nameB)
{
    char targetA[PATH_MAX + 1], targetB[PATH_MAX + 1];
    const ssize_t lengthA = ::readlinkat(dirA, nameA, targetA, sizeof targetA);
    const ssize_t lengthB = ::readlinkat(dirB, nameB, targetB, sizeof targetB);
    return lengthA >= 0 && lengthA == lengthB && static_cast<std::size_t>(lengthA) < sizeof targetA &&
        std::memcmp(targetA, targetB, static_cast<std::size_t>(lengthA)) == 0;
}

} // namespace

int OpenRetrying(int dir, const char* name, int flags)
{
    for (;;) {
        const int fd = ::openat(dir, name, flags);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

ssize_t ReadRetrying(int fd, char* into, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::read(fd, into, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

FsStatus OpenRunFolder(const ResolvedFolder& folder, UniqueFd& fd)
{
    if (!folder.identity.known())
        return Failure(ESTALE, "it was not there when the run began");
    std::string path = folder.path;
    if (path.size() > 1)
        path.pop_back();
    fd.reset(OpenRetrying(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ELOOP || errno == ENOTDIR)
            return Failure(ESTALE, "it is now a link, or no folder");
        if (errno == ENOENT)
            return Failure(ENOENT, "it is no longer there");
        return Failure(errno);
    }
    FolderIdentity now;
    if (!JournalFolderIdentity(fd.get(), now))
        return Failure(errno);
    if (!now.matches(folder.identity)) {
        fd.reset();
        if (KeptAsOnLocalDisk(folder.identity, now))
            return Failure(ESTALE, kKeptAsOnLocalDisk);
        return Failure(ESTALE, "it is no longer the folder the run used");
    }
    return FsStatus::success();
}

FsStatus RemoveMadeFolder(int parent, const char* name, const FolderIdentity& made)
{
    FolderIdentity now;
    if (!FolderIdentityAt(parent, name, AT_SYMLINK_NOFOLLOW, now)) {
        if (errno == ENOENT)
            return FsStatus::success();
        if (errno != ENOTDIR)
            return Failure(errno);
    }
    if (made.device == kShareDevice) {
        // As a journal on a share knows the folder.
        const UniqueFd folder(OpenRetrying(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid() || !JournalFolderIdentity(folder.get(), now))
            return Failure(errno == ENOENT ? ENOENT : ESTALE, "it is not the folder the run made");
    }
    if (!now.matches(made))
        return Failure(ESTALE, "it is not the folder the run made");
    if (::unlinkat(parent, name, AT_REMOVEDIR) != 0)
        return Failure(errno);
    return FsStatus::success();
}

bool LookAt(int dir, const char* name, FileIdentity& identity, std::uint64_t& links)
{
    struct statx st {};
    if (::statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return false;
    identity = {static_cast<std::uint64_t>(::makedev(st.stx_dev_major, st.stx_dev_minor)),
                st.stx_ino,
                st.stx_size,
                Nanoseconds(st.stx_mtime),
                Nanoseconds(st.stx_ctime),
                (st.stx_mask & STATX_BTIME) != 0 ? Nanoseconds(st.stx_btime) : 0};
    links = st.stx_nlink;
    return true;
}

bool SameBytes(int a, int b)
{
    constexpr std::size_t kChunk = 64 * 1024;
    std::unique_ptr<char[]> bufferA(new char[kChunk]), bufferB(new char[kChunk]);
    for (;;) {
        const ssize_t gotA = ReadRetrying(a, bufferA.get(), kChunk);
        if (gotA < 0)
            return false;
        std::size_t gotB = 0;
        while (gotB < static_cast<std::size_t>(gotA)) {
            const ssize_t more = ReadRetrying(b, bufferB.get() + gotB, static_cast<std::size_t>(gotA) - gotB);
            if (more <= 0)
                return false;
            gotB += static_cast<std::size_t>(more);
        }
        if (std::memcmp(bufferA.get(), bufferB.get(), gotB) != 0)
            return false;
        if (gotA == 0) {
            char extra;
            return ReadRetrying(b, &extra, 1) == 0;
        }
    }
}

bool SameBytesAt(int dirA, const char* nameA, int dirB, const char* nameB)
{
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd a(OpenRetrying(dirA, nameA, flags));
    UniqueFd b(OpenRetrying(dirB, nameB, flags));
    struct stat sa {
    }, sb {};
    return a.valid() && b.valid() && ::fstat(a.get(), &sa) == 0 && ::fstat(b.get(), &sb) == 0 && S_ISREG(sa.st_mode) &&
        S_ISREG(sb.st_mode) && sa.st_size == sb.st_size && SameBytes(a.get(), b.get());
}

bool SameCopy(int dirA, const char* nameA, int dirB, const char* nameB)
{
    struct stat sa {
    }, sb {};
    if (::fstatat(dirA, nameA, &sa, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstatat(dirB, nameB, &sb, AT_SYMLINK_NOFOLLOW) != 0 || sa.st_dev == sb.st_dev ||
        (sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT) || sa.st_size != sb.st_size ||
        sa.st_mtim.tv_sec != sb.st_mtim.tv_sec || sa.st_mtim.tv_nsec != sb.st_mtim.tv_nsec)
        return false;
    if (S_ISLNK(sa.st_mode))
        return SameLinkTarget(dirA, nameA, dirB, nameB);
    if (!S_ISREG(sa.st_mode))
        return false;
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd a(OpenRetrying(dirA, nameA, flags));
    UniqueFd b(OpenRetrying(dirB, nameB, flags));
    struct stat oa {
    }, ob {};
    // The files opened are the ones looked at.
    return a.valid() && b.valid() && ::fstat(a.get(), &oa) == 0 && ::fstat(b.get(), &ob) == 0 &&
        oa.st_ino == sa.st_ino && oa.st_dev == sa.st_dev && ob.st_ino == sb.st_ino && ob.st_dev == sb.st_dev &&
        SameBytes(a.get(), b.get());
}

bool FinishCutShortLinkCopy(int dirA, const char* nameA, int dirB, const char* nameB)
{
    struct statx a {
    }, b {};
    const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
    if (::statx(dirA, nameA, AT_SYMLINK_NOFOLLOW, mask, &a) != 0 ||
        ::statx(dirB, nameB, AT_SYMLINK_NOFOLLOW, mask, &b) != 0 || !S_ISLNK(a.stx_mode) || !S_ISLNK(b.stx_mode) ||
        (b.stx_mask & STATX_BTIME) == 0 || (a.stx_dev_major == b.stx_dev_major && a.stx_dev_minor == b.stx_dev_minor))
        return false;
    // Made after the link got its private name, its time of making not
    // changed since: the take-back's own copy, or one no one can tell
    // from it.
    if (Nanoseconds(b.stx_btime) < Nanoseconds(a.stx_ctime) || Nanoseconds(b.stx_mtime) != Nanoseconds(b.stx_btime) ||
        !SameLinkTarget(dirA, nameA, dirB, nameB))
        return false;
    ::fchownat(dirB, nameB, a.stx_uid, a.stx_gid, AT_SYMLINK_NOFOLLOW);
    const struct timespec times[2] = {{a.stx_atime.tv_sec, a.stx_atime.tv_nsec},
                                      {a.stx_mtime.tv_sec, a.stx_mtime.tv_nsec}};
    return ::utimensat(dirB, nameB, times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace quillbox::posix
