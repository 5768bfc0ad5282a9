// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace quillbox {

// The few system services whose refusals the file layer has fallbacks for,
// and its clock. Each behaves like the call it wraps (-1, or nullptr, with
// errno set on failure). The program uses them as they are; a test derives
// from this to make a file system refuse what a real one it cannot mount
// would refuse, or to move time on.
class SystemCalls {
public:
    virtual ~SystemCalls() = default;

    // renameat2(..., RENAME_NOREPLACE)
    virtual int renameNoReplace(int fromDir, const char* from, int toDir, const char* to);
    // renameat(...): replaces the target.
    virtual int renameReplace(int fromDir, const char* from, int toDir, const char* to);
    // linkat(...)
    virtual int link(int fromDir, const char* from, int toDir, const char* to, int flags);
    // openat(dir, ".", O_TMPFILE | flags, mode): a file without a name.
    virtual int openAnonymous(int dir, int flags, mode_t mode);
    // copy_file_range(...)
    virtual ssize_t copyRange(int in, off_t* inOffset, int out, off_t* outOffset, std::size_t length);
    // opendir(...)
    virtual DIR* openDirectory(const char* path);
    // readdir(...)
    virtual dirent* readDirectory(DIR* dir);
    // fstatat(...): a listing's looks at its folder and its entries.
    virtual int lookAt(int dir, const char* name, struct stat* st, int flags);
    // fsync(...): a file's data, or a folder's entries, on the disk.
    virtual int syncFile(int fd);
    // CLOCK_MONOTONIC, in nanoseconds: the file layer's clock for how long
    // a chunk took or since when a folder was checked, the same time the
    // program's Clock (core/ports/clock.h) tells as its monotonic time.
    virtual std::int64_t monotonicNanoseconds();

    // The calls as the system makes them; shared, as they keep no state.
    static SystemCalls& real();
};

} // namespace quillbox
