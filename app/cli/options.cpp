// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/options.h"

#include <getopt.h>
#include <string_view>
#include <vector>

namespace quillbox::app {

extern const char kUsage[] = "Usage: quillbox --copy|--move [OPTION]... SOURCE DESTINATION\n"
                             "       quillbox --list-runs\n"
                             "       quillbox --undo [RUN|--session] [--quiet]\n"
                             "       quillbox --watch --copy|--move [OPTION]... SOURCE DESTINATION\n"
                             "       quillbox --watch-config NAME\n"
                             "       quillbox [SOURCE [DESTINATION]]\n";

extern const char kHelp[] = "Sorts the files directly inside SOURCE into the folders A to Z and # of\n"
                            "DESTINATION, named after the upper-cased first letter of each file's name\n"
                            "(# for any other first character). Subfolders of SOURCE are left alone.\n"
                            "\n"
                            "      --copy          copy the files; a copy replaces a file of the same name\n"
                            "      --move          move the files; a move never replaces a file. On the\n"
                            "                      command line a move asks for no confirmation.\n"
                            "      --create-dirs   create the folders A to Z and # in DESTINATION first,\n"
                            "                      and DESTINATION itself where it is missing (not its\n"
                            "                      parents); an undo removes what it made once empty\n"
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
                            "      --session       with --undo, take back every batch of the watch begun\n"
                            "                      last, the newest first\n"
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
                            "~/.local/state/quillbox/runs): all runs of the last 30 days, the newest\n"
                            "first, while their journals take at most 64 MiB.\n"
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

namespace {

enum LongOnly : int {
    kCopy = 256,
    kMove,
    kCreateDirs,
    kListRuns,
    kUndo,
    kVersion,
    kWatch,
    kWatchConfig,
    kSettle,
    kIgnore,
    kSession
};

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
    {"session", no_argument, nullptr, kSession},
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
            return "option --" + std::string(known) +
                (o->has_arg == required_argument ? " needs a value" : " takes no value");
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

} // namespace

namespace {

// The flags as given, before they make a request.
struct Flags {
    bool copy = false;
    bool move = false;
    bool dryRun = false;
    bool listRuns = false;
    bool undo = false;
    bool undoNamed = false; // --undo=RUN
    bool quiet = false;
    bool verbose = false;
    bool watch = false;
    std::vector<std::string> folders;
};

// Why the flags make no command, or "". A lone word after --undo is the run.
std::string Problem(Flags& flags, Options& options)
{
    RunRequest& request = options.request;
    if (flags.quiet && flags.verbose)
        return "--quiet and --verbose exclude each other";
    if (request.session && (!flags.undo || flags.undoNamed || !flags.folders.empty()))
        return "--session goes with --undo and no RUN";
    const bool settleGiven = options.settleGiven || !request.ignores.empty();
    if (options.watchConfigGiven) {
        if (flags.watch || flags.copy || flags.move || request.createDirs || flags.dryRun || flags.listRuns ||
            flags.undo || settleGiven || !flags.folders.empty())
            return "--watch-config takes a name and no other option but --quiet or --verbose";
        return {};
    }
    if (settleGiven && !flags.watch)
        return "--settle and --ignore go with --watch";
    if (flags.watch && (flags.dryRun || flags.listRuns || flags.undo))
        return "--watch goes with neither --dry-run, --list-runs nor --undo";
    if (flags.listRuns || flags.undo) {
        if (flags.listRuns && flags.undo)
            return "--list-runs and --undo exclude each other";
        // "--undo RUN": the run is the word that follows.
        if (flags.undo && !flags.undoNamed && flags.folders.size() == 1) {
            request.run = flags.folders.front();
            flags.folders.clear();
        }
        if (flags.copy || flags.move || request.createDirs || flags.dryRun || flags.verbose ||
            (flags.listRuns && flags.quiet) || !flags.folders.empty())
            return flags.undo ? "--undo takes one run and no other option but --quiet"
                              : "--list-runs takes no folders or other options";
        return {};
    }
    if (flags.copy && flags.move)
        return "--copy and --move exclude each other";
    if (!flags.copy && !flags.move)
        return "say --copy or --move";
    if (flags.folders.size() != 2)
        return flags.folders.size() < 2 ? "SOURCE and DESTINATION are both needed" : "too many folders";
    return {};
}

} // namespace

bool ParseOptions(int argc, char* argv[], Options& options, std::string& error)
{
    ::opterr = 0;
    ::optind = 0; // also resets getopt's state
    Flags flags;
    RunRequest& request = options.request;
    for (;;) {
        const int previous = ::optind;
        const int found = ::getopt_long(argc, argv, "nvqh", kOptions, nullptr);
        if (found == -1)
            break;
        switch (found) {
        case kCopy:
            flags.copy = true;
            break;
        case kMove:
            flags.move = true;
            break;
        case kCreateDirs:
            request.createDirs = true;
            break;
        case 'n':
            flags.dryRun = true;
            break;
        case 'v':
            flags.verbose = true;
            break;
        case 'q':
            flags.quiet = true;
            break;
        case kListRuns:
            flags.listRuns = true;
            break;
        case kUndo:
            flags.undo = true;
            if (::optarg != nullptr) {
                request.run = ::optarg;
                flags.undoNamed = true;
            }
            break;
        case 'h':
            options.help = true;
            break;
        case kVersion:
            options.version = true;
            break;
        case kWatch:
            flags.watch = true;
            break;
        case kWatchConfig:
            options.watchConfigGiven = true;
            options.watchConfig = ::optarg;
            break;
        case kSettle:
            options.settleGiven = true;
            options.settle = ::optarg;
            break;
        case kIgnore:
            request.ignores.emplace_back(::optarg);
            break;
        case kSession:
            request.session = true;
            break;
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
        flags.folders.emplace_back(argv[i]);
    if (options.help || options.version)
        return true;
    error = Problem(flags, options);
    if (!error.empty())
        return false;
    request.detail = flags.quiet ? Detail::Quiet : flags.verbose ? Detail::Verbose : Detail::Normal;
    request.mode = flags.move ? TransferMode::Move : TransferMode::Copy;
    request.kind = flags.listRuns                 ? RunKind::ListRuns
        : flags.undo                              ? RunKind::Undo
        : flags.watch || options.watchConfigGiven ? RunKind::Watch
        : flags.dryRun                            ? RunKind::Preview
                                                  : RunKind::Sort;
    if (flags.folders.size() == 2) {
        request.source = std::move(flags.folders[0]);
        request.destination = std::move(flags.folders[1]);
    }
    return true;
}

} // namespace quillbox::app
