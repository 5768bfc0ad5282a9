#pragma once

#include <string>

#include "core/clock.h"
#include "core/file_system.h"
#include "core/journal.h"
#include "core/run_counters.h"
#include "core/run_observer.h"
#include "core/sieve_job.h"

namespace quillbox {

// "2026-12-07 13:15:02, Move from /a/ to /b/": a run, as a person tells it
// from the others.
std::string RunDescription(const JournalHeader& header);

// Takes one run back from its journal: moved files go back where they came
// from, copies go, and the bucket folders the run made go where they are
// empty again. Only files that are still exactly what the run left are
// touched; nothing is replaced. Reports like a run, through the observer;
// Stop is honoured between two files, and a second take-back of the same
// run finishes what the first left.
class UndoJob {
public:
    UndoJob(FileSystem& fs, JournalStore& journals, Clock& clock, RunObserver& observer);

    // `id` names the run; "" is the newest.
    RunEnd run(const std::string& id, const RunControls& controls);

    const RunCounters& counters() const { return m_counters; }

private:
    void log(LogIcon icon, std::string message);
    RunEnd finish(RunEnd how);

    FileSystem& m_fs;
    JournalStore& m_journals;
    Clock& m_clock;
    RunObserver& m_observer;
    RunCounters m_counters;
};

} // namespace quillbox
