// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <string>

#include "core/jobs/run_observer.h"
#include "core/jobs/run_request.h"
#include "core/ports/clock.h"

namespace quillbox::app {

class ConsoleReport;

// Stands between a job and the console report: leaves out what --quiet
// hides, adds --verbose's entries, notes the bucket of every file taken up,
// and stops the run between two files once standard output cannot be
// written any more.
class DetailedReport final : public RunObserver {
public:
    DetailedReport(ConsoleReport& report, Detail detail, Clock& clock, std::atomic<bool>& stop);

    // The counters of the run, once it exists.
    void watch(const RunCounters& counters);
    // Files go into the buckets of `destination` (ending in '/'): each placed
    // file is named when verbose, and the bucket of each file is noted.
    void followPlacement(std::string destination);

    // Per bucket ('A'..'Z' at 0..25, '#' at 26), whether a file went for it.
    const std::array<bool, 27>& bucketsTakenUp() const { return m_takenUp; }
    bool outputFailed() const { return m_outputFailed; }

    void entryLogged(const LogEntry& entry) override;
    void logWindowWanted() override;
    void phaseChanged(RunPhase phase, const RunFigures& figures) override;
    void fileStarted(const std::string& name) override;
    void ended(RunEnd how, const RunFigures& last) override;

private:
    // The entry of the file taken up last, once it is known not to have failed.
    void settleLastFile();
    void checkOutput();

    ConsoleReport& m_report;
    Detail m_detail;
    Clock& m_clock;
    std::atomic<bool>& m_stop;
    const RunCounters* m_counters = nullptr;

    std::string m_destination; // "" while nothing is followed
    std::array<bool, 27> m_takenUp {};
    bool m_outputFailed = false;

    bool m_pending = false;
    std::string m_pendingName;
    char m_pendingLetter = '#';
    double m_failedBefore = 0;
    LogEntry m_placed;
};

} // namespace quillbox::app
