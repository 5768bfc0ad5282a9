// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/runner.h"

#include "bench/workload.h"
#include "core/jobs/run_observer.h"
#include "core/jobs/sieve_job.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"

namespace quillbox::bench {

namespace {

// Hears the run and does nothing with it, but count the log rows.
class QuietObserver final : public RunObserver {
public:
    std::size_t rows = 0;
    void entryLogged(const LogEntry&) override { ++rows; }
    void logWindowWanted() override {}
    void phaseChanged(RunPhase, const RunFigures&) override {}
    void fileStarted(const std::string&) override {}
    void ended(RunEnd, const RunFigures&) override {}
};

} // namespace

RunResult RunEngineOnly(const RunSpec& setup)
{
    PosixFileSystem fs;
    SystemClock clock;
    QuietObserver observer;
    SieveJob job(fs, clock, observer);
    RunSettings settings;
    settings.source = setup.source;
    settings.destination = setup.destination;
    settings.createFolders = setup.createDirs;
    RunControls controls;
    controls.mode.store(setup.move ? TransferMode::Move : TransferMode::Copy);

    if (setup.justBeforeStart)
        setup.justBeforeStart();
    const double start = Now();
    job.run(settings, controls);
    RunResult result;
    result.seconds = Now() - start;
    result.logRows = observer.rows;
    return result;
}

} // namespace quillbox::bench
