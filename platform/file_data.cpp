// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file_data.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "core/ports/fs_try.h"
#include "platform/copy_state.h"
#include "platform/error_text.h"
#include "platform/write_all.h"

namespace quillbox::posix {

namespace {

// The most one copy_file_range call is asked for.
constexpr std::size_t kKernelChunk = std::size_t {1} << 30;
constexpr std::size_t kBufferBytes = 1024 * 1024;
// Chunks of a copy that may be stopped: how long one should take, the first
// one's size (the media's speed is not known yet) and the least.
constexpr std::uint64_t kChunkNs = 50'000'000;
constexpr std::size_t kLeastChunk = std::size_t {64} << 10;
// The kernel's bounds on a file's list of attribute names and on one value.
constexpr std::size_t kAttributeBytes = 64 * 1024;

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

bool KernelCopyRefused(int error)
{
    return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL || error == EPERM;
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
            if (moved > 0)
                state.checksumKnown = false; // the bytes did not pass through here
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
                if (state.toShare)
                    state.checksum.add(state.buffer.get(), static_cast<std::size_t>(moved));
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

} // namespace

// Copies the data of `in` to `out`. Only a file with fewer blocks than its
// length can have holes: for such a file the data segments alone are copied
// and the length set at the end, so holes stay holes. A file that reports
// no length (some pseudo files do) is read to its end.
FsStatus CopyData(CopyState& state, BucketTraits& traits, int in, int out, const struct stat& st)
{
    const off_t size = st.st_size;
    state.checksum = {};
    state.checksumKnown = state.toShare;
    if (size == 0)
        return CopyRange(state, traits, in, out, 0, 0, true);
    if (static_cast<off_t>(st.st_blocks) * 512 >= size)
        return CopyRange(state, traits, in, out, 0, size, false);
    state.checksumKnown = false; // the data segments alone are written

    off_t at = 0;
    while (at < size) {
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // a hole to the end
            if (errno != EINVAL)
                return Failure(errno);
            // No way to find holes here: the rest in full.
            QB_TRY(CopyRange(state, traits, in, out, at, size - at, false));
            break;
        }
        if (data >= size)
            break;
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return Failure(errno);
        hole = std::min(hole, size);
        QB_TRY(CopyRange(state, traits, in, out, data, hole - data, false));
        at = hole;
    }
    if (::ftruncate(out, size) != 0)
        return Failure(errno);
    return FsStatus::success();
}

namespace {

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
        if (::fsetxattr(out, name, state.attributeValue.get(), static_cast<std::size_t>(size), 0) != 0 && notKept.ok())
            notKept = Failure(errno);
    }
}

} // namespace

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

} // namespace quillbox::posix
