// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/console_report.h"
#include "app/detailed_report.h"
#include "app/dry_run.h"
#include "app/exit_status.h"
#include "app/options.h"
#include "app/run_list.h"
#include "app/session_undo.h"
#include "app/standard_streams.h"
#include "app/stop_signals.h"
#include "app/watch_command.h"
#include "core/bucket.h"
#include "core/sieve_job.h"
#include "platform/error_text.h"
#include "platform/journal_files.h"
#include "platform/locale_facts.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
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

// --watch, from the command line or from a watch file.
int Watch(const Options& options, JournalFolder& journals)
{
    WatchRequest request;
    request.detail = options.detail;
    std::string error;
    if (options.watchConfigGiven) {
        if (!ReadWatchFile(options.watchConfig, request, error))
            return Refuse(error);
    } else {
        request.mode = options.move ? TransferMode::Move : TransferMode::Copy;
        request.createDirs = options.createDirs;
        request.ignores = options.ignores;
        request.source = options.folders[0];
        request.destination = options.folders[1];
        if (options.settleGiven && !ParseSettle(options.settle, request.settle))
            return UsageError("--settle takes seconds, such as 2 or 0.5, up to a day: " + options.settle);
    }
    if (std::string problem = FolderProblem(request.source, "source", true); !problem.empty())
        return Refuse(problem);
    if (std::string problem =
            DestinationProblem(request.destination, request.createDirs, false, request.destinationMade,
                               options.watchConfigGiven ? "create-dirs = yes" : "--create-dirs");
        !problem.empty())
        return Refuse(problem);
    if (request.destinationMade && request.detail != Detail::Quiet)
        PrintLine("Made the destination folder " + WithTrailingSeparator(request.destination) + ".");
    for (std::string* folder : {&request.source, &request.destination}) {
        char cwd[PATH_MAX];
        if ((*folder)[0] != '/' && ::getcwd(cwd, sizeof cwd) != nullptr)
            *folder = std::string(cwd) + "/" + *folder;
    }
    return RunWatch(request, journals);
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
    JournalFolder journals(JournalFolder::DefaultFolder());
    if (options.listRuns)
        return ListRuns(journals);
    if (options.undo)
        return options.session ? UndoSession(journals, options.detail) : UndoRun(journals, options.run, options.detail);
    if (options.watch || options.watchConfigGiven)
        return Watch(options, journals);

    if (std::string problem = FolderProblem(options.folders[0], "source", true); !problem.empty())
        return Refuse(problem);
    bool destinationMade = false;
    if (std::string problem =
            DestinationProblem(options.folders[1], options.createDirs, options.dryRun, destinationMade);
        !problem.empty())
        return Refuse(problem);

    // Folders are made absolute, so that the run's journal can be taken
    // back from anywhere.
    for (std::string& folder : options.folders) {
        if (folder[0] != '/') {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd) != nullptr)
                folder = WithTrailingSeparator(cwd) + folder;
        }
    }
    RunSettings settings {options.folders[0], options.folders[1], options.createDirs};
    settings.destinationMade = destinationMade;
    const std::string destination = WithTrailingSeparator(settings.destination);
    const TransferMode mode = options.move ? TransferMode::Move : TransferMode::Copy;
    PosixFileSystem fs;
    if (options.dryRun)
        return DryRun(fs, settings, mode, options.detail == Detail::Quiet);
    if (destinationMade && !options.quiet)
        PrintLine("Made the destination folder " + destination + ".");

    const LocaleFacts locale = PosixLocaleFacts();
    SystemClock clock;
    RunControls controls;
    controls.mode.store(mode);
    ConsoleReport console(stdout, ::isatty(STDERR_FILENO) == 1 ? stderr : nullptr, locale.timeSeparator, clock);
    DetailedReport report(console, options.detail, clock, controls.stop);
    SieveJob job(fs, clock, report, &journals);
    report.watch(job.counters());
    report.followPlacement(destination);
    StopOnSignals(controls.stop);

    const RunEnd end = job.run(settings, controls);
    // A bucket folder can only have been missing for a file that failed (on
    // a share each look is a round trip, so none is spent otherwise).
    if (!options.createDirs && !options.quiet && !report.outputFailed() && console.last().filesFailed > 0)
        PrintMissingBuckets(destination, report.bucketsTakenUp());
    return ExitStatus(end, console.last());
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
