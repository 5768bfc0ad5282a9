#include "app/command_line.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/console_report.h"
#include "core/bucket.h"
#include "core/number_format.h"
#include "core/run_messages.h"
#include "core/sieve_job.h"
#include "core/sieve_preview.h"
#include "core/undo_job.h"
#include "platform/journal_files.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "ui/services/locale_facts.h"

namespace quillbox::app {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

const char kUsage[] = "Usage: quillbox --copy|--move [--create-dirs] [--dry-run] SOURCE DESTINATION\n"
                      "       quillbox --list-runs\n"
                      "       quillbox --undo [RUN]\n"
                      "       quillbox [SOURCE [DESTINATION]]\n";

const char kHelp[] =
    "Sorts the files directly inside SOURCE into the folders A to Z and # of\n"
    "DESTINATION, named after the upper-cased first letter of each file's name\n"
    "(# for any other first character). Subfolders of SOURCE are left alone.\n"
    "\n"
    "  --copy          copy the files; a copy replaces a file of the same name\n"
    "  --move          move the files; a move never replaces a file. On the\n"
    "                  command line a move asks for no confirmation.\n"
    "  --create-dirs   create the folders A to Z and # in DESTINATION first\n"
    "  --dry-run       change nothing: show, per folder, how many files and\n"
    "                  bytes would go there and every file that would fail\n"
    "  --list-runs     list the runs that can be taken back, newest first\n"
    "  --undo [RUN]    take back a run (the newest when RUN is not given):\n"
    "                  moved files go back, copies go, only while they are\n"
    "                  still as the run left them; nothing is replaced\n"
    "  --help          show this help and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "Every log entry is printed to standard output. Where standard error is a\n"
    "terminal, a line there shows the progress. Ctrl-C stops the run between\n"
    "two files.\n"
    "\n"
    "Every run keeps a journal in $XDG_STATE_HOME/quillbox/runs (by default\n"
    "~/.local/state/quillbox/runs); the newest 20 are kept.\n"
    "\n"
    "With no option, the window opens, on SOURCE and DESTINATION when given.\n"
    "\n"
    "Exit status: 0 every file handled; 1 the run ended but some files failed;\n"
    "2 bad usage or a folder that cannot be read; 130 stopped by Ctrl-C.\n";

struct Options {
    bool copy = false;
    bool move = false;
    bool createDirs = false;
    bool dryRun = false;
    bool help = false;
    bool version = false;
    bool listRuns = false;
    bool undo = false;
    std::string run; // which run to take back; "" the newest
    std::vector<std::string> folders;
};

// The run's Stop, for the signal handler; the first Ctrl-C sets it, any
// further one changes nothing.
std::atomic<bool>* g_stop = nullptr;
std::atomic<bool> g_interrupted {false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnInterrupt(int)
{
    g_interrupted.store(true);
    if (g_stop != nullptr)
        g_stop->store(true);
}

// From now on the first Ctrl-C sets `stop`.
void StopOnInterrupt(std::atomic<bool>& stop)
{
    g_stop = &stop;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
}

int ExitStatus(RunEnd end, const RunFigures& last)
{
    switch (end) {
    case RunEnd::StoppedWhileCounting:
    case RunEnd::StoppedWhileProcessing:
        return kExitInterrupted;
    case RunEnd::Failed:
        return kExitUsage;
    case RunEnd::NoFiles:
    case RunEnd::Completed:
        break;
    }
    return last.filesFailed > 0 ? kExitSomeFailed : kExitDone;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "quillbox: %s (see quillbox --help)\n", message.c_str());
    return kExitUsage;
}

// Parses the arguments as bytes: a folder's name reaches the run exactly as
// it was given.
bool Parse(int argc, char* argv[], Options& options, std::string& error)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            options.folders.emplace_back(arg);
            continue;
        }
        if (arg == "--")
            optionsEnded = true;
        else if (arg == "--copy")
            options.copy = true;
        else if (arg == "--move")
            options.move = true;
        else if (arg == "--create-dirs")
            options.createDirs = true;
        else if (arg == "--dry-run")
            options.dryRun = true;
        else if (arg == "--list-runs")
            options.listRuns = true;
        else if (arg == "--undo") {
            options.undo = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                options.run = argv[++i];
        } else if (arg == "--help" || arg == "-h")
            options.help = true;
        else if (arg == "--version")
            options.version = true;
        else {
            error = "unknown option " + std::string(arg);
            return false;
        }
    }
    if (options.help || options.version)
        return true;
    if (options.listRuns || options.undo) {
        if (options.listRuns && options.undo) {
            error = "--list-runs and --undo exclude each other";
            return false;
        }
        if (options.copy || options.move || options.createDirs || options.dryRun || !options.folders.empty()) {
            error = std::string(options.undo ? "--undo" : "--list-runs") + " takes no folders or run options";
            return false;
        }
        return true;
    }
    if (options.copy && options.move) {
        error = "--copy and --move exclude each other";
        return false;
    }
    if (!options.copy && !options.move) {
        error = "say --copy or --move";
        return false;
    }
    if (options.folders.size() != 2) {
        error = options.folders.size() < 2 ? "SOURCE and DESTINATION are both needed" : "too many folders";
        return false;
    }
    return true;
}

// Why `path` cannot serve as the folder named `role`, or "".
std::string FolderProblem(const std::string& path, const char* role, bool mustRead)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::string(role) + " " + path + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return std::string(role) + " " + path + ": not a folder";
    if (mustRead) {
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr)
            return std::string(role) + " " + path + ": " + std::strerror(errno);
        ::closedir(dir);
    }
    return {};
}

void PrintLine(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// The plan of a dry run: per bucket the files and bytes that would arrive,
// every file that would fail as the run would log it, and a summary.
int PrintPreview(const PreviewPlan& plan, const RunSettings& settings, bool move, const LocaleFacts& locale)
{
    const auto grouped = [&](std::uint64_t value) {
        return FormatGroupedZero(static_cast<double>(value), locale.thousandsSeparator);
    };
    const char* verb = move ? "moved" : "copied";
    PrintLine(std::string("Dry run: nothing is changed. Files that would be ") + verb + " from " +
              WithTrailingSeparator(settings.source) + " to " + WithTrailingSeparator(settings.destination) + ":");
    for (std::size_t i = 0; i < plan.buckets.size(); ++i) {
        const PreviewPlan::Bucket& bucket = plan.buckets[i];
        if (bucket.files != 0)
            PrintLine(std::string(1, PreviewBucketLetter(i)) + ": " + grouped(bucket.files) + " file(s), " +
                      grouped(bucket.bytes) + " bytes");
    }
    for (const std::string& failure : plan.failures)
        PrintLine(failure);
    if (!plan.listing.ok())
        PrintLine(ErrorWhileSieving(plan.listing));
    const std::uint64_t failed = plan.failures.size();
    PrintLine("Summary: " + grouped(plan.files) + " file(s) found, " + grouped(plan.files - failed) + " would be " +
              verb + ", " + grouped(failed) + " would fail." + (plan.stopped ? " Stopped before the end." : ""));
    std::fflush(stdout);
    if (plan.stopped)
        return kExitInterrupted;
    if (!plan.listing.ok())
        return kExitUsage;
    return failed > 0 ? kExitSomeFailed : kExitDone;
}

int ListRuns(JournalFolder& journals)
{
    for (const JournalSummary& run : journals.list()) {
        PrintLine(run.id + "  " + RunDescription(run.header) + ", " +
                  CounterText(static_cast<double>(run.files)) + " file(s)" + (run.takenBack ? ", taken back" : ""));
    }
    std::fflush(stdout);
    return kExitDone;
}

int UndoRun(JournalFolder& journals, const std::string& run)
{
    if (!run.empty()) {
        if (FsResult<JournalSummary> found = journals.summary(run); !found.ok() && found.status().error == ENOENT)
            return UsageError("run " + run + ": " + found.status().reason);
    }
    const LocaleFacts locale = SystemLocaleFacts();
    PosixFileSystem fs;
    SystemClock clock;
    ConsoleReport report(stdout, ::isatty(STDERR_FILENO) == 1 ? stderr : nullptr, locale.timeSeparator);
    UndoJob undo(fs, journals, clock, report);
    report.watch(undo.counters());
    RunControls controls;
    StopOnInterrupt(controls.stop);
    const UndoEnd end = undo.run(run, controls);
    std::fflush(stdout);
    switch (end) {
    case UndoEnd::TakenBack:
        return kExitDone;
    case UndoEnd::SomeLeft:
    case UndoEnd::Unreadable:
        return kExitSomeFailed;
    case UndoEnd::NothingToTakeBack:
        return kExitUsage;
    case UndoEnd::Stopped:
        break;
    }
    return kExitInterrupted;
}

} // namespace

bool WantsCommandLine(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return true;
    }
    return false;
}

int RunCommandLine(int argc, char* argv[])
{
    Options options;
    std::string error;
    if (!Parse(argc, argv, options, error))
        return UsageError(error);
    if (options.help) {
        std::fputs(kUsage, stdout);
        std::fputs("\n", stdout);
        std::fputs(kHelp, stdout);
        return kExitDone;
    }
    if (options.version) {
        std::printf("quillbox %s\n", QUILLBOX_VERSION);
        return kExitDone;
    }
    JournalFolder journals(JournalFolder::DefaultFolder());
    if (options.listRuns)
        return ListRuns(journals);
    if (options.undo)
        return UndoRun(journals, options.run);

    if (std::string problem = FolderProblem(options.folders[0], "source", true); !problem.empty())
        return UsageError(problem);
    if (std::string problem = FolderProblem(options.folders[1], "destination", false); !problem.empty())
        return UsageError(problem);

    // Folders are made absolute, so that the run's journal can be taken
    // back from anywhere.
    for (std::string& folder : options.folders) {
        if (folder[0] != '/') {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd) != nullptr)
                folder = std::string(cwd) + "/" + folder;
        }
    }
    const LocaleFacts locale = SystemLocaleFacts();
    const RunSettings settings {options.folders[0], options.folders[1], options.createDirs};
    if (options.dryRun) {
        PosixFileSystem fs;
        std::atomic<bool> stop {false};
        StopOnInterrupt(stop);
        const PreviewPlan plan =
            PreviewRun(fs, settings, options.move ? TransferMode::Move : TransferMode::Copy, stop);
        return PrintPreview(plan, settings, options.move, locale);
    }

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    PosixFileSystem fs;
    SystemClock clock;
    ConsoleReport report(stdout, terminal ? stderr : nullptr, locale.timeSeparator);
    SieveJob job(fs, clock, report, &journals);
    report.watch(job.counters());

    RunControls controls;
    controls.mode.store(options.move ? TransferMode::Move : TransferMode::Copy);
    StopOnInterrupt(controls.stop);

    const RunEnd end = job.run(settings, controls);
    std::fflush(stdout);
    return ExitStatus(end, report.last());
}

} // namespace quillbox::app
