// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/command_line.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/cli/console_run.h"
#include "app/cli/dry_run.h"
#include "app/cli/exit_status.h"
#include "app/cli/options.h"
#include "app/cli/run_list.h"
#include "app/cli/session_undo.h"
#include "app/cli/standard_streams.h"
#include "app/cli/stop_signals.h"
#include "app/watch/watch_command.h"
#include "core/jobs/run_request.h"
#include "platform/error_text.h"
#include "platform/locale_facts.h"
#include "platform/real_ports.h"
#include "platform/working_folder.h"
#include "quillbox_version.h"

namespace quillbox::app {

namespace {

// Why `path` cannot serve as the folder named `role`, or "".
std::string FolderProblem(const std::string& path, const char* role, bool mustRead)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::string(role) + " " + path + ": " + ErrorText(errno);
    if (!S_ISDIR(st.st_mode))
        return std::string(role) + " " + path + ": not a folder";
    if (mustRead) {
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr)
            return std::string(role) + " " + path + ": " + ErrorText(errno);
        ::closedir(dir);
    }
    return {};
}

// The folder that holds `path`, as mkdir would make `path` in it.
std::string ParentOf(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Why `path` cannot serve as the destination, or "". A destination that is
// not there is made with --create-dirs (`createDirs`) in its parent, which
// must be there, as mkdir without -p would; `made` tells so. A dry run makes
// nothing: `made` tells that the run would make it. `option` is what asks
// for it where the request comes from.
std::string DestinationProblem(const std::string& path, bool createDirs, bool dryRun, bool& made,
                               const std::string& option = "--create-dirs")
{
    made = false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 || errno != ENOENT)
        return FolderProblem(path, "destination", false);
    if (!createDirs)
        return "destination " + path + ": " + ErrorText(ENOENT) + " (" + option + " makes it)";
    const std::string parent = ParentOf(path);
    struct stat up {};
    if (const bool found = ::stat(parent.c_str(), &up) == 0; !found || !S_ISDIR(up.st_mode)) {
        const std::string why = found ? std::string("not a folder") : ErrorText(errno);
        return "destination " + path + " cannot be made: its parent " + parent + ": " + why + " (" + option +
            " makes the last folder only)";
    }
    if (dryRun ? ::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0 : ::mkdir(path.c_str(), 0777) != 0)
        return "destination " + path + " cannot be made: " + ErrorText(errno);
    made = true;
    return {};
}

// The request's folders, absolute, so that its run's journal can be taken
// back from anywhere and the run says where the files went.
void MakeAbsolute(RunRequest& request)
{
    const FsResult<std::string> working = WorkingFolder();
    MakeFoldersAbsolute(request, working.ok() ? working.value() : std::string());
}

// --watch, from the command line or from a watch file.
int Watch(const Options& options, RealPorts& real)
{
    RunRequest request = options.request;
    std::string error;
    if (options.watchConfigGiven) {
        if (!ReadWatchFile(options.watchConfig, request, error))
            return Refuse(error);
    } else if (options.settleGiven && !ParseSettle(options.settle, request.settle)) {
        return UsageError("--settle takes seconds, such as 2 or 0.5, up to a day: " + options.settle);
    }
    if (std::string problem = FolderProblem(request.source, "source", true); !problem.empty())
        return Refuse(problem);
    // A missing destination is made for the first batch (a watch stopped
    // before one leaves nothing made); here it is only checked.
    if (std::string problem =
            DestinationProblem(request.destination, request.createDirs, true, request.destinationToMake,
                               options.watchConfigGiven ? "create-dirs = yes" : "--create-dirs");
        !problem.empty())
        return Refuse(problem);
    MakeAbsolute(request);
    return RunWatch(request, real);
}

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

int RunCommand(int argc, char* argv[])
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
        return Watch(options, real);
    case RunKind::Sort:
    case RunKind::Preview:
        break;
    }
    return Sort(std::move(options.request), real);
}

} // namespace

int RunCommandLine(int argc, char* argv[])
{
    ReserveStandardStreams();
    BufferStandardOutput();
    IgnoreBrokenPipe();
    return CloseStandardOutput(RunCommand(argc, argv));
}

} // namespace quillbox::app
