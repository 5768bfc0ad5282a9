// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/sieve_preview.h"

#include "core/bucket.h"
#include "core/log/run_messages.h"

namespace quillbox {

namespace {

std::size_t BucketIndex(char letter)
{
    return letter == '#' ? 26 : static_cast<std::size_t>(letter - 'A');
}

} // namespace

char PreviewBucketLetter(std::size_t index)
{
    return index == 26 ? '#' : static_cast<char>('A' + index);
}

PreviewPlan PreviewRun(FileSystem& fs, const RunSettings& settings, const RunControls& controls)
{
    PreviewPlan plan;
    const TransferMode mode = controls.mode.load();
    const std::string source = WithTrailingSeparator(settings.source);
    const std::string destination = WithTrailingSeparator(settings.destination);
    const auto listing = fs.listFiles(source);
    const auto folders = fs.openRun(source, destination);
    std::uint64_t length = 0;
    const LengthFn measure = [&length](std::uint64_t bytes) { length = bytes; };
    for (const std::string* name = &listing->next(); !name->empty(); name = &listing->next()) {
        if (controls.stop.load(std::memory_order_relaxed)) {
            plan.stopped = true;
            return plan;
        }
        length = 0;
        const char letter = BucketLetter(*name);
        const FileOutcome outcome = folders->previewFile(*name, letter, mode, settings.createFolders, measure);
        ++plan.files;
        plan.bytes += length;
        if (!outcome.ok()) {
            plan.failures.push_back(FailureMessage(*name, outcome));
            continue;
        }
        PreviewPlan::Bucket& bucket = plan.buckets[BucketIndex(letter)];
        ++bucket.files;
        bucket.bytes += length;
    }
    plan.listing = listing->status();
    return plan;
}

} // namespace quillbox
