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

} // namespace quillbox::posix
