// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file_identity.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace quillbox::posix {

namespace {

std::int64_t Nanoseconds(std::int64_t seconds, std::int64_t nanoseconds)
{
    return seconds * 1'000'000'000 + nanoseconds;
}

bool IdentityOfStatx(int dir, const char* name, int flags, FileIdentity& identity, mode_t* type = nullptr)
{
    struct statx st {};
    if (::statx(dir, name, flags | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return false;
    if (type != nullptr)
        *type = st.stx_mode & S_IFMT;
    identity = {static_cast<std::uint64_t>(::makedev(st.stx_dev_major, st.stx_dev_minor)),
                st.stx_ino,
                st.stx_size,
                Nanoseconds(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec),
                Nanoseconds(st.stx_ctime.tv_sec, st.stx_ctime.tv_nsec),
                (st.stx_mask & STATX_BTIME) != 0 ? Nanoseconds(st.stx_btime.tv_sec, st.stx_btime.tv_nsec) : 0};
    return true;
}

} // namespace

FileIdentity IdentityOf(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev),
            static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            Nanoseconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
            Nanoseconds(st.st_ctim.tv_sec, st.st_ctim.tv_nsec),
            0};
}

bool IdentityOfOpen(int fd, FileIdentity& identity)
{
    return IdentityOfStatx(fd, "", AT_EMPTY_PATH, identity);
}

bool IdentityAt(int dir, const char* name, FileIdentity& identity)
{
    return IdentityOfStatx(dir, name, 0, identity);
}

bool IdentityAndTypeAt(int dir, const char* name, FileIdentity& identity, mode_t& type)
{
    return IdentityOfStatx(dir, name, 0, identity, &type);
}

bool FolderIdentityAt(int dir, const char* name, int flags, FolderIdentity& identity)
{
    // What a folder is known by never changes while its inode lives: what
    // the system holds of the inode the name leads to (the name itself is
    // looked up as ever) is enough. On a share this spares a round trip per
    // look, as every file placed in a folder makes its attributes stale.
    struct statx st {};
    if (::statx(dir, name, flags | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO | STATX_BTIME, &st) != 0)
        return false;
    if (!S_ISDIR(st.stx_mode)) {
        errno = ENOTDIR;
        return false;
    }
    identity = {static_cast<std::uint64_t>(::makedev(st.stx_dev_major, st.stx_dev_minor)), st.stx_ino,
                (st.stx_mask & STATX_BTIME) != 0 ? Nanoseconds(st.stx_btime.tv_sec, st.stx_btime.tv_nsec) : 0};
    return true;
}

bool Unchanged(const struct stat& before, const struct stat& now)
{
    return before.st_dev == now.st_dev && before.st_ino == now.st_ino && before.st_size == now.st_size &&
        before.st_ctim.tv_sec == now.st_ctim.tv_sec && before.st_ctim.tv_nsec == now.st_ctim.tv_nsec;
}

int LookFresh(int dir, const char* name, int flags, struct stat& st)
{
    struct statx x {};
    if (::statx(dir, name, flags | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &x) != 0)
        return -1;
    st = {};
    st.st_dev = ::makedev(x.stx_dev_major, x.stx_dev_minor);
    st.st_ino = x.stx_ino;
    st.st_mode = x.stx_mode;
    st.st_nlink = x.stx_nlink;
    st.st_uid = x.stx_uid;
    st.st_gid = x.stx_gid;
    st.st_rdev = ::makedev(x.stx_rdev_major, x.stx_rdev_minor);
    st.st_size = static_cast<off_t>(x.stx_size);
    st.st_blksize = static_cast<blksize_t>(x.stx_blksize);
    st.st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
    st.st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
    st.st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
    st.st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
    return 0;
}

} // namespace quillbox::posix
