// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

#include "core/ports/file_system.h"
#include "platform/share_identity.h"
#include "platform/system_calls.h"

namespace quillbox::posix {

// The first chunk a copy moves before it knows the media's pace.
inline constexpr std::size_t kFirstChunk = std::size_t {1} << 20;

// The next serial of the process's temporary names (from 1).
unsigned long NextTempSerial();

// What the copies of one run share: the system's calls, the umask as it was
// when the run began, the temporary names' prefix, a buffer for
// copies the kernel will not make itself, the stop flag of the file in hand,
// and what copies have learnt of the media's speed.
struct CopyState {
    explicit CopyState(SystemCalls& calls);

    SystemCalls& calls;
    mode_t umask;
    // ".quillbox-PID-"; the serial that follows is the whole process's, so
    // that runs with several files in flight (a state each) never pick the
    // same temporary name.
    std::string tempPrefix;
    // A name of the process's own for something to stand under for a
    // while: tempPrefix and the next serial.
    std::string privateName() const;
    // An anonymous file is linked into place through /proc/self/fd where the
    // process may not link it by its descriptor (without CAP_DAC_READ_SEARCH
    // on older kernels).
    bool linkThroughProc = false;
    std::unique_ptr<char[]> buffer;

    // When set, a copy in progress is abandoned (ECANCELED) between two
    // chunks; a chunk is sized to take some 50 ms at the speed the last one
    // went, so a stop is seen soon even on slow media.
    const std::atomic<bool>* stop = nullptr;
    std::size_t chunk;

    // Told of each file of a run just before it is placed, where set, with
    // the run's mode and the bucket of the file at hand.
    PlacementNotice* notice = nullptr;
    TransferMode placingMode = TransferMode::Copy;
    char placingBucket = 0;
    // Tells the notice of `name`, about to be placed, as `before` is.
    void aboutToPlace(const char* name, bool replacing, const FileIdentity& before) const
    {
        if (notice != nullptr)
            notice->aboutToPlace(placingMode, placingBucket, name, replacing, before);
    }
    std::uint64_t copiedOfFile = 0;
    // A move's copy is written to the disk as it goes, a chunk behind.
    bool writeBehind = false;
    off_t behindFrom = 0;
    off_t behindTo = 0;

    // The copies go to a network share, where a file is known by its
    // length, time and the checksum of the bytes a copy wrote (see
    // ShareFileIdentity): the checksum of the last copy, where its bytes
    // passed through the buffer (known); a copy the kernel made is not seen.
    bool toShare = false;
    ContentChecksum checksum;
    bool checksumKnown = false;

    // Extended attributes: the names of one file and one value (the kernel
    // bounds both to 64 KiB), made on the first file that has any.
    std::unique_ptr<char[]> attributeNames;
    std::unique_ptr<char[]> attributeValue;
};

} // namespace quillbox::posix
