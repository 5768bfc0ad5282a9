// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <string>

#include "app/cli/console_report.h"
#include "app/cli/detailed_report.h"
#include "core/jobs/batch_report.h"
#include "core/jobs/runner.h"

namespace quillbox::app {

// A run, a watch's batch or an undo as the command line shows it: every
// entry on standard output, as much of them as the request's detail says,
// and a progress line on standard error where that is a terminal. A
// batch whose files went meanwhile says nothing but its warnings and
// errors. Standard output failing stops the run between two files.
class ConsoleRun {
public:
    // `stop` is the controls' Stop the run will read. `batch`: a watch's.
    ConsoleRun(const RunPorts& ports, Detail detail, std::atomic<bool>& stop, std::string timeSeparator,
               bool batch = false);

    // Runs `request` in its mode, the first the run is in.
    RunOutcome run(const RunRequest& request, RunControls& controls);

    // The figures the run ended with.
    const RunFigures& last() const { return m_console.last(); }
    bool outputFailed() const { return m_report.outputFailed(); }
    // Per bucket ('A'..'Z' at 0..25, '#' at 26), whether a file went for it.
    const std::array<bool, 27>& bucketsTakenUp() const { return m_report.bucketsTakenUp(); }

private:
    ConsoleReport m_console;
    DetailedReport m_report;
    std::optional<BatchReport> m_batch;
    Runner m_runner;
};

} // namespace quillbox::app
