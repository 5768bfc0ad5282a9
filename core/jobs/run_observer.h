// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/log/log_entry.h"
#include "core/ports/run_counters.h"

namespace quillbox {

// The stages of a run that whoever shows it reacts to.
enum class RunPhase {
    Counting,   // the counting pass begins
    Counted,    // it has ended; the figures hold the number found
    NoFiles,    // nothing was found: the run ends next
    Processing, // the processing pass begins with the figures' number found
    Processed,  // every file has been taken up; the figures are final
};

// How a run ended.
enum class RunEnd {
    StoppedWhileCounting,
    NoFiles,
    StoppedWhileProcessing,
    Completed,
    Failed, // the source folder could not be listed, or not to its end
};

// What a run tells the world. Called on the run's own thread, in the order
// things happen; an implementation hands them on to its own thread.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void entryLogged(const LogEntry& entry) = 0;
    // The log window should be shown, after the entries logged so far.
    virtual void logWindowWanted() = 0;
    virtual void phaseChanged(RunPhase phase, const RunFigures& figures) = 0;
    // A file is taken up. Called for every file: keep it cheap.
    virtual void fileStarted(const std::string& name) = 0;
    // The last call of a run; every folder the run opened is released. The
    // figures are those the run ended with; its counters are back to 0.
    virtual void ended(RunEnd how, const RunFigures& last) = 0;
};

// Hears nothing: for what tells no run as it goes (a preview, the list of
// runs).
class NoObserver final : public RunObserver {
public:
    void entryLogged(const LogEntry&) override {}
    void logWindowWanted() override {}
    void phaseChanged(RunPhase, const RunFigures&) override {}
    void fileStarted(const std::string&) override {}
    void ended(RunEnd, const RunFigures&) override {}
};

} // namespace quillbox
