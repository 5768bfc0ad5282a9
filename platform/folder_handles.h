#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/file_system.h"
#include "platform/system_calls.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// What a copy into one bucket folder has learnt of its file system, so that
// a refusal is met once, not once per file.
struct BucketTraits {
    bool noAnonymousFiles = false; // O_TMPFILE refused, or links of such files
    bool noKernelCopy = false;     // copy_file_range refused from the source
};

// The folders of one run, held as O_PATH handles: the source folder, the
// destination folder (opened once), and the bucket folders inside it, each
// opened relative to the destination's handle and never through a link, so
// nothing a file becomes lands outside the destination.
//
// A bucket folder renamed or replaced in the middle of a run must stop
// receiving files soon: the bucket handles are dropped when kRecheckMs have
// passed since they were last dropped, and opened afresh by name. A bucket
// that would not open is tried again for every file (one cheap failing
// openat), so one made in the middle of a run receives files at once.
// Every handle is closed when the object goes.
class RunFolderHandles {
public:
    static constexpr std::int64_t kRecheckMs = 250;

    // `source` and `destination` end in '/'.
    RunFolderHandles(std::string source, std::string destination, SystemCalls& calls);

    FsResult<int> source();
    FsResult<int> destination();
    // The handle of the bucket folder `letter` of the destination.
    FsResult<int> bucket(char letter);
    BucketTraits& traits(char letter) { return m_buckets[static_cast<unsigned char>(letter)].traits; }

private:
    struct Bucket {
        UniqueFd fd;
        BucketTraits traits;
    };
    FsResult<int> openBucket(Bucket& bucket, char letter);

    SystemCalls& m_calls;
    std::string m_sourcePath;
    std::string m_destinationPath;
    UniqueFd m_source;
    UniqueFd m_destination;
    std::array<Bucket, 256> m_buckets;
    std::int64_t m_lastDrop;
};

} // namespace quillbox::posix
