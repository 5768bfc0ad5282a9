// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/run_list.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "app/cli/console_report.h"
#include "app/cli/exit_status.h"
#include "app/cli/standard_streams.h"
#include "app/cli/stop_signals.h"
#include "core/jobs/undo_job.h"
#include "core/log/number_format.h"
#include "core/log/undo_messages.h"
#include "platform/locale_facts.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"

namespace quillbox::app {

int ListRuns(JournalFolder& journals)
{
    std::size_t number = 0;
    for (const JournalSummary& run : journals.list()) {
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

int UndoRun(JournalFolder& journals, const std::string& named, Detail detail)
{
    const std::string run = RunName(journals, named);
    if (!run.empty()) {
        if (FsResult<JournalSummary> found = journals.summary(run); !found.ok() && found.status().error == ENOENT)
            return Refuse("run " + named + ": " + found.status().reason);
    }
    const LocaleFacts locale = PosixLocaleFacts();
    PosixFileSystem fs;
    SystemClock clock;
    RunControls controls;
    ConsoleReport console(stdout, ::isatty(STDERR_FILENO) == 1 ? stderr : nullptr, locale.timeSeparator, clock);
    DetailedReport report(console, detail, clock, controls.stop);
    UndoJob undo(fs, journals, clock, report);
    report.watch(undo.counters());
    StopOnSignals(controls.stop);
    const UndoEnd end = undo.run(run, controls);
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
