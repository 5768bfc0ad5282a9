// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include "core/jobs/run_observer.h"
#include "core/log/log_entry.h"

namespace quillbox {

// A watch batch's report: what a batch says is held back until it has
// found files to take, so that a batch whose files went meanwhile (taken by
// someone else) says nothing but its warnings and errors; whatever it says
// once it has found files is passed on as it comes.
class BatchReport final : public RunObserver {
public:
    explicit BatchReport(RunObserver& report) : m_report(report) {}

    void entryLogged(const LogEntry& entry) override;
    void logWindowWanted() override { m_report.logWindowWanted(); }
    void phaseChanged(RunPhase phase, const RunFigures& figures) override;
    void fileStarted(const std::string& name) override;
    void ended(RunEnd how, const RunFigures& last) override;

private:
    void passOn();

    RunObserver& m_report;
    std::vector<LogEntry> m_held;
    bool m_passing = false; // files were found
    bool m_silent = false;  // none were
};

} // namespace quillbox
