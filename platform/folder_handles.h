// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <sys/types.h>

#include "core/ports/file_system.h"
#include "platform/bucket_traits.h"
#include "platform/system_calls.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// The folders of one run, held as handles: the source folder, the
// destination folder (opened once), and the bucket folders inside it, each
// opened relative to the destination's handle and never through a link, so
// nothing a file becomes lands outside the destination.
//
// A bucket folder is opened once and its handle kept while it is still the
// folder the name gives: when kRecheckMs have passed since a bucket was last
// looked at, its name is looked up once more (one statx) and compared with
// the folder the handle holds; a bucket renamed or replaced in the middle of
// a run is opened afresh by name, so it stops receiving files soon. A bucket
// that would not open is tried again for every file (one cheap failing
// openat), so one made in the middle of a run receives files at once.
// A bucket is opened for reading where it may be, so that its entries can be
// put on the disk through the handle it has; otherwise as an O_PATH handle.
// What the run learns of a file system's refusals is kept per file system
// (device), shared by the buckets on it. Every handle is closed when the
// object goes.
class RunFolderHandles {
public:
    static constexpr std::int64_t kRecheckMs = 250;

    // `source` and `destination` end in '/'.
    RunFolderHandles(std::string source, std::string destination, SystemCalls& calls);

    FsResult<int> source();
    // The device the source folder lies on; 0 where it is not known.
    dev_t sourceDevice();
    FsResult<int> destination();
    // The destination's path, ending in '/'.
    const std::string& destinationPath() const { return m_destinationPath; }
    // The handle of the bucket folder `letter` of the destination.
    FsResult<int> bucket(char letter);
    // What the run learnt of the file system of bucket `letter` (opened by
    // bucket() first), and of the one of the device `device` (with
    // `folder`, a handle of a folder on it, when first met).
    BucketTraits& traits(char letter);
    BucketTraits& traitsOf(dev_t device, int folder = -1);
    // The device bucket `letter` lies on (opened by bucket() first).
    dev_t device(char letter) const { return m_buckets[static_cast<unsigned char>(letter)].identity.device; }

private:
    struct Bucket {
        UniqueFd fd;
        FolderIdentity identity;
        std::int64_t checkedAt = 0;
        BucketTraits* traits = nullptr;
    };
    struct Learnt {
        dev_t device;
        BucketTraits traits;
    };
    FsResult<int> openBucket(Bucket& bucket, char letter);

    SystemCalls& m_calls;
    std::string m_sourcePath;
    std::string m_destinationPath;
    UniqueFd m_source;
    dev_t m_sourceDevice = 0;
    UniqueFd m_destination;
    std::array<Bucket, 256> m_buckets;
    std::deque<Learnt> m_learnt; // stable addresses for the buckets' pointers
    BucketTraits m_unknown;      // for a bucket that could not be opened
};

// Puts the entries of the folder `dir` on the disk, through a handle that
// can be synced: `dir` itself where it was opened for reading, otherwise
// (an O_PATH handle, which fsync refuses) one opened for reading through
// it. A folder that may be written but not read (a drop box, 0733) cannot
// be opened so: then the whole file system goes to the disk instead,
// through a file on it (`fileOnIt`, or an anonymous file made for the
// purpose). Success only once the entries are on the disk; a name that must
// outlast a power cut before something else goes (the other copy of a
// file) is made durable this way, and a failure here fails that file.
FsStatus SyncFolder(SystemCalls& calls, int dir, int fileOnIt = -1);

} // namespace quillbox::posix
