// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/jobs/job_report.h"
#include "core/jobs/run_observer.h"
#include "core/jobs/sieve_job.h"
#include "core/journal/journal.h"
#include "core/ports/clock.h"
#include "core/ports/file_system.h"
#include "core/ports/run_counters.h"

namespace quillbox {

class UndoPass;

// "2026-12-07 13:15:02, Move from /a/ to /b/": a run, as a person tells it
// from the others.
std::string RunDescription(const JournalHeader& header);

// How taking a run back ended.
enum class UndoEnd {
    TakenBack,         // every file the run placed is back, or was already
    SomeLeft,          // some stay where the run left them, or could not be read from its journal; each is named
    NothingToTakeBack, // no run to take back, or the run was taken back already
    Stopped,
    Unreadable, // the journal could not be read at all
    InProgress, // the run is still going, or another undo is taking it back: nothing was done
};

// Takes one run back from its journal: moved files go back where they came
// from, copies go, and the bucket folders the run made go where they are
// empty again. Only files that are still exactly what the run left are
// touched, in the folders the run used; nothing is replaced. Reports like a
// run, through the observer; Stop is honoured between two files. A run is
// marked taken back in its journal once nothing is left that a later undo
// could take back, and is not taken back again; files left for a reason
// that may pass (a full disk, an I/O error, a folder away, a Stop) are
// noted instead, and the next undo of the run takes back just those. A file
// left because it changed, or a copy that replaced an older file, stays for
// good. The run's journal is held while it is taken back: a run still going
// is not taken back.
class UndoJob {
public:
    UndoJob(FileSystem& fs, JournalStore& journals, Clock& clock, RunObserver& observer);

    // `id` names the run; "" is the newest that placed files and was not
    // taken back.
    UndoEnd run(const std::string& id, const RunControls& controls);

    const RunCounters& counters() const { return m_report.counters(); }

private:
    void log(LogIcon icon, std::string message) { m_report.log(icon, std::move(message)); }
    UndoEnd finish(RunEnd how, UndoEnd end);
    void noteLeft(const std::string& id, const JournalLeft& left);
    // Removes the folders the run made, where still those very folders and
    // empty; those that could not be removed for a reason that may pass are
    // counted in `left`.
    void removeMadeFolders(RunTakeBack& folders, const JournalHeader& header, const UndoPass& pass, JournalLeft& left);

    FileSystem& m_fs;
    JournalStore& m_journals;
    JobReport m_report;
};

} // namespace quillbox
