// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/system_calls.h"

#include <cerrno>

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

namespace quillbox {

int SystemCalls::renameNoReplace(int fromDir, const char* from, int toDir, const char* to)
{
    return ::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE);
}

int SystemCalls::renameReplace(int fromDir, const char* from, int toDir, const char* to)
{
    return ::renameat(fromDir, from, toDir, to);
}

int SystemCalls::link(int fromDir, const char* from, int toDir, const char* to, int flags)
{
    return ::linkat(fromDir, from, toDir, to, flags);
}

int SystemCalls::openAnonymous(int dir, int flags, mode_t mode)
{
    return ::openat(dir, ".", O_TMPFILE | flags, mode);
}

ssize_t SystemCalls::copyRange(int in, off_t* inOffset, int out, off_t* outOffset, std::size_t length)
{
    return ::copy_file_range(in, inOffset, out, outOffset, length, 0);
}

DIR* SystemCalls::openDirectory(const char* path)
{
    return ::opendir(path);
}

dirent* SystemCalls::readDirectory(DIR* dir)
{
    return ::readdir(dir);
}

int SystemCalls::lookAt(int dir, const char* name, struct stat* st, int flags)
{
    return ::fstatat(dir, name, st, flags);
}

int SystemCalls::syncFile(int fd)
{
    // A signal may cut a sync short on a share or a user-space mount: it is
    // made again.
    int synced;
    do {
        synced = ::fsync(fd);
    } while (synced != 0 && errno == EINTR);
    return synced;
}

std::int64_t SystemCalls::monotonicNanoseconds()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

SystemCalls& SystemCalls::real()
{
    static SystemCalls calls;
    return calls;
}

} // namespace quillbox
