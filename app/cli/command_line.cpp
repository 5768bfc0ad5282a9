// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/command_line.h"

#include <cstdio>
#include <string>

#include "app/cli/console_run.h"
#include "app/cli/dry_run.h"
#include "app/cli/exit_status.h"
#include "app/cli/folder_checks.h"
#include "app/cli/options.h"
#include "app/cli/run_list.h"
#include "app/cli/session_undo.h"
#include "app/cli/standard_streams.h"
#include "app/cli/stop_signals.h"
#include "core/jobs/run_request.h"
#include "platform/locale_facts.h"
#include "platform/real_ports.h"
#include "quillbox_version.h"

namespace quillbox::app {

namespace {

// A run or its preview.
int Sort(RunRequest request, RealPorts& real)
{
    if (std::string problem = FolderProblem(request.source, "source", true); !problem.empty())
        return Refuse(problem);
    if (std::string problem = DestinationProblem(request.destination, request.createDirs,
                                                 request.kind == RunKind::Preview, request.destinationMade);
        !problem.empty())
        return Refuse(problem);
    MakeAbsolute(request);
    if (request.kind == RunKind::Preview)
        return DryRun(real.ports(), request);
    const bool quiet = request.detail == Detail::Quiet;
    if (request.destinationMade && !quiet)
        PrintLine("Made the destination folder " + request.destination + ".");

    RunControls controls;
    ConsoleRun console(real.ports(), request.detail, controls.stop, PosixLocaleFacts().timeSeparator);
    StopOnSignals(controls.stop);
    const RunEnd end = console.run(request, controls).end;
    // A bucket folder can only have been missing for a file that failed (on
    // a share each look is a round trip, so none is spent otherwise).
    if (!request.createDirs && !quiet && !console.outputFailed() && console.last().filesFailed > 0)
        PrintMissingBuckets(request.destination, console.bucketsTakenUp());
    return ExitStatus(end, console.last());
}

int RunCommand(int argc, char* argv[], WatchEntry watch)
{
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error))
        return UsageError(error);
    if (options.help) {
        std::fputs(kUsage, stdout);
        std::fputs("\n", stdout);
        std::fputs(kHelp, stdout);
        return kExitDone;
    }
    if (options.version) {
        std::printf("quillbox %s\n", QUILLBOX_VERSION_STRING);
        return kExitDone;
    }
    RealPorts real;
    switch (options.request.kind) {
    case RunKind::ListRuns:
        return ListRuns(real);
    case RunKind::Undo:
        return options.request.session ? UndoSession(real, options.request) : UndoRun(real, options.request);
    case RunKind::Watch:
        return watch(options, real);
    case RunKind::Sort:
    case RunKind::Preview:
        break;
    }
    return Sort(std::move(options.request), real);
}

} // namespace

int RunCommandLine(int argc, char* argv[], WatchEntry watch)
{
    ReserveStandardStreams();
    BufferStandardOutput();
    IgnoreBrokenPipe();
    return CloseStandardOutput(RunCommand(argc, argv, watch));
}

} // namespace quillbox::app
