// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/jobs/sieve_job.h"
#include "core/ports/file_system.h"

namespace quillbox {

// What a run would do, found without changing anything on disk.
struct PreviewPlan {
    struct Bucket {
        std::uint64_t files = 0;
        std::uint64_t bytes = 0;
    };
    // By bucket: 'A'..'Z' at 0..25, '#' at 26; the files that would arrive.
    std::array<Bucket, 27> buckets {};
    // Every file that would fail, as the run would log it, in listing order.
    std::vector<std::string> failures;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    // Why the source folder could not be read to its end, or success.
    FsStatus listing;
    bool stopped = false;
};

// The letter of bucket `index` of a plan.
char PreviewBucketLetter(std::size_t index);

// Lists the source once and asks, for each file, what its copy or move in
// the controls' mode would come to: the same decisions the run makes, none
// of its acts. No folder is made, even when the run would make the buckets.
// Stop is honoured between two files, as in the run.
PreviewPlan PreviewRun(FileSystem& fs, const RunSettings& settings, const RunControls& controls);

} // namespace quillbox
