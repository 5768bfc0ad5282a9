// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/dry_run.h"

#include <atomic>
#include <cerrno>
#include <sys/stat.h>

#include "app/cli/exit_status.h"
#include "app/cli/standard_streams.h"
#include "app/cli/stop_signals.h"
#include "core/bucket.h"
#include "core/jobs/sieve_preview.h"
#include "core/log/number_format.h"
#include "core/log/run_messages.h"
#include "platform/locale_facts.h"

namespace quillbox::app {

namespace {

// The bucket folders that `takenUp` names and `destination` (ending in
// '/') lacks, as "A, B, #".
std::string MissingBuckets(const std::string& destination, const TakenUp& takenUp)
{
    std::string missing;
    for (std::size_t i = 0; i < takenUp.size(); ++i) {
        if (!takenUp[i])
            continue;
        const char letter = PreviewBucketLetter(i);
        struct stat st {};
        if (::stat((destination + letter).c_str(), &st) != 0 && errno == ENOENT)
            missing += (missing.empty() ? "" : ", ") + std::string(1, letter);
    }
    return missing;
}

} // namespace

void PrintMissingBuckets(const std::string& destination, const TakenUp& takenUp)
{
    const std::string missing = MissingBuckets(destination, takenUp);
    if (!missing.empty())
        PrintLine("Missing bucket folders in " + destination + ": " + missing + ". --create-dirs makes them.");
}

namespace {

// The buckets the files of `source` go to.
TakenUp BucketsOfFiles(FileSystem& fs, const std::string& source)
{
    TakenUp takenUp {};
    const auto listing = fs.listFiles(source);
    for (const std::string* name = &listing->next(); !name->empty(); name = &listing->next()) {
        const char letter = BucketLetter(*name);
        takenUp[letter == '#' ? 26 : static_cast<std::size_t>(letter - 'A')] = true;
    }
    return takenUp;
}

int PrintPreview(const PreviewPlan& plan, const RunRequest& request, bool quiet, const LocaleFacts& locale)
{
    const auto grouped = [&](std::uint64_t value) {
        return FormatGroupedZero(static_cast<double>(value), locale.thousandsSeparator);
    };
    const char* verb = request.mode == TransferMode::Move ? "moved" : "copied";
    if (!quiet) {
        PrintLine(std::string("Dry run: nothing is changed. Files that would be ") + verb + " from " + request.source +
                  " to " + request.destination + ":");
        if (request.destinationMade)
            PrintLine("The destination folder " + request.destination + " is not there: the run would make it.");
        for (std::size_t i = 0; i < plan.buckets.size(); ++i) {
            const PreviewPlan::Bucket& bucket = plan.buckets[i];
            if (bucket.files != 0)
                PrintLine(std::string(1, PreviewBucketLetter(i)) + ": " + grouped(bucket.files) + " file(s), " +
                          grouped(bucket.bytes) + " bytes");
        }
    }
    for (const std::string& failure : plan.failures) {
        if (StandardOutputFailed())
            break;
        PrintLine(failure);
    }
    if (!plan.listing.ok())
        PrintLine(ErrorWhileSieving(plan.listing));
    const std::uint64_t failed = plan.failures.size();
    if (!quiet) {
        PrintLine("Summary: " + grouped(plan.files) + " file(s) found, " + grouped(plan.files - failed) + " would be " +
                  verb + ", " + grouped(failed) + " would fail." + (plan.stopped ? " Stopped before the end." : ""));
    }
    if (plan.stopped)
        return StoppedStatus();
    if (!plan.listing.ok())
        return kExitUsage;
    return failed > 0 ? kExitSomeFailed : kExitDone;
}

} // namespace

int DryRun(const RunPorts& ports, const RunRequest& request)
{
    // Signals set the stop flag for the rest of the program's life.
    static RunControls controls;
    controls.mode = request.mode;
    StopOnSignals(controls.stop);
    NoObserver unobserved;
    Runner runner(ports, unobserved);
    const PreviewPlan plan = runner.run(request, controls).preview;
    const bool quiet = request.detail == Detail::Quiet;
    const int status = PrintPreview(plan, request, quiet, PosixLocaleFacts());
    TakenUp all {};
    all.fill(true);
    if (!request.createDirs && !quiet && !plan.stopped && !MissingBuckets(request.destination, all).empty())
        PrintMissingBuckets(request.destination, BucketsOfFiles(ports.fileSystem, request.source));
    return status;
}

} // namespace quillbox::app
