// SPDX-License-Identifier: GPL-3.0-or-later
// A slow mount for benchmarks: a multithreaded pass-through of one folder in
// which every call waits a fixed delay first, as every call to a network
// share is a round trip, and which refuses what such shares often refuse:
// rename flags (EINVAL) and hard links (EPERM). Extended attributes and
// O_TMPFILE are not offered at all.
//
//   slow_passthrough [--delay-ms=N] [--stats=FILE] ROOT MOUNTPOINT [FUSE options]
//
// With --stats, the number of calls of each kind is written to FILE when the
// mount goes (fusermount3 -u), one "name count" a line.

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

enum Call {
    kGetattr,
    kReaddir,
    kOpendir,
    kReleasedir,
    kMkdir,
    kUnlink,
    kRmdir,
    kRename,
    kLink,
    kSymlink,
    kReadlink,
    kChmod,
    kChown,
    kTruncate,
    kUtimens,
    kCreate,
    kOpen,
    kRead,
    kWrite,
    kFlush,
    kRelease,
    kFsync,
    kFsyncdir,
    kStatfs,
    kAccess,
    kReplyGetattr,
    kCalls
};
static const char* const kCallNames[kCalls] = {
    "getattr",          "readdir", "opendir",  "releasedir", "mkdir",
    "unlink",           "rmdir",   "rename",   "link",       "symlink",
    "readlink",         "chmod",   "chown",    "truncate",   "utimens",
    "create",           "open",    "read",     "write",      "flush",
    "release",          "fsync",   "fsyncdir", "statfs",     "access",
    "getattr-in-reply",
};

static int g_root = -1;
static long g_delayNs = 0;
static const char* g_statsPath = NULL;
static atomic_long g_counts[kCalls];
// Set by a call whose reply carries the file's attributes: this library
// reads them with a getattr of its own right after, on the same thread,
// which in the protocol is no round trip of its own.
static __thread int g_attributesInReply = 0;

// Every call is counted and waits the delay before it acts.
static void RoundTrip(enum Call call)
{
    atomic_fetch_add_explicit(&g_counts[call], 1, memory_order_relaxed);
    if (g_delayNs <= 0)
        return;
    struct timespec left = {g_delayNs / 1000000000L, g_delayNs % 1000000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

// A path of the mount as a name relative to the root folder.
static const char* Relative(const char* path)
{
    while (*path == '/')
        ++path;
    return *path == '\0' ? "." : path;
}

static int Result(int value)
{
    return value < 0 ? -errno : 0;
}

// The result of a call whose reply carries the attributes, when it succeeds.
static int Replied(int result)
{
    g_attributesInReply = result == 0;
    return result;
}

static void* Init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    cfg->use_ino = 1;     // the folder's own inode numbers
    cfg->hard_remove = 1; // open files are read and written by handle
    return NULL;
}

static void Destroy(void* data)
{
    (void)data;
    if (g_statsPath == NULL)
        return;
    FILE* out = fopen(g_statsPath, "w");
    if (out == NULL)
        return;
    for (int i = 0; i < kCalls; ++i)
        fprintf(out, "%s %ld\n", kCallNames[i], atomic_load(&g_counts[i]));
    fclose(out);
}

static int Getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    if (g_attributesInReply) {
        g_attributesInReply = 0;
        atomic_fetch_add_explicit(&g_counts[kReplyGetattr], 1, memory_order_relaxed);
    } else {
        RoundTrip(kGetattr);
    }
    if (fi != NULL)
        return Result(fstat((int)fi->fh, st));
    return Result(fstatat(g_root, Relative(path), st, AT_SYMLINK_NOFOLLOW));
}

static int Access(const char* path, int mask)
{
    RoundTrip(kAccess);
    return Result(faccessat(g_root, Relative(path), mask, AT_SYMLINK_NOFOLLOW));
}

static int Readlink(const char* path, char* buffer, size_t size)
{
    RoundTrip(kReadlink);
    const ssize_t length = readlinkat(g_root, Relative(path), buffer, size - 1);
    if (length < 0)
        return -errno;
    buffer[length] = '\0';
    return 0;
}

static int Opendir(const char* path, struct fuse_file_info* fi)
{
    RoundTrip(kOpendir);
    const int fd = openat(g_root, Relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR* dir = fdopendir(fd);
    if (dir == NULL) {
        const int error = errno;
        close(fd);
        return -error;
    }
    fi->fh = (uint64_t)(uintptr_t)dir;
    return 0;
}

static int Readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* fi,
                   enum fuse_readdir_flags flags)
{
    (void)path;
    (void)flags;
    RoundTrip(kReaddir);
    DIR* dir = (DIR*)(uintptr_t)fi->fh;
    if (offset == 0)
        rewinddir(dir);
    else
        seekdir(dir, offset);
    for (;;) {
        errno = 0;
        const struct dirent* entry = readdir(dir);
        if (entry == NULL)
            return -errno;
        struct stat st;
        memset(&st, 0, sizeof st);
        st.st_ino = entry->d_ino;
        st.st_mode = (mode_t)(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &st, telldir(dir), 0) != 0)
            return 0;
    }
}

static int Releasedir(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    RoundTrip(kReleasedir);
    closedir((DIR*)(uintptr_t)fi->fh);
    return 0;
}

static int Fsyncdir(const char* path, int dataOnly, struct fuse_file_info* fi)
{
    (void)path;
    RoundTrip(kFsyncdir);
    const int fd = dirfd((DIR*)(uintptr_t)fi->fh);
    return Result(dataOnly ? fdatasync(fd) : fsync(fd));
}

static int Mkdir(const char* path, mode_t mode)
{
    RoundTrip(kMkdir);
    return Replied(Result(mkdirat(g_root, Relative(path), mode)));
}

static int Unlink(const char* path)
{
    RoundTrip(kUnlink);
    return Result(unlinkat(g_root, Relative(path), 0));
}

static int Rmdir(const char* path)
{
    RoundTrip(kRmdir);
    return Result(unlinkat(g_root, Relative(path), AT_REMOVEDIR));
}

static int Symlink(const char* target, const char* path)
{
    RoundTrip(kSymlink);
    return Replied(Result(symlinkat(target, g_root, Relative(path))));
}

static int Rename(const char* from, const char* to, unsigned int flags)
{
    RoundTrip(kRename);
    if (flags != 0)
        return -EINVAL; // as shares that know no RENAME_NOREPLACE answer
    return Result(renameat(g_root, Relative(from), g_root, Relative(to)));
}

static int Link(const char* from, const char* to)
{
    (void)from;
    (void)to;
    RoundTrip(kLink);
    return -EPERM; // no hard links here
}

static int Chmod(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    RoundTrip(kChmod);
    if (fi != NULL)
        return Replied(Result(fchmod((int)fi->fh, mode)));
    return Replied(Result(fchmodat(g_root, Relative(path), mode, 0)));
}

static int Chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi)
{
    RoundTrip(kChown);
    if (fi != NULL)
        return Replied(Result(fchown((int)fi->fh, uid, gid)));
    return Replied(Result(fchownat(g_root, Relative(path), uid, gid, AT_SYMLINK_NOFOLLOW)));
}

static int Truncate(const char* path, off_t size, struct fuse_file_info* fi)
{
    RoundTrip(kTruncate);
    if (fi != NULL)
        return Replied(Result(ftruncate((int)fi->fh, size)));
    const int fd = openat(g_root, Relative(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int result = Result(ftruncate(fd, size));
    close(fd);
    return Replied(result);
}

static int Utimens(const char* path, const struct timespec times[2], struct fuse_file_info* fi)
{
    RoundTrip(kUtimens);
    if (fi != NULL)
        return Replied(Result(futimens((int)fi->fh, times)));
    return Replied(Result(utimensat(g_root, Relative(path), times, AT_SYMLINK_NOFOLLOW)));
}

static int Create(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    RoundTrip(kCreate);
    const int fd = openat(g_root, Relative(path), (fi->flags | O_CLOEXEC) & ~O_NOFOLLOW, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return Replied(0);
}

static int Open(const char* path, struct fuse_file_info* fi)
{
    RoundTrip(kOpen);
    const int fd = openat(g_root, Relative(path), (fi->flags | O_CLOEXEC) & ~(O_NOFOLLOW | O_CREAT | O_EXCL));
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int Read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi)
{
    (void)path;
    RoundTrip(kRead);
    const ssize_t done = pread((int)fi->fh, buffer, size, offset);
    return done < 0 ? -errno : (int)done;
}

static int Write(const char* path, const char* buffer, size_t size, off_t offset, struct fuse_file_info* fi)
{
    (void)path;
    RoundTrip(kWrite);
    const ssize_t done = pwrite((int)fi->fh, buffer, size, offset);
    return done < 0 ? -errno : (int)done;
}

static int Flush(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    (void)fi;
    RoundTrip(kFlush);
    return 0;
}

static int Release(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    RoundTrip(kRelease);
    close((int)fi->fh);
    return 0;
}

static int Fsync(const char* path, int dataOnly, struct fuse_file_info* fi)
{
    (void)path;
    RoundTrip(kFsync);
    return Result(dataOnly ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int Statfs(const char* path, struct statvfs* st)
{
    (void)path;
    RoundTrip(kStatfs);
    return Result(fstatvfs(g_root, st));
}

static const struct fuse_operations kOperations = {
    .getattr = Getattr,
    .readlink = Readlink,
    .mkdir = Mkdir,
    .unlink = Unlink,
    .rmdir = Rmdir,
    .symlink = Symlink,
    .rename = Rename,
    .link = Link,
    .chmod = Chmod,
    .chown = Chown,
    .truncate = Truncate,
    .open = Open,
    .read = Read,
    .write = Write,
    .statfs = Statfs,
    .flush = Flush,
    .release = Release,
    .fsync = Fsync,
    .opendir = Opendir,
    .readdir = Readdir,
    .releasedir = Releasedir,
    .fsyncdir = Fsyncdir,
    .init = Init,
    .destroy = Destroy,
    .access = Access,
    .create = Create,
    .utimens = Utimens,
};

int main(int argc, char* argv[])
{
    // Our options and the root folder come out of the arguments; the
    // mount point and the rest go to FUSE.
    char** rest = calloc((size_t)argc + 1, sizeof *rest);
    if (rest == NULL)
        return 1;
    int count = 0;
    rest[count++] = argv[0];
    const char* root = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--delay-ms=", 11) == 0)
            g_delayNs = (long)(strtod(argv[i] + 11, NULL) * 1e6);
        else if (strncmp(argv[i], "--stats=", 8) == 0)
            g_statsPath = argv[i] + 8;
        else if (root == NULL && argv[i][0] != '-')
            root = argv[i];
        else
            rest[count++] = argv[i];
    }
    if (root == NULL) {
        fprintf(stderr, "usage: %s [--delay-ms=N] [--stats=FILE] ROOT MOUNTPOINT [FUSE options]\n", argv[0]);
        return 2;
    }
    g_root = open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (g_root < 0) {
        perror(root);
        return 1;
    }
    umask(0); // the modes asked for are the modes given
    return fuse_main(count, rest, &kOperations, NULL);
}
