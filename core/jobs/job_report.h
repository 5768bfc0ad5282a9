// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "core/jobs/run_observer.h"
#include "core/log/log_entry.h"
#include "core/ports/clock.h"
#include "core/ports/run_counters.h"

namespace quillbox {

// What every job that reports to an observer shares: its log entries,
// stamped with the clock's time of day; the counters the window's timers
// read; and its ending, the same for every job and every way out.
class JobReport {
public:
    JobReport(Clock& clock, RunObserver& observer);

    // A blank row and the job's title row (" -- SIEVING ----"); the counters
    // start from 0.
    void begin(std::string_view title);
    // One entry; an empty message is the blank row, without icon.
    void log(LogIcon icon, std::string message);
    // An error of the job itself: logged, and the log window wanted after it.
    void error(std::string message);
    void phase(RunPhase phase) { m_observer.phaseChanged(phase, m_counters.figures()); }

    // Logs "Cleaning up complete.", puts the counters back to 0 and tells the
    // observer the job ended `how`, with the figures it ended with.
    void finish(RunEnd how);

    RunCounters& counters() { return m_counters; }
    const RunCounters& counters() const { return m_counters; }
    RunObserver& observer() { return m_observer; }
    Clock& clock() { return m_clock; }

private:
    Clock& m_clock;
    RunObserver& m_observer;
    RunCounters m_counters;
    LogEntry m_entry; // reused, so that a run of many entries allocates once
};

} // namespace quillbox
