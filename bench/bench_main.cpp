// SPDX-License-Identifier: GPL-3.0-or-later
// Measures full runs of the program against the least the system calls
// allow, side by side in the same process, and prints a Markdown table.
//
//   quillbox_bench [--files N] [--rounds R] [--large-count N] [--large-mib M]
//                  [--disk DIR] [--skip-large] [--skip-disk]
//                  [--only disk|tmpfs|tmpfs-move|journaled|journal|large|memory]
//   quillbox_bench --desktop ...   (file work for scripts/bench-desktop.sh)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include <QApplication>

#include "bench/desktop_helper.h"
#include "bench/raw_loops.h"
#include "bench/runner.h"
#include "bench/workload.h"
#include "core/jobs/sieve_job.h"
#include "core/jobs/sieve_preview.h"
#include "core/jobs/undo_job.h"
#include "platform/journal_files.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"

using namespace quillbox;
using namespace quillbox::bench;

namespace {

struct Options {
    int files = 100000;
    int rounds = 5;
    int largeCount = 8;
    int largeMiB = 256;
    std::string disk;
    bool skipLarge = false;
    bool skipDisk = false;
    // Empty: every part; else the one part to measure.
    std::string only;
    bool wants(const char* part) const { return only.empty() || only == part; }
};

// Rounds for the comparisons of a second or two a round. The machine's
// memory bandwidth swings from one second to the next, whoever uses it;
// more rounds keep a few slow ones from deciding the median.
int ShortRounds(const Options& o)
{
    return std::max(o.rounds, 9);
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

struct Row {
    std::string measure;
    std::string full;
    std::string anchor;
    std::string ratio;
    std::string target;
    std::string met;
};

std::vector<Row> g_rows;

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

std::string Fixed(double value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string MiB(double bytes)
{
    return Fixed(bytes / (1024.0 * 1024.0), 2) + " MiB";
}

// One side of a comparison that is not the program: a bare loop, or cp.
struct Anchor {
    std::string name;
    std::function<void()> run;
};

// The seconds of every round, side by side: the full run, the run job alone
// (when asked for) and each anchor.
struct Measured {
    std::vector<double> full, engine;
    std::vector<std::vector<double>> anchors;
    double longestStall = 0;
    std::vector<double> stalls; // every tick's, over all rounds
    std::size_t logRows = 0;
};

// Each round runs the full run, then the job alone, then every anchor, each
// on freshly prepared folders: `prepare` for the program's runs,
// `prepareAnchor` for the anchors (which expect the bucket folders made),
// `cleanup` after every side. `memoryAtHand` runs right before each side's
// clock starts.
Measured Measure(int rounds, const std::function<void()>& prepare, const RunSpec& setup, bool withEngine,
                 const std::function<void()>& prepareAnchor, const std::vector<Anchor>& anchors,
                 const std::function<void()>& cleanup, const std::function<void()>& memoryAtHand)
{
    RunSpec timed = setup;
    timed.justBeforeStart = memoryAtHand;
    Measured m;
    m.anchors.resize(anchors.size());
    // One untimed run of the first anchor. On a virtual machine, memory the
    // guest has not touched before costs a trip to the host on first use;
    // without this, the first full run pays that alone (seconds for a few
    // GiB), while every anchor reuses what the run before it freed.
    prepareAnchor();
    anchors.front().run();
    cleanup();
    for (int round = 0; round < rounds; ++round) {
        prepare();
        SyncAll();
        const RunResult result = RunThroughWindow(timed);
        cleanup();
        m.full.push_back(result.seconds);
        m.longestStall = std::max(m.longestStall, result.longestStall);
        m.stalls.insert(m.stalls.end(), result.stalls.begin(), result.stalls.end());
        m.logRows = result.logRows;
        std::fprintf(stderr, "  round %d: full %.3f s (stall %.1f ms)", round + 1, result.seconds,
                     result.longestStall * 1000);
        if (withEngine) {
            prepare();
            SyncAll();
            const double seconds = RunEngineOnly(timed).seconds;
            cleanup();
            m.engine.push_back(seconds);
            std::fprintf(stderr, ", engine only %.3f s", seconds);
        }
        for (std::size_t i = 0; i < anchors.size(); ++i) {
            prepareAnchor();
            SyncAll();
            if (memoryAtHand)
                memoryAtHand();
            const double start = Now();
            anchors[i].run();
            const double seconds = Now() - start;
            cleanup();
            m.anchors[i].push_back(seconds);
            std::fprintf(stderr, ", %s %.3f s", anchors[i].name.c_str(), seconds);
        }
        std::fprintf(stderr, "\n");
    }
    return m;
}

// A row of anchor time over run time, the median of the rounds' ratios.
// A target of 0 makes it a row for information.
void AddRow(const std::string& measure, const std::vector<double>& run, const std::vector<double>& anchor,
            double target)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < run.size() && i < anchor.size(); ++i)
        ratios.push_back(anchor[i] / run[i]);
    const double ratio = Median(ratios);
    g_rows.push_back({measure, Seconds(Median(run)), Seconds(Median(anchor)), Fixed(ratio, 3) + "x",
                      target > 0 ? ">= " + Fixed(target, 2) + "x" : "information",
                      target > 0 ? (ratio >= target ? "yes" : "NO") : ""});
}

// The window thread's ticks: the 99th percentile of their delays has the
// target; the longest, which this virtual machine's own stalls decide, is
// shown beside it.
constexpr double kStallTarget = 0.016;

void AddStallRow(const std::string& measure, double longest, std::vector<double> stalls)
{
    std::sort(stalls.begin(), stalls.end());
    const double p99 =
        stalls.empty() ? 0 : stalls[std::min(stalls.size() - 1, static_cast<std::size_t>(stalls.size() * 0.99))];
    g_rows.push_back({"Window thread's tick delay, 99th percentile, " + measure, Fixed(p99 * 1000, 1) + " ms", "", "",
                      "< " + Fixed(kStallTarget * 1000, 0) + " ms", p99 < kStallTarget ? "yes" : "NO"});
    g_rows.push_back(
        {"Window thread's longest stall, " + measure, Fixed(longest * 1000, 1) + " ms", "", "", "information", ""});
}

void PrintTable(const Options& options)
{
    std::printf("| Measure | Full run | Anchor | Anchor time / full time | Target | Met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Row& row : g_rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", row.measure.c_str(), row.full.c_str(), row.anchor.c_str(),
                    row.ratio.c_str(), row.target.c_str(), row.met.c_str());
    std::printf("\nMedians of %d rounds of %d files on the disk, %d rounds for everything in memory (tmpfs, the "
                "journaled ext4 on it, the large files, the all-failures run); "
                "each round runs the full run, the run job alone, then each anchor, on freshly made folders. "
                "A full run goes through the main window (offscreen), from its Sieve! command until it reports "
                "the run finished; \"engine only\" runs the run job on the calling thread with an observer that "
                "does nothing.\n",
                options.rounds, options.files, ShortRounds(options));
    std::printf("The window thread's stall: a %d ms precise timer on that thread; the largest gap between two "
                "of its ticks (or between the start or end of the run and the nearest tick) less %d ms, over "
                "all rounds.\n",
                10, 10);
    std::fflush(stdout);
}

void SmallFileComparisons(const Options& o, const std::string& where, const std::string& label, bool inMemory)
{
    // A round in memory takes a second or two, and the machine's speed
    // swings from one second to the next: more rounds keep a few slow ones
    // from deciding the median. The disk's rounds take minutes.
    const int rounds = inMemory ? ShortRounds(o) : o.rounds;
    // The files are made once; a move's source is a fresh set of hard links
    // to them, and a copy reads them where they are.
    const std::string pool = where + "/pool";
    const std::string source = where + "/source";
    const std::string destination = where + "/destination";
    RemoveTree(pool);
    MakeSmallFiles(pool, o.files, 4096, 12345);
    const std::string files = std::to_string(o.files);

    const auto freshSource = [&] {
        RemoveTree(source);
        RemoveTree(destination);
        LinkFiles(pool, source);
        MakeFolder(destination);
    };
    const auto freshSourceWithBuckets = [&] {
        freshSource();
        MakeBuckets(destination);
    };
    const auto removeDestination = [&] { RemoveTree(destination); };
    // A move writes no data, but each file's new name takes kernel memory
    // (see TouchMemory): a couple of KiB a file is plenty.
    const auto moveMemory = [&] { TouchMemory(static_cast<std::uint64_t>(o.files) * 2048); };
    std::fprintf(stderr, "Move, %s\n", label.c_str());
    const std::vector<Anchor> moveAnchors = {
        {"readdir pass + raw loop",
         [&] {
             ReaddirPass(source);
             RawMove(source, destination);
         }},
        {"raw loop", [&] { RawMove(source, destination); }},
    };
    const Measured moved = Measure(rounds, freshSource, {source + "/", destination + "/", true, true, {}}, true,
                                   freshSourceWithBuckets, moveAnchors, removeDestination, moveMemory);
    const std::string move = "Move " + files + " small files, " + label;
    AddRow(move + ": full run vs readdir pass + raw loop", moved.full, moved.anchors[0], 0.95);
    AddRow(move + ": engine only vs readdir pass + raw loop", moved.engine, moved.anchors[0], 0);
    AddRow(move + ": full run vs raw loop alone", moved.full, moved.anchors[1], 0);
    AddStallRow("move, " + label, moved.longestStall, moved.stalls);
    RemoveTree(source);
    if (o.only == "tmpfs-move") {
        RemoveTree(pool);
        return;
    }

    const auto freshDestination = [&] {
        RemoveTree(destination);
        MakeFolder(destination);
    };
    const auto freshBuckets = [&] {
        freshDestination();
        MakeBuckets(destination);
    };
    // Each side gets the memory for its copies at hand (see TouchMemory):
    // a page of data and as much again for the rest, per file.
    const auto copyMemory = [&] { TouchMemory(static_cast<std::uint64_t>(o.files) * 8192); };
    std::fprintf(stderr, "Copy, %s\n", label.c_str());
    const std::vector<Anchor> copyAnchors = {
        {"readdir pass + safe raw loop keeping mode and times",
         [&] {
             ReaddirPass(pool);
             RawSafeCopyKeepingTimes(pool, destination);
         }},
        {"safe raw loop", [&] { RawSafeCopy(pool, destination); }},
        {"unsafe in-place loop", [&] { RawInPlaceCopy(pool, destination); }},
        {"cp by bucket", [&] { CpByBucket(pool, destination); }},
    };
    const Measured copied = Measure(rounds, freshDestination, {pool + "/", destination + "/", false, true, {}}, true,
                                    freshBuckets, copyAnchors, removeDestination, copyMemory);
    const std::string copy = "Copy " + files + " small files, " + label;
    AddRow(copy + ": full run vs readdir pass + safe raw loop keeping mode and times", copied.full, copied.anchors[0],
           0.95);
    AddRow(copy + ": engine only vs readdir pass + safe raw loop keeping mode and times", copied.engine,
           copied.anchors[0], 0);
    for (std::size_t i = 1; i < copyAnchors.size(); ++i)
        AddRow(copy + ": full run vs " + copyAnchors[i].name, copied.full, copied.anchors[i], 0);
    AddStallRow("copy, " + label, copied.longestStall, copied.stalls);
    RemoveTree(pool);
}

// What the journal costs a move, and what a preview costs against the move
// it previews: the job alone on both sides, each round on a fresh source.
void JournalAndPreview(const Options& o, const std::string& where)
{
    const std::string pool = where + "/pool";
    const std::string source = where + "/source";
    const std::string destination = where + "/destination";
    const std::string state = where + "/state";
    RemoveTree(pool);
    MakeSmallFiles(pool, o.files, 4096, 54321);
    const auto fresh = [&] {
        RemoveTree(source);
        RemoveTree(destination);
        LinkFiles(pool, source);
        MakeFolder(destination);
        MakeBuckets(destination);
    };
    PosixFileSystem fs;
    SystemClock clock;
    JournalFolder journals(state + "/runs");
    struct Silent final : RunObserver {
        void entryLogged(const LogEntry&) override {}
        void logWindowWanted() override {}
        void phaseChanged(RunPhase, const RunFigures&) override {}
        void fileStarted(const std::string&) override {}
        void ended(RunEnd, const RunFigures&) override {}
    } silent;
    const RunSettings settings {source + "/", destination + "/", true};
    const auto moveMemory = [&] { TouchMemory(static_cast<std::uint64_t>(o.files) * 2048); };
    std::vector<double> plain, journaled, previewed, undone;
    std::fprintf(stderr, "Journal and preview, tmpfs\n");
    for (int round = 0; round < ShortRounds(o); ++round) {
        RunControls controls;
        controls.mode.store(TransferMode::Move);
        // One untimed move first: the side that runs first in a round
        // otherwise pays for what the machine does after a fresh source.
        {
            fresh();
            SieveJob warmUp(fs, clock, silent);
            warmUp.run(settings, controls);
        }
        for (const bool withJournal : {round % 2 == 0, round % 2 != 0}) {
            fresh();
            moveMemory();
            SieveJob job(fs, clock, silent, withJournal ? &journals : nullptr);
            const double start = Now();
            job.run(settings, controls);
            (withJournal ? journaled : plain).push_back(Now() - start);
            if (withJournal) {
                // Taking that move back, from its journal.
                UndoJob undo(fs, journals, clock, silent);
                const double undoStart = Now();
                if (undo.run({}, controls) != UndoEnd::TakenBack)
                    std::fprintf(stderr, "the undo left files in place\n");
                undone.push_back(Now() - undoStart);
            }
        }
        fresh();
        const double start = Now();
        const PreviewPlan plan = PreviewRun(fs, settings, controls);
        previewed.push_back(Now() - start);
        if (plan.files != static_cast<std::uint64_t>(o.files))
            std::fprintf(stderr, "preview saw %llu files\n", static_cast<unsigned long long>(plan.files));
        std::fprintf(stderr, "  round %d: move %.3f s, with journal %.3f s, its undo %.3f s, preview %.3f s\n",
                     round + 1, plain.back(), journaled.back(), undone.back(), previewed.back());
    }
    const std::string files = std::to_string(o.files);
    // With the journal at most 1.03x the time without: without / with >= 0.97.
    AddRow("Move " + files + " small files, tmpfs, engine: with its journal vs without", journaled, plain, 0.97);
    // Its undo at most 1.5x the move's own time: move / undo >= 1 / 1.5.
    AddRow("Undo of that move vs the move itself, tmpfs, engine", undone, journaled, 1 / 1.5);
    // The preview at most 0.3x the move: move / preview >= 1 / 0.3.
    AddRow("Preview of that move vs the move itself, tmpfs, engine", previewed, plain, 1 / 0.3);
    RemoveTree(source);
    RemoveTree(destination);
    RemoveTree(state);
    RemoveTree(pool);
}

void LargeFileComparison(const Options& o, const std::string& where, const std::string& label)
{
    const std::string source = where + "/large-source";
    const std::string destination = where + "/large-destination";
    RemoveTree(source);
    MakeLargeFiles(source, o.largeCount, static_cast<std::uint64_t>(o.largeMiB) << 20);
    const auto fresh = [&] { MakeFolder(destination); };
    const auto freshBuckets = [&] {
        MakeFolder(destination);
        MakeBuckets(destination);
    };
    std::fprintf(stderr, "Copy, %d large files\n", o.largeCount);
    // Both sides get their memory at hand (see TouchMemory): what they
    // write, and a quarter more for everything else.
    const std::uint64_t written =
        static_cast<std::uint64_t>(o.largeCount) * (static_cast<std::uint64_t>(o.largeMiB) << 20);
    const Measured large = Measure(
        ShortRounds(o), fresh, {source + "/", destination + "/", false, true, {}}, false, freshBuckets,
        {{"cp --reflink=auto", [&] { CpByBucket(source, destination); }}}, [&] { RemoveTree(destination); },
        [written] { TouchMemory(written + written / 4); });
    AddRow("Copy " + std::to_string(o.largeCount) + " files of " + std::to_string(o.largeMiB) + " MiB, " + label +
               ": full run vs cp --reflink=auto",
           large.full, large.anchors[0], 0.95);
    AddStallRow("copy of large files", large.longestStall, large.stalls);
    RemoveTree(source);
}

RunResult RunInChildProcess(const RunSpec& setup);

void MemoryAndFailures(const Options& o, const std::string& where)
{
    const std::string pool = where + "/pool";
    const std::string source = where + "/source";
    const std::string destination = where + "/destination";
    const auto fresh = [&](int files) {
        RemoveTree(source);
        RemoveTree(destination);
        if (files == o.files) {
            LinkFiles(pool, source);
        } else {
            MakeSmallFiles(source, files, 64, 777);
        }
        MakeFolder(destination);
    };
    RemoveTree(pool);
    MakeSmallFiles(pool, o.files, 64, 777);

    // Each figure comes from a run in a process of its own, so memory that
    // earlier runs left to the allocator cannot hide what this one needs.
    const auto peakFor = [&](int files, bool createDirs) {
        fresh(files);
        return RunInChildProcess({source + "/", destination + "/", true, createDirs, {}});
    };
    const RunResult small = peakFor(1000, true);
    const RunResult large = peakFor(o.files, true);
    g_rows.push_back({"Peak resident growth of a clean run, 1,000 files", MiB(small.peakGrowth), "", "", "", ""});
    g_rows.push_back({"Peak resident growth of a clean run, " + std::to_string(o.files) + " files",
                      MiB(large.peakGrowth), "", "", "< 2 MiB more than for 1,000",
                      large.peakGrowth - small.peakGrowth < 2.0 * 1024 * 1024 ? "yes" : "NO"});

    // Every file fails (no bucket folders) and is logged.
    const RunResult failing = peakFor(o.files, false);
    const double perRow =
        failing.logRows > 0 ? (failing.peakGrowth - large.peakGrowth) / static_cast<double>(failing.logRows) : 0;
    g_rows.push_back({"Peak resident growth per logged failure (" + std::to_string(failing.logRows) + " rows, " +
                          MiB(failing.peakGrowth) + " in all)",
                      Fixed(perRow, 0) + " bytes", "", "", "< 200 bytes", perRow < 200 ? "yes" : "NO"});

    std::vector<double> ratios, failTimes, cleanTimes;
    double longestStall = 0;
    std::vector<double> stalls;
    for (int round = 0; round < ShortRounds(o); ++round) {
        fresh(o.files);
        SyncAll();
        const RunResult failed = RunThroughWindow({source + "/", destination + "/", true, false, {}});
        const double failSeconds = failed.seconds;
        longestStall = std::max(longestStall, failed.longestStall);
        stalls.insert(stalls.end(), failed.stalls.begin(), failed.stalls.end());
        fresh(o.files);
        SyncAll();
        const double cleanSeconds = RunThroughWindow({source + "/", destination + "/", true, true, {}}).seconds;
        failTimes.push_back(failSeconds);
        cleanTimes.push_back(cleanSeconds);
        ratios.push_back(failSeconds / cleanSeconds);
        std::fprintf(stderr, "  round %d: all failing %.3f s (stall %.1f ms), clean %.3f s\n", round + 1, failSeconds,
                     failed.longestStall * 1000, cleanSeconds);
    }
    const double ratio = Median(ratios);
    g_rows.push_back({"All-failures run (no bucket folders) vs clean run, move, tmpfs", Seconds(Median(failTimes)),
                      Seconds(Median(cleanTimes)), Fixed(ratio, 3) + "x (failing / clean)", "< 1.50x",
                      ratio < 1.5 ? "yes" : "NO"});
    AddStallRow("all-failures run (" + std::to_string(failing.logRows) + " log rows a run)", longestStall, stalls);
    RemoveTree(source);
    RemoveTree(destination);
    RemoveTree(pool);
}

// Runs one full run in a fresh copy of this program and reads its result.
RunResult RunInChildProcess(const RunSpec& setup)
{
    const std::string command = "'/proc/" + std::to_string(::getpid()) + "/exe' --child-run '" + setup.source + "' '" +
        setup.destination + "' " + (setup.move ? "1" : "0") + " " + (setup.createDirs ? "1" : "0");
    RunResult result;
    if (FILE* child = ::popen(command.c_str(), "r")) {
        double seconds = 0, stall = 0, growth = 0;
        unsigned long long rows = 0;
        if (std::fscanf(child, "%lf %lf %llu %lf", &seconds, &stall, &rows, &growth) == 4)
            result = {seconds, stall, {}, static_cast<std::size_t>(rows), growth};
        ::pclose(child);
    }
    return result;
}

Options Parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (arg == "--files")
            o.files = std::atoi(value().c_str());
        else if (arg == "--rounds")
            o.rounds = std::atoi(value().c_str());
        else if (arg == "--large-count")
            o.largeCount = std::atoi(value().c_str());
        else if (arg == "--large-mib")
            o.largeMiB = std::atoi(value().c_str());
        else if (arg == "--disk")
            o.disk = value();
        else if (arg == "--skip-large")
            o.skipLarge = true;
        else if (arg == "--skip-disk")
            o.skipDisk = true;
        else if (arg == "--only")
            o.only = value();
    }
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--desktop") == 0)
        return DesktopHelper(argc, argv);
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (argc == 6 && std::strcmp(argv[1], "--child-run") == 0) {
        const RunResult r = RunThroughWindow({argv[2], argv[3], argv[4][0] == '1', argv[5][0] == '1', {}});
        std::printf("%.6f %.6f %zu %.0f\n", r.seconds, r.longestStall, r.logRows, r.peakGrowth);
        return 0;
    }
    const Options o = Parse(argc, argv);

    std::string disk = o.disk;
    if (disk.empty()) {
        char pattern[] = "/var/tmp/quillbox-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        disk = pattern;
    }
    {
        ScratchTmpfs tmpfs;
        std::fprintf(stderr, "disk: %s, tmpfs: %s%s\n", disk.c_str(), tmpfs.path().c_str(),
                     tmpfs.mounted() ? " (mounted for the benchmark)" : "");
        // The file systems in memory come first. The disk's part creates and
        // removes a few million files and leaves gigabytes to write back;
        // measured after it, the runs in memory swing more from one round
        // to the next.
        if (o.wants("tmpfs") || o.only == "tmpfs-move")
            SmallFileComparisons(o, tmpfs.path(), "tmpfs", true);
        if (o.wants("journaled")) {
            // The machine's disk throttles long bursts of writes, which
            // swamps what the program itself costs; the journaled file
            // system and the large files therefore live in memory.
            JournaledExt4 journaled(tmpfs.path(), 3ull << 30);
            if (journaled.ok())
                SmallFileComparisons(o, journaled.path(), "ext4 with journal (loop over tmpfs)", true);
        }
        if (o.wants("journal"))
            JournalAndPreview(o, tmpfs.path());
        if (!o.skipLarge && o.wants("large"))
            LargeFileComparison(o, tmpfs.path(), "tmpfs");
        if (o.wants("memory"))
            MemoryAndFailures(o, tmpfs.path());
        if (o.wants("disk") && !o.skipDisk)
            SmallFileComparisons(o, disk, "disk (ext4)", false);
    }
    if (o.disk.empty())
        RemoveTree(disk);
    PrintTable(o);
    return 0;
}
