// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/jobs/run_observer.h"
#include "core/jobs/sieve_job.h"
#include "core/ports/clock.h"

namespace quillbox::app {

// A run as the command line shows it: every log entry on standard output
// as the log window shows it, and, where standard error is a terminal, one
// line there that keeps the progress current and is cleared at the end.
// Where standard output fails, the run's warnings and errors still reach
// standard error at its end, so that a run that cannot be taken back says so
// even then.
class ConsoleReport final : public RunObserver {
public:
    // The progress line's rate and time left are timed by `clock`.
    ConsoleReport(std::FILE* out, std::FILE* progress, std::string timeSeparator, Clock& clock,
                  std::FILE* errors = stderr);
    ~ConsoleReport() override;

    // The counters the progress line reads, once the run exists.
    void watch(const RunCounters& counters);

    void entryLogged(const LogEntry& entry) override;
    void logWindowWanted() override {}
    void phaseChanged(RunPhase phase, const RunFigures& figures) override;
    void fileStarted(const std::string&) override {}
    void ended(RunEnd how, const RunFigures& last) override;

    RunEnd end() const { return m_end; }
    const RunFigures& last() const { return m_last; }

private:
    void tick();
    void clearLine();
    void repeatKeptOnErrors();

    std::FILE* m_out;
    std::FILE* m_progress; // nullptr: no progress line
    std::FILE* m_errors;   // where the warnings and errors go when m_out failed
    // The run's warnings and errors as written (the first kKept of them),
    // and how many more there were.
    static constexpr std::size_t kKept = 100;
    std::vector<std::string> m_kept;
    std::size_t m_notKept = 0;
    std::string m_timeSeparator;
    Clock& m_clock;
    const RunCounters* m_counters = nullptr;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopTicking = false;
    bool m_processing = false;
    bool m_lineShown = false;
    Clock::Instant m_processingSince;
    std::thread m_ticker;

    RunEnd m_end = RunEnd::Completed;
    RunFigures m_last;
};

} // namespace quillbox::app
