// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <vector>

#include "core/jobs/run_observer.h"
#include "core/jobs/run_request.h"
#include "core/jobs/sieve_job.h"
#include "core/jobs/sieve_preview.h"
#include "core/jobs/undo_job.h"
#include "core/journal/journal.h"
#include "core/ports/clock.h"
#include "core/ports/file_system.h"

namespace quillbox {

// What a run goes through to reach the world: the program passes the real
// ones (platform/real_ports.h), a test its own.
struct RunPorts {
    FileSystem& fileSystem;
    Clock& clock;
    // None: runs keep no journal, and none can be taken back or listed.
    JournalStore* journals = nullptr;
};

// What a request came to; only the part of its kind is filled.
struct RunOutcome {
    RunEnd end = RunEnd::Completed;            // Sort, Watch (one batch)
    UndoEnd undo = UndoEnd::NothingToTakeBack; // Undo
    PreviewPlan preview;                       // Preview
    std::vector<JournalSummary> runs;          // ListRuns, newest first
};

// Runs what a front door asks for over the ports, reporting to one
// observer: a sort (a watch's request sorts the batch its `only` names), a
// preview, an undo of the run `request.run` names (a run's name; "" the
// newest), or the list of runs. The one place where a job meets its file
// system, clock, journals and observer. Runs on whatever thread calls
// run(), one request at a time.
class Runner {
public:
    Runner(const RunPorts& ports, RunObserver& observer);

    // The run starts in the controls' mode, which the front door set from
    // the request when it started it (the window may switch it before the
    // run begins, and while it goes on).
    RunOutcome run(const RunRequest& request, const RunControls& controls);

    // The counters a request of `kind` fills while it runs (a sort's for
    // the kinds that report none); zero outside a run.
    const RunCounters& counters(RunKind kind) const;

    bool canUndo() const { return m_undo != nullptr; }
    // The newest run an undo would take back, if any.
    std::optional<JournalSummary> newestToTakeBack() const;

private:
    RunPorts m_ports;
    SieveJob m_sieve;
    std::unique_ptr<UndoJob> m_undo;
};

} // namespace quillbox
