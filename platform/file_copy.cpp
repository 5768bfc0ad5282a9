#include "platform/file_copy.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/error_text.h"
#include "platform/write_all.h"
#include "platform/name_moves.h"

namespace quillbox::posix {

namespace {

// The most one copy_file_range call is asked for.
constexpr std::size_t kKernelChunk = std::size_t {1} << 30;
constexpr std::size_t kBufferBytes = 1024 * 1024;
// Chunks of a copy that may be stopped: how long one should take, the first
// one's size (the media's speed is not known yet) and the least.
constexpr std::uint64_t kChunkNs = 50'000'000;
constexpr std::size_t kFirstChunk = std::size_t {1} << 20;
constexpr std::size_t kLeastChunk = std::size_t {64} << 10;
// The kernel's bounds on a file's list of attribute names and on one value.
constexpr std::size_t kAttributeBytes = 64 * 1024;
// The serial of the process's temporary names.
std::atomic<unsigned long> TempSerial {0};

// Sizes the next chunk by the pace of the last one (`moved` of `wanted`
// bytes in `tookNs`): smaller when it took too long, up to four times
// larger when a full one went quickly.
void FitChunk(CopyState& state, std::uint64_t moved, std::uint64_t wanted, std::int64_t tookNs)
{
    const std::uint64_t took = static_cast<std::uint64_t>(std::max<std::int64_t>(tookNs, 1));
    const std::uint64_t fits = moved * kChunkNs / took;
    if (took > kChunkNs)
        state.chunk = static_cast<std::size_t>(std::max<std::uint64_t>(fits, kLeastChunk));
    else if (moved >= wanted)
        state.chunk = static_cast<std::size_t>(
            std::min<std::uint64_t>({std::uint64_t {state.chunk} * 4, fits, std::uint64_t {kKernelChunk}}));
}

// The process's umask, read without changing it (changing it would race
// with any other thread that creates a file).
mode_t ReadUmask()
{
    mode_t mask = 07777; // unknown: the mode is always set explicitly
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[128];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::strncmp(line, "Umask:", 6) == 0) {
                mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
                break;
            }
        }
        std::fclose(status);
    }
    return mask;
}

bool KernelCopyRefused(int error)
{
    return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL || error == EPERM;
}

bool AnonymousFilesRefused(int error)
{
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// In a move of a file of many chunks the copy goes to the disk a chunk
// behind the copying (the one before `from` waited for, the one from `from`
// to `to` started): the fsync before the source goes then finds little left
// to write, so a stop is not kept waiting by it, and a chunk is sized by
// the pace of the disk rather than the cache's.
void WriteBehind(CopyState& state, int out, off_t from, off_t to)
{
    if (state.behindTo > state.behindFrom)
        ::sync_file_range(out, state.behindFrom, state.behindTo - state.behindFrom,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    ::sync_file_range(out, from, to - from, SYNC_FILE_RANGE_WRITE);
    state.behindFrom = from;
    state.behindTo = to;
}

// Copies `length` bytes at `offset` of `in` to the same offset of `out`
// (to the end of `in` with `toEnd`), through the kernel where it will, else
// through the buffer. A source that ends early ends the copy; the look at
// the source after the copy tells that it changed.
FsStatus CopyRange(CopyState& state, BucketTraits& traits, int in, int out, off_t offset, off_t length, bool toEnd)
{
    off_t inOffset = offset;
    off_t outOffset = offset;
    const bool stoppable = state.stop != nullptr;
    while (toEnd || length > 0) {
        // Between chunks only: a file that fits in one is simply copied.
        if (stoppable && state.copiedOfFile > 0 && state.stop->load(std::memory_order_relaxed))
            return StoppedByUser();
        const std::size_t most = stoppable ? state.chunk : kKernelChunk;
        const std::size_t want =
            toEnd ? most : static_cast<std::size_t>(std::min<off_t>(length, static_cast<off_t>(most)));
        const std::int64_t started = stoppable ? state.calls.monotonicNanoseconds() : 0;
        std::size_t asked = want;
        ssize_t moved = 0;
        if (!traits.noKernelCopy) {
            moved = state.calls.copyRange(in, &inOffset, out, &outOffset, want);
            if (moved < 0) {
                const int error = errno;
                if (error == EINTR)
                    continue;
                if (!KernelCopyRefused(error))
                    return Failure(error);
                traits.noKernelCopy = true; // the plain way, from where the kernel stopped
                continue;
            }
        } else {
            if (!state.buffer)
                state.buffer = std::make_unique<char[]>(kBufferBytes);
            asked = std::min(want, kBufferBytes);
            moved = ::pread(in, state.buffer.get(), asked, inOffset);
            if (moved < 0) {
                if (errno == EINTR)
                    continue;
                return Failure(errno);
            }
            if (moved > 0) {
                if (const int error = WriteAll(out, state.buffer.get(), static_cast<std::size_t>(moved), outOffset))
                    return Failure(error);
            }
            inOffset += moved;
            outOffset += moved;
        }
        if (moved == 0)
            break;
        length -= moved;
        state.copiedOfFile += static_cast<std::uint64_t>(moved);
        if (!stoppable)
            continue;
        if (state.writeBehind && (toEnd || length > 0))
            WriteBehind(state, out, outOffset - moved, outOffset);
        FitChunk(state, static_cast<std::uint64_t>(moved), asked, state.calls.monotonicNanoseconds() - started);
    }
    return FsStatus::success();
}

// Copies the data of `in` to `out`. Only a file with fewer blocks than its
// length can have holes: for such a file the data segments alone are copied
// and the length set at the end, so holes stay holes. A file that reports
// no length (some pseudo files do) is read to its end.
FsStatus CopyData(CopyState& state, BucketTraits& traits, int in, int out, const struct stat& st)
{
    const off_t size = st.st_size;
    if (size == 0)
        return CopyRange(state, traits, in, out, 0, 0, true);
    if (static_cast<off_t>(st.st_blocks) * 512 >= size)
        return CopyRange(state, traits, in, out, 0, size, false);

    off_t at = 0;
    while (at < size) {
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // a hole to the end
            if (errno != EINVAL)
                return Failure(errno);
            // No way to find holes here: the rest in full.
            if (FsStatus copied = CopyRange(state, traits, in, out, at, size - at, false); !copied.ok())
                return copied;
            break;
        }
        if (data >= size)
            break;
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return Failure(errno);
        hole = std::min(hole, size);
        if (FsStatus copied = CopyRange(state, traits, in, out, data, hole - data, false); !copied.ok())
            return copied;
        at = hole;
    }
    if (::ftruncate(out, size) != 0)
        return Failure(errno);
    return FsStatus::success();
}

// Whether a copy keeps the extended attribute `name`: a move keeps every one
// the process may set, a copy the user's own, as it keeps mode and times.
bool KeptAttribute(const char* name, bool forMove)
{
    return forMove || std::strncmp(name, "user.", 5) == 0;
}

// Gives `out` the extended attributes of `in` that it keeps. One that cannot
// be read or set is left out; `notKept` gets the first reason.
void CopyAttributes(CopyState& state, int in, int out, bool forMove, FsStatus& notKept)
{
    // Most files have none: one call finds that out.
    const ssize_t listed = ::flistxattr(in, nullptr, 0);
    if (listed <= 0) {
        if (listed < 0 && errno != ENOTSUP && notKept.ok())
            notKept = Failure(errno);
        return;
    }
    if (!state.attributeNames) {
        state.attributeNames = std::make_unique<char[]>(kAttributeBytes);
        state.attributeValue = std::make_unique<char[]>(kAttributeBytes);
    }
    char* const names = state.attributeNames.get();
    const ssize_t length = ::flistxattr(in, names, kAttributeBytes);
    if (length < 0) {
        if (notKept.ok())
            notKept = Failure(errno);
        return;
    }
    for (const char* name = names; name < names + length; name += std::strlen(name) + 1) {
        if (!KeptAttribute(name, forMove))
            continue;
        const ssize_t size = ::fgetxattr(in, name, state.attributeValue.get(), kAttributeBytes);
        if (size < 0) {
            if (errno != ENODATA && notKept.ok()) // ENODATA: removed meanwhile
                notKept = Failure(errno);
            continue;
        }
        if (::fsetxattr(out, name, state.attributeValue.get(), static_cast<std::size_t>(size), 0) != 0 &&
            notKept.ok())
            notKept = Failure(errno);
    }
}

FsStatus SetAttributes(CopyState& state, int in, int out, const struct stat& st, bool forMove, FsStatus& notKept)
{
    mode_t mode = st.st_mode & 07777;
    // As root a copy is made ours: a set-user-ID file of another user must
    // not become a set-user-ID file of root. The special bits stay only
    // where the copy is given the source's owner and group. fchown comes
    // first, as it clears those bits itself (and a file capability, so the
    // extended attributes come after it).
    bool ownerKept = false;
    if (forMove || (mode & 06000) != 0)
        ownerKept = ::fchown(out, st.st_uid, st.st_gid) == 0;
    if (!ownerKept)
        mode &= ~static_cast<mode_t>(06000);
    CopyAttributes(state, in, out, forMove, notKept);
    // The file was created with the source's permission bits; only what the
    // umask took away, or the special bits, need setting again.
    if ((mode & (state.umask | 07000)) != 0 && ::fchmod(out, mode) != 0)
        return Failure(errno);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out, times) != 0)
        return Failure(errno);
    return FsStatus::success();
}

} // namespace

CopyState::CopyState(SystemCalls& calls)
    : calls(calls), umask(ReadUmask()), tempPrefix(".quillbox-" + std::to_string(::getpid()) + "-"), chunk(kFirstChunk)
{
}

FsStatus OpenSourceFile(int dir, const char* name, int extraFlags, SourceFile& source)
{
    source.fd.reset(::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extraFlags));
    if (!source.fd.valid())
        return Failure(errno);
    if (::fstat(source.fd.get(), &source.st) != 0)
        return Failure(errno);
    if (!S_ISREG(source.st.st_mode))
        return NotRegularFile();
    return FsStatus::success();
}

namespace {

std::int64_t Nanoseconds(std::int64_t seconds, std::int64_t nanoseconds)
{
    return seconds * 1'000'000'000 + nanoseconds;
}

bool IdentityOfStatx(int dir, const char* name, int flags, FileIdentity& identity)
{
    struct statx st {};
    if (::statx(dir, name, flags | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return false;
    identity = {static_cast<std::uint64_t>(::makedev(st.stx_dev_major, st.stx_dev_minor)), st.stx_ino, st.stx_size,
                Nanoseconds(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec),
                Nanoseconds(st.stx_ctime.tv_sec, st.stx_ctime.tv_nsec),
                (st.stx_mask & STATX_BTIME) != 0 ? Nanoseconds(st.stx_btime.tv_sec, st.stx_btime.tv_nsec) : 0};
    return true;
}

} // namespace

FileIdentity IdentityOf(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), Nanoseconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
            Nanoseconds(st.st_ctim.tv_sec, st.st_ctim.tv_nsec), 0};
}

bool IdentityOfOpen(int fd, FileIdentity& identity)
{
    return IdentityOfStatx(fd, "", AT_EMPTY_PATH, identity);
}

bool IdentityAt(int dir, const char* name, FileIdentity& identity)
{
    return IdentityOfStatx(dir, name, 0, identity);
}

bool FolderIdentityAt(int dir, const char* name, int flags, FolderIdentity& identity)
{
    struct statx st {};
    if (::statx(dir, name, flags, STATX_TYPE | STATX_INO | STATX_BTIME, &st) != 0)
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

FsStatus CheckUnchanged(const SourceFile& source, bool originalKept)
{
    // Only what Unchanged compares is asked for: reading the file moved its
    // access time on, and a network file system would fetch every attribute
    // again for that alone.
    struct statx now {};
    if (::statx(source.fd.get(), "", AT_EMPTY_PATH, STATX_INO | STATX_SIZE | STATX_CTIME, &now) != 0)
        return Failure(errno);
    const struct stat& before = source.st;
    if (static_cast<dev_t>(::makedev(now.stx_dev_major, now.stx_dev_minor)) != before.st_dev ||
        now.stx_ino != static_cast<std::uint64_t>(before.st_ino) ||
        now.stx_size != static_cast<std::uint64_t>(before.st_size) || now.stx_ctime.tv_sec != before.st_ctim.tv_sec ||
        now.stx_ctime.tv_nsec != static_cast<std::uint32_t>(before.st_ctim.tv_nsec))
        return ChangedWhileCopied(originalKept);
    return FsStatus::success();
}

NewFile::~NewFile()
{
    m_fd.reset();
    if (m_named)
        ::unlinkat(m_dir, m_tempName, 0);
}

void NewFile::nextTempName()
{
    const std::string& prefix = m_state.tempPrefix;
    const std::size_t length = std::min(prefix.size(), sizeof m_tempName - 24);
    prefix.copy(m_tempName, length);
    const unsigned long serial = TempSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    *std::to_chars(m_tempName + length, m_tempName + sizeof m_tempName - 1, serial).ptr = '\0';
}

FsStatus NewFile::create(BucketTraits& traits, mode_t mode)
{
    mode &= 0777;
    m_traits = &traits;
    if (!traits.noAnonymousFiles) {
        m_fd.reset(m_state.calls.openAnonymous(m_dir, O_WRONLY | O_CLOEXEC, mode));
        if (m_fd.valid()) {
            m_anonymous = true;
            return FsStatus::success();
        }
        if (!AnonymousFilesRefused(errno))
            return Failure(errno);
        traits.noAnonymousFiles = true;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        nextTempName();
        m_fd.reset(::openat(m_dir, m_tempName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (m_fd.valid()) {
            m_named = true;
            return FsStatus::success();
        }
        if (errno != EEXIST)
            return Failure(errno);
    }
    return Failure(EEXIST);
}

int NewFile::linkAnonymous(const char* name)
{
    if (!m_state.linkThroughProc) {
        if (m_state.calls.link(m_fd.get(), "", m_dir, name, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT)
            return errno;
    }
    char path[32] = "/proc/self/fd/";
    *std::to_chars(path + 14, path + sizeof path - 1, m_fd.get()).ptr = '\0';
    if (m_state.calls.link(AT_FDCWD, path, m_dir, name, AT_SYMLINK_FOLLOW) == 0) {
        m_state.linkThroughProc = true;
        return 0;
    }
    return errno;
}

int NewFile::nameAnonymous()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        nextTempName();
        const int error = linkAnonymous(m_tempName);
        if (error == 0) {
            m_named = true;
            return 0;
        }
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

int NewFile::replaceWithTemporary(const char* name)
{
    if (::fsync(m_fd.get()) != 0)
        return errno;
    if (m_state.calls.renameReplace(m_dir, m_tempName, m_dir, name) != 0)
        return errno;
    m_named = false;
    m_replaced = true;
    return 0;
}

int NewFile::placeNoReplace(const char* name)
{
    if (m_anonymous)
        return linkAnonymous(name);
    const int error = MoveNameNoReplace(m_state.calls, m_dir, m_tempName, m_dir, name, m_traits);
    if (error == 0)
        m_named = false;
    return error;
}

int NewFile::placeReplacing(const char* name)
{
    if (m_anonymous) {
        // A new name needs no more than the link, which never replaces.
        const int error = linkAnonymous(name);
        if (error != EEXIST)
            return error;
        // To replace a file as a whole the copy needs a name of its own to
        // be renamed from.
        if (const int named = nameAnonymous(); named != 0)
            return named;
        return replaceWithTemporary(name);
    }
    if (m_traits == nullptr || !m_traits->noReplaceRefused) {
        if (m_state.calls.renameNoReplace(m_dir, m_tempName, m_dir, name) == 0) {
            m_named = false;
            return 0;
        }
        const int error = errno;
        if (error == EEXIST)
            return replaceWithTemporary(name);
        if (!NoReplaceRefused(error))
            return error;
        if (m_traits != nullptr)
            m_traits->noReplaceRefused = true;
    }
    // Whether a file has the name decides only whether the copy must be on
    // the disk before it replaces one.
    struct stat st; // filled by the call
    if (::fstatat(m_dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return replaceWithTemporary(name);
    if (m_state.calls.renameReplace(m_dir, m_tempName, m_dir, name) != 0)
        return errno;
    m_named = false;
    return 0;
}

FsStatus FillNewFile(CopyState& state, BucketTraits& traits, NewFile& out, const SourceFile& source, bool forMove,
                     FsStatus* attributesNotKept)
{
    if (FsStatus created = out.create(traits, source.st.st_mode); !created.ok())
        return created;
    state.copiedOfFile = 0;
    state.writeBehind = forMove;
    state.behindFrom = state.behindTo = 0;
    if (FsStatus copied = CopyData(state, traits, source.fd.get(), out.fd(), source.st); !copied.ok())
        return copied;
    FsStatus notKept;
    FsStatus set = SetAttributes(state, source.fd.get(), out.fd(), source.st, forMove, notKept);
    if (attributesNotKept != nullptr)
        *attributesNotKept = std::move(notKept);
    return set;
}

FileOutcome CopyFile(CopyState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                     const LengthFn& length)
{
    // Links are followed: a link to a file is copied as that file.
    SourceFile source;
    if (FsStatus opened = OpenSourceFile(sourceDir, name, 0, source); !opened.ok()) {
        // A name that no longer leads anywhere could not be looked at; a
        // file that is there but cannot be read (or is no file any more)
        // could not be copied, and counts with its length.
        struct stat st; // filled by the call
        if (::fstatat(sourceDir, name, &st, 0) != 0) {
            const int error = errno;
            // A link listed as a file whose file is gone since (a move in
            // this run took it away, say) is a file that could not be copied.
            if (error == ENOENT && ::fstatat(sourceDir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
                if (length)
                    length(0);
                return {FileStage::Transfer, Failure(ENOENT, "The file the link leads to is gone")};
            }
            return {FileStage::Examine, Failure(error)};
        }
        if (length)
            length(static_cast<std::uint64_t>(st.st_size));
        return {FileStage::Transfer, std::move(opened)};
    }
    if (length)
        length(static_cast<std::uint64_t>(source.st.st_size));

    const FsResult<int> dir = folders.bucket(bucket);
    if (!dir.ok())
        return {FileStage::Transfer, dir.status()};
    BucketTraits& traits = folders.traits(bucket);
    for (;;) {
        NewFile copy(state, dir.value());
        FsStatus attributesNotKept;
        if (FsStatus filled = FillNewFile(state, traits, copy, source, false, &attributesNotKept); !filled.ok())
            return {FileStage::Transfer, std::move(filled)};
        if (FsStatus same = CheckUnchanged(source, false); !same.ok())
            return {FileStage::Transfer, std::move(same)};
        const int error = copy.placeReplacing(name);
        if (error == 0) {
            FileOutcome done;
            IdentityOfOpen(copy.fd(), done.placed);
            done.replaced = copy.replaced();
            done.attributesNotKept = std::move(attributesNotKept);
            return done;
        }
        if (copy.anonymous() && LinksRefused(error)) {
            // Anonymous files can be made here but not linked: once more,
            // with a named temporary file.
            traits.noAnonymousFiles = true;
            continue;
        }
        return {FileStage::Transfer, Failure(error)};
    }
}

} // namespace quillbox::posix
