// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/run_list.h"

#include <cerrno>

#include "app/cli/console_run.h"
#include "app/cli/exit_status.h"
#include "app/cli/standard_streams.h"
#include "app/cli/stop_signals.h"
#include "core/jobs/runner.h"
#include "core/log/number_format.h"
#include "core/log/undo_messages.h"
#include "platform/locale_facts.h"

namespace quillbox::app {

int ListRuns(RealPorts& real)
{
    NoObserver unobserved;
    Runner runner(real.ports(), unobserved);
    RunRequest request;
    request.kind = RunKind::ListRuns;
    std::size_t number = 0;
    for (const JournalSummary& run : runner.run(request, RunControls()).runs) {
        if (StandardOutputFailed())
            break;
        PrintLine(std::to_string(++number) + "  " + run.id + "  " + RunDescription(run.header) + ", " +
                  PlacedFilesText(run) +
                  (run.takenBack  ? ", taken back"
                       : run.left ? ", partly taken back (" + LeftText(*run.left) + ")"
                                  : std::string()));
    }
    return kExitDone;
}

namespace {

// The name of the run --undo means by `run`: its number in --list-runs, or
// already its name.
std::string RunName(JournalFolder& journals, const std::string& run)
{
    if (run.empty() || run.size() > 9 || run.find_first_not_of("0123456789") != std::string::npos)
        return run;
    const std::size_t number = std::stoul(run);
    const std::vector<JournalSummary> runs = journals.list();
    return number >= 1 && number <= runs.size() ? runs[number - 1].id : run;
}

} // namespace

int UndoRun(RealPorts& real, const RunRequest& request)
{
    const std::string& named = request.run;
    RunRequest undo = request;
    undo.run = RunName(real.journals(), named);
    if (!undo.run.empty()) {
        if (FsResult<JournalSummary> found = real.journals().summary(undo.run);
            !found.ok() && found.status().error == ENOENT)
            return Refuse("run " + named + ": " + found.status().reason);
    }
    RunControls controls;
    ConsoleRun console(real.ports(), request.detail, controls.stop, PosixLocaleFacts().timeSeparator);
    StopOnSignals(controls.stop);
    const UndoEnd end = console.run(undo, controls).undo;
    switch (end) {
    case UndoEnd::TakenBack:
        return kExitDone;
    case UndoEnd::SomeLeft:
    case UndoEnd::Unreadable:
    case UndoEnd::InProgress:
        return kExitSomeFailed;
    case UndoEnd::NothingToTakeBack:
        return kExitUsage;
    case UndoEnd::Stopped:
        break;
    }
    return StoppedStatus();
}

} // namespace quillbox::app
