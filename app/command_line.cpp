#include "app/command_line.h"

#include <array>
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
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/console_report.h"
#include "app/detailed_report.h"
#include "app/standard_streams.h"
#include "app/stop_signals.h"
#include "app/watch_command.h"
#include "core/bucket.h"
#include "core/log_text.h"
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

const char kUsage[] = "Usage: quillbox --copy|--move [OPTION]... SOURCE DESTINATION\n"
                      "       quillbox --list-runs\n"
                      "       quillbox --undo [RUN] [--quiet]\n"
                      "       quillbox --watch --copy|--move [OPTION]... SOURCE DESTINATION\n"
                      "       quillbox --watch-config NAME\n"
                      "       quillbox [SOURCE [DESTINATION]]\n";

const char kHelp[] =
    "Sorts the files directly inside SOURCE into the folders A to Z and # of\n"
    "DESTINATION, named after the upper-cased first letter of each file's name\n"
    "(# for any other first character). Subfolders of SOURCE are left alone.\n"
    "\n"
    "      --copy          copy the files; a copy replaces a file of the same name\n"
    "      --move          move the files; a move never replaces a file. On the\n"
    "                      command line a move asks for no confirmation.\n"
    "      --create-dirs   create the folders A to Z and # in DESTINATION first\n"
    "  -n, --dry-run       change nothing: show, per folder, how many files and\n"
    "                      bytes would go there and every file that would fail\n"
    "  -v, --verbose       also log each file placed: NAME -> DESTINATION/B/NAME\n"
    "  -q, --quiet         print only what went wrong: failed files, errors and\n"
    "                      warnings\n"
    "      --list-runs     list the runs that can be taken back, numbered from 1,\n"
    "                      the newest\n"
    "      --undo [RUN]    take back a run, by its number or its name (the newest\n"
    "                      when RUN is not given): moved files go back, copies\n"
    "                      go, only while they are still as the run left them;\n"
    "                      nothing is replaced\n"
    "      --watch         keep SOURCE sorted: sort what is there, then each file\n"
    "                      that arrives once it is complete, until stopped; each\n"
    "                      batch is a run of its own, taken back by --undo\n"
    "      --settle SECONDS  with --watch, take a file only once nothing has\n"
    "                      changed it for SECONDS (2 by default, 0.2 allowed) and\n"
    "                      no process holds it open for writing\n"
    "      --ignore GLOB   with --watch, never take files named like GLOB (again\n"
    "                      for more); *.part, *.crdownload, *.download, *.partial\n"
    "                      and *.tmp are always left alone\n"
    "      --watch-config NAME  watch as the file\n"
    "                      ~/.config/quillbox/watch/NAME.conf says (lines: mode =\n"
    "                      move, source = ~/Downloads, destination = ~/Sorted,\n"
    "                      create-dirs = yes, settle = 2, ignore = *.iso); as a\n"
    "                      service: systemctl --user enable --now\n"
    "                      quillbox-watch@NAME\n"
    "  -h, --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "Options may be shortened while they stay unambiguous (--dry); after --\n"
    "every argument is a folder.\n"
    "\n"
    "Every log entry is printed to standard output. Where standard error is a\n"
    "terminal, a line there shows the progress. Ctrl-C (SIGINT), SIGTERM and\n"
    "SIGHUP stop the run between two files.\n"
    "\n"
    "Every run keeps a journal in $XDG_STATE_HOME/quillbox/runs (by default\n"
    "~/.local/state/quillbox/runs); the newest 20 are kept.\n"
    "\n"
    "A watch ends with status 1 when SOURCE is removed, renamed or unmounted.\n"
    "\n"
    "With no option, the window opens, on SOURCE and DESTINATION when given.\n"
    "\n"
    "Exit status of a run (and of a dry run, for what the run would do):\n"
    "  0    every file handled\n"
    "  1    the run ended but some files failed\n"
    "  2    bad usage or a folder that cannot be read\n"
    "  3    standard output could not be written; the run stopped between two files\n"
    "  130  stopped by Ctrl-C (SIGINT); 143 by SIGTERM; 129 by SIGHUP\n"
    "Exit status of --undo:\n"
    "  0    everything taken back\n"
    "  1    something left in place or unreadable, each named\n"
    "  2    nothing to take back, or bad usage\n"
    "  3    standard output could not be written\n"
    "  130  stopped by Ctrl-C (SIGINT); 143 by SIGTERM; 129 by SIGHUP\n";

struct Options {
    bool copy = false;
    bool move = false;
    bool createDirs = false;
    bool dryRun = false;
    bool help = false;
    bool version = false;
    bool listRuns = false;
    bool undo = false;
    Detail detail = Detail::Normal;
    bool quiet = false;
    bool verbose = false;
    std::string run; // which run to take back: its number, its name, or "" the newest
    std::vector<std::string> folders;
    bool watch = false;
    bool watchConfigGiven = false;
    std::string watchConfig;
    bool settleGiven = false;
    std::string settle;
    std::vector<std::string> ignores;
};

// The status of a run that stopped before its end: the signal's, or the
// write error's when standard output failed.
int StoppedStatus()
{
    if (const int signal = StopSignal(); signal != 0)
        return 128 + signal;
    return StandardOutputFailed() ? kExitWriteError : kExitInterrupted;
}

int ExitStatus(RunEnd end, const RunFigures& last)
{
    switch (end) {
    case RunEnd::StoppedWhileCounting:
    case RunEnd::StoppedWhileProcessing:
        return StoppedStatus();
    case RunEnd::Failed:
        return kExitUsage;
    case RunEnd::NoFiles:
    case RunEnd::Completed:
        break;
    }
    return last.filesFailed > 0 ? kExitSomeFailed : kExitDone;
}

// A problem with how the program was called.
int UsageError(const std::string& message)
{
    std::fprintf(stderr, "quillbox: %s (see quillbox --help)\n", message.c_str());
    return kExitUsage;
}

// Any other reason not to start, such as a folder that is not there.
int Refuse(const std::string& message)
{
    std::fprintf(stderr, "quillbox: %s\n", message.c_str());
    return kExitUsage;
}

enum LongOnly : int { kCopy = 256, kMove, kCreateDirs, kListRuns, kUndo, kVersion, kWatch, kWatchConfig, kSettle, kIgnore };

const option kOptions[] = {
    {"copy", no_argument, nullptr, kCopy},
    {"move", no_argument, nullptr, kMove},
    {"create-dirs", no_argument, nullptr, kCreateDirs},
    {"dry-run", no_argument, nullptr, 'n'},
    {"verbose", no_argument, nullptr, 'v'},
    {"quiet", no_argument, nullptr, 'q'},
    {"list-runs", no_argument, nullptr, kListRuns},
    {"undo", optional_argument, nullptr, kUndo},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"watch", no_argument, nullptr, kWatch},
    {"watch-config", required_argument, nullptr, kWatchConfig},
    {"settle", required_argument, nullptr, kSettle},
    {"ignore", required_argument, nullptr, kIgnore},
    {nullptr, 0, nullptr, 0},
};

// What getopt_long refused in `arg`, in words.
std::string Refused(std::string_view arg, int shortOption)
{
    if (shortOption != 0 && (arg.size() < 2 || arg[1] != '-'))
        return std::string("unknown option -") + static_cast<char>(shortOption);
    const std::string_view name = arg.substr(2, arg.find('=') == std::string_view::npos ? arg.npos : arg.find('=') - 2);
    std::string matches;
    for (const option* o = kOptions; o->name != nullptr; ++o) {
        const std::string_view known = o->name;
        if (known == name)
            return "option --" + std::string(known) + (o->has_arg == required_argument ? " needs a value" : " takes no value");
        if (known.substr(0, name.size()) == name)
            matches += (matches.empty() ? "--" : ", --") + std::string(known);
    }
    if (matches.find(',') != std::string::npos)
        return "option " + std::string(arg) + " is ambiguous: " + matches;
    if (!matches.empty()) {
        for (const option* o = kOptions; o->name != nullptr; ++o)
            if (matches == "--" + std::string(o->name) && o->has_arg == required_argument)
                return "option " + matches + " needs a value";
        return "option " + matches + " takes no value";
    }
    return "unknown option " + std::string(arg);
}

// Parses the arguments as GNU tools do, as bytes: a folder's name reaches
// the run exactly as it was given.
bool Parse(int argc, char* argv[], Options& options, std::string& error)
{
    ::opterr = 0;
    ::optind = 0; // also resets getopt's state
    bool undoNamed = false;
    for (;;) {
        const int previous = ::optind;
        const int found = ::getopt_long(argc, argv, "nvqh", kOptions, nullptr);
        if (found == -1)
            break;
        switch (found) {
        case kCopy: options.copy = true; break;
        case kMove: options.move = true; break;
        case kCreateDirs: options.createDirs = true; break;
        case 'n': options.dryRun = true; break;
        case 'v': options.verbose = true; break;
        case 'q': options.quiet = true; break;
        case kListRuns: options.listRuns = true; break;
        case kUndo:
            options.undo = true;
            if (::optarg != nullptr) {
                options.run = ::optarg;
                undoNamed = true;
            }
            break;
        case 'h': options.help = true; break;
        case kVersion: options.version = true; break;
        case kWatch: options.watch = true; break;
        case kWatchConfig: options.watchConfigGiven = true; options.watchConfig = ::optarg; break;
        case kSettle: options.settleGiven = true; options.settle = ::optarg; break;
        case kIgnore: options.ignores.emplace_back(::optarg); break;
        default: {
            // optind has moved past a refused long option, not always past a
            // short one in a cluster.
            const int at = ::optind > previous ? ::optind - 1 : previous;
            error = Refused(at < argc ? argv[at] : "", ::optopt);
            return false;
        }
        }
    }
    for (int i = ::optind; i < argc; ++i)
        options.folders.emplace_back(argv[i]);
    if (options.help || options.version)
        return true;
    if (options.quiet && options.verbose) {
        error = "--quiet and --verbose exclude each other";
        return false;
    }
    options.detail = options.quiet ? Detail::Quiet : options.verbose ? Detail::Verbose : Detail::Normal;
    if (options.watchConfigGiven || ((options.settleGiven || !options.ignores.empty()) && !options.watch)) {
        error = options.watchConfigGiven ? "--watch-config takes a name and no other option but --quiet or --verbose"
                                         : "--settle and --ignore go with --watch";
        if (!options.watchConfigGiven || options.watch || options.copy || options.move || options.createDirs ||
            options.dryRun || options.listRuns || options.undo || options.settleGiven || !options.ignores.empty() ||
            !options.folders.empty())
            return false;
        error.clear();
        return true;
    }
    if (options.watch && (options.dryRun || options.listRuns || options.undo)) {
        error = "--watch goes with neither --dry-run, --list-runs nor --undo";
        return false;
    }
    if (options.listRuns || options.undo) {
        if (options.listRuns && options.undo) {
            error = "--list-runs and --undo exclude each other";
            return false;
        }
        // "--undo RUN": the run is the word that follows.
        if (options.undo && !undoNamed && options.folders.size() == 1) {
            options.run = options.folders.front();
            options.folders.clear();
        }
        if (options.copy || options.move || options.createDirs || options.dryRun || options.verbose ||
            (options.listRuns && options.quiet) || !options.folders.empty()) {
            error = options.undo ? "--undo takes one run and no other option but --quiet"
                                 : "--list-runs takes no folders or other options";
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

// One line of output: a name in it cannot break it in two.
void PrintLine(const std::string& line)
{
    const std::string text = EscapeText(line);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// The bucket folders that `takenUp` names and `destination` (ending in
// '/') lacks, as "A, B, #".
std::string MissingBuckets(const std::string& destination, const std::array<bool, 27>& takenUp)
{
    std::string missing;
    for (std::size_t i = 0; i < takenUp.size(); ++i) {
        if (!takenUp[i])
            continue;
        const char letter = PreviewBucketLetter(i);
        struct stat st {};
        if (::stat((destination + letter).c_str(), &st) != 0 && errno == ENOENT)
            missing += (missing.empty() ? "" : ", ") + std::string(1, letter);
    }
    return missing;
}

// Without --create-dirs, files whose bucket folder is missing fail one by
// one; one line afterwards says which folders and what makes them.
void PrintMissingBuckets(const std::string& destination, const std::array<bool, 27>& takenUp)
{
    const std::string missing = MissingBuckets(destination, takenUp);
    if (!missing.empty())
        PrintLine("Missing bucket folders in " + destination + ": " + missing + ". --create-dirs makes them.");
}

// The buckets the files of `source` go to.
std::array<bool, 27> BucketsOfFiles(FileSystem& fs, const std::string& source)
{
    std::array<bool, 27> takenUp {};
    const auto listing = fs.listFiles(source);
    for (const std::string* name = &listing->next(); !name->empty(); name = &listing->next()) {
        const char letter = BucketLetter(*name);
        takenUp[letter == '#' ? 26 : static_cast<std::size_t>(letter - 'A')] = true;
    }
    return takenUp;
}

// The plan of a dry run: per bucket the files and bytes that would arrive,
// every file that would fail as the run would log it, and a summary; only
// the failures when quiet.
int PrintPreview(const PreviewPlan& plan, const RunSettings& settings, bool move, bool quiet, const LocaleFacts& locale)
{
    const auto grouped = [&](std::uint64_t value) {
        return FormatGroupedZero(static_cast<double>(value), locale.thousandsSeparator);
    };
    const char* verb = move ? "moved" : "copied";
    if (!quiet) {
        PrintLine(std::string("Dry run: nothing is changed. Files that would be ") + verb + " from " +
                  WithTrailingSeparator(settings.source) + " to " + WithTrailingSeparator(settings.destination) + ":");
        for (std::size_t i = 0; i < plan.buckets.size(); ++i) {
            const PreviewPlan::Bucket& bucket = plan.buckets[i];
            if (bucket.files != 0)
                PrintLine(std::string(1, PreviewBucketLetter(i)) + ": " + grouped(bucket.files) + " file(s), " +
                          grouped(bucket.bytes) + " bytes");
        }
    }
    for (const std::string& failure : plan.failures) {
        if (StandardOutputFailed())
            break;
        PrintLine(failure);
    }
    if (!plan.listing.ok())
        PrintLine(ErrorWhileSieving(plan.listing));
    const std::uint64_t failed = plan.failures.size();
    if (!quiet) {
        PrintLine("Summary: " + grouped(plan.files) + " file(s) found, " + grouped(plan.files - failed) +
                  " would be " + verb + ", " + grouped(failed) + " would fail." +
                  (plan.stopped ? " Stopped before the end." : ""));
    }
    if (plan.stopped)
        return StoppedStatus();
    if (!plan.listing.ok())
        return kExitUsage;
    return failed > 0 ? kExitSomeFailed : kExitDone;
}

// The runs, newest first and numbered from 1, as --undo takes them.
int ListRuns(JournalFolder& journals)
{
    std::size_t number = 0;
    for (const JournalSummary& run : journals.list()) {
        if (StandardOutputFailed())
            break;
        PrintLine(std::to_string(++number) + "  " + run.id + "  " + RunDescription(run.header) + ", " +
                  CounterText(static_cast<double>(run.files)) + " file(s) placed" +
                  (run.takenBack ? ", taken back" : ""));
    }
    return kExitDone;
}

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

int UndoRun(JournalFolder& journals, const std::string& named, Detail detail)
{
    const std::string run = RunName(journals, named);
    if (!run.empty()) {
        if (FsResult<JournalSummary> found = journals.summary(run); !found.ok() && found.status().error == ENOENT)
            return Refuse("run " + named + ": " + found.status().reason);
    }
    const LocaleFacts locale = SystemLocaleFacts();
    PosixFileSystem fs;
    SystemClock clock;
    RunControls controls;
    ConsoleReport console(stdout, ::isatty(STDERR_FILENO) == 1 ? stderr : nullptr, locale.timeSeparator);
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
        return kExitSomeFailed;
    case UndoEnd::NothingToTakeBack:
        return kExitUsage;
    case UndoEnd::Stopped:
        break;
    }
    return StoppedStatus();
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
    if (std::string problem = FolderProblem(request.destination, "destination", false); !problem.empty())
        return Refuse(problem);
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
        return UndoRun(journals, options.run, options.detail);
    if (options.watch || options.watchConfigGiven)
        return Watch(options, journals);

    if (std::string problem = FolderProblem(options.folders[0], "source", true); !problem.empty())
        return Refuse(problem);
    if (std::string problem = FolderProblem(options.folders[1], "destination", false); !problem.empty())
        return Refuse(problem);

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
    const std::string destination = WithTrailingSeparator(settings.destination);
    const TransferMode mode = options.move ? TransferMode::Move : TransferMode::Copy;
    PosixFileSystem fs;
    if (options.dryRun) {
        std::atomic<bool> stop {false};
        StopOnSignals(stop);
        const PreviewPlan plan = PreviewRun(fs, settings, mode, stop);
        const int status = PrintPreview(plan, settings, options.move, options.detail == Detail::Quiet, locale);
        std::array<bool, 27> all {};
        all.fill(true);
        if (!options.createDirs && !options.quiet && !plan.stopped && !MissingBuckets(destination, all).empty())
            PrintMissingBuckets(destination, BucketsOfFiles(fs, WithTrailingSeparator(settings.source)));
        return status;
    }

    SystemClock clock;
    RunControls controls;
    controls.mode.store(mode);
    ConsoleReport console(stdout, ::isatty(STDERR_FILENO) == 1 ? stderr : nullptr, locale.timeSeparator);
    DetailedReport report(console, options.detail, clock, controls.stop);
    SieveJob job(fs, clock, report, &journals);
    report.watch(job.counters());
    report.followPlacement(destination);
    StopOnSignals(controls.stop);

    const RunEnd end = job.run(settings, controls);
    if (!options.createDirs && !options.quiet && !report.outputFailed())
        PrintMissingBuckets(destination, report.bucketsTakenUp());
    return ExitStatus(end, console.last());
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
    ReserveStandardStreams();
    BufferStandardOutput();
    IgnoreBrokenPipe();
    return CloseStandardOutput(RunCommand(argc, argv));
}

} // namespace quillbox::app
