// Measures full runs of the program against the least the system calls
// allow, side by side in the same process, and prints a Markdown table.
//
//   quillbox_bench [--files N] [--rounds R] [--large-count N] [--large-mib M]
//                  [--disk DIR] [--skip-large] [--engine-only]
//                  [--only disk|tmpfs|tmpfs-move|journaled|large|memory]

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

#include "bench/raw_loops.h"
#include "bench/runner.h"
#include "bench/workload.h"

using namespace quillbox::bench;

namespace {

struct Options {
    int files = 100000;
    int rounds = 5;
    int largeCount = 8;
    int largeMiB = 256;
    std::string disk;
    bool skipLarge = false;
    bool engineOnly = false;
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

// A comparison of `full` against `anchor`, each round running A then B on
// freshly prepared folders. The ratio is anchor time over full time: 1.0
// means the full run is as fast as the anchor.
struct Comparison {
    std::vector<double> full, anchor, ratios;
    double longestGap = 0;
    std::size_t logRows = 0;
};

// `justBeforeStart`, where given, runs right before each side's clock starts.
Comparison Compare(int rounds, const std::function<void()>& prepare, const Runner& full,
                   const RunSpec& setup, const std::function<void()>& prepareAnchor,
                   const std::function<void()>& anchor, const std::function<void()>& cleanup,
                   const std::function<void()>& justBeforeStart = {})
{
    RunSpec timed = setup;
    timed.justBeforeStart = justBeforeStart;
    Comparison c;
    // One untimed run of the anchor first. On a virtual machine, memory the
    // guest has not touched before costs a trip to the host on first use;
    // without this, the first full run pays that alone (seconds for a few
    // GiB), while every anchor reuses what the run before it freed.
    prepareAnchor();
    anchor();
    cleanup();
    for (int round = 0; round < rounds; ++round) {
        prepare();
        SyncAll();
        const RunResult result = full(timed);
        cleanup();
        prepareAnchor();
        SyncAll();
        if (justBeforeStart)
            justBeforeStart();
        const double start = Now();
        anchor();
        const double anchorSeconds = Now() - start;
        cleanup();
        c.full.push_back(result.seconds);
        c.anchor.push_back(anchorSeconds);
        c.ratios.push_back(anchorSeconds / result.seconds);
        c.longestGap = std::max(c.longestGap, result.longestPumpGap);
        c.logRows = result.logRows;
        std::fprintf(stderr, "  round %d: full %.3f s, anchor %.3f s, gap %.1f ms\n", round + 1,
                     result.seconds, anchorSeconds, result.longestPumpGap * 1000);
    }
    return c;
}

void AddRow(const std::string& measure, const Comparison& c, double target, bool higherIsBetter = true)
{
    const double ratio = Median(c.ratios);
    const bool met = higherIsBetter ? ratio >= target : ratio <= target;
    g_rows.push_back({measure, Seconds(Median(c.full)), Seconds(Median(c.anchor)), Fixed(ratio, 3) + "x",
                      target > 0 ? (higherIsBetter ? ">= " : "<= ") + Fixed(target, 2) + "x" : "information",
                      target > 0 ? (met ? "yes" : "NO") : ""});
}

void AddGapRow(const std::string& measure, double gap)
{
    g_rows.push_back({"Longest event-pump gap, " + measure, Fixed(gap * 1000, 1) + " ms", "", "", "< 250 ms",
                      gap < 0.250 ? "yes" : "NO"});
}

void PrintTable(const Options& options)
{
    std::printf("| Measure | Full run | Anchor | Anchor time / full time | Target | Met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Row& row : g_rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", row.measure.c_str(), row.full.c_str(),
                    row.anchor.c_str(), row.ratio.c_str(), row.target.c_str(), row.met.c_str());
    std::printf("\nMedians of %d rounds of %d files (%d rounds for the large files and the all-failures run); "
                "each round runs the full run, then its anchor, on freshly made folders.\n",
                options.rounds, options.files, ShortRounds(options));
    timespec tick {};
    ::clock_getres(CLOCK_MONOTONIC_COARSE, &tick);
    std::printf("Event-pump gaps are read on the coarse monotonic clock the pump itself uses, which moves in "
                "steps of %.1f ms here: a gap is known to within one step.\n",
                static_cast<double>(tick.tv_nsec) / 1e6 + static_cast<double>(tick.tv_sec) * 1e3);
    std::fflush(stdout);
}

void SmallFileComparisons(const Options& o, const Runner& full, const std::string& where, const std::string& label)
{
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
    // A move writes no data, but each file's new name takes kernel memory
    // (see TouchMemory): a couple of KiB a file is plenty.
    std::fprintf(stderr, "Move, %s\n", label.c_str());
    const Comparison moved = Compare(o.rounds, freshSource, full, {source + "/", destination + "/", true, true, {}},
                                     freshSourceWithBuckets, [&] { RawMove(source, destination); },
                                     [&] { RemoveTree(destination); },
                                     [&] { TouchMemory(static_cast<std::uint64_t>(o.files) * 2048); });
    AddRow("Move " + files + " small files, " + label + ", vs raw loop", moved, 0.85);
    AddGapRow("move, " + label, moved.longestGap);
    RemoveTree(source);
    if (o.only == "tmpfs-move") {
        RemoveTree(pool);
        return;
    }

    // Copies: each round runs the full copy once and then every anchor.
    struct Anchor {
        const char* name;
        void (*run)(const std::string&, const std::string&);
        double target;
        Comparison result;
    };
    Anchor anchors[] = {{"safe raw loop", RawSafeCopy, 0.85, {}},
                        {"safe raw loop that also keeps mode and times", RawSafeCopyKeepingTimes, 0, {}},
                        {"unsafe in-place loop", RawInPlaceCopy, 0, {}},
                        {"cp by bucket", CpByBucket, 0, {}}};
    // Each side gets the memory for its copies at hand (see TouchMemory):
    // a page of data and as much again for the rest, per file.
    const auto memoryAtHand = [&] { TouchMemory(static_cast<std::uint64_t>(o.files) * 8192); };
    std::fprintf(stderr, "Copy, %s\n", label.c_str());
    for (int round = 0; round < o.rounds; ++round) {
        RemoveTree(destination);
        MakeFolder(destination);
        SyncAll();
        const RunResult result = full({pool + "/", destination + "/", false, true, memoryAtHand});
        std::fprintf(stderr, "  round %d: full %.3f s, gap %.1f ms", round + 1, result.seconds,
                     result.longestPumpGap * 1000);
        for (Anchor& anchor : anchors) {
            RemoveTree(destination);
            MakeFolder(destination);
            MakeBuckets(destination);
            SyncAll();
            memoryAtHand();
            const double start = Now();
            anchor.run(pool, destination);
            const double seconds = Now() - start;
            anchor.result.full.push_back(result.seconds);
            anchor.result.anchor.push_back(seconds);
            anchor.result.ratios.push_back(seconds / result.seconds);
            anchor.result.longestGap = std::max(anchor.result.longestGap, result.longestPumpGap);
            std::fprintf(stderr, ", %s %.3f s", anchor.name, seconds);
        }
        std::fprintf(stderr, "\n");
    }
    RemoveTree(destination);
    for (const Anchor& anchor : anchors)
        AddRow("Copy " + files + " small files, " + label + ", vs " + anchor.name, anchor.result, anchor.target);
    AddGapRow("copy, " + label, anchors[0].result.longestGap);
    RemoveTree(pool);
}

void LargeFileComparison(const Options& o, const Runner& full, const std::string& where, const std::string& label)
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
    RunSpec copy {source + "/", destination + "/", false, true, {}};
    std::fprintf(stderr, "Copy, %d large files\n", o.largeCount);
    // Both sides get their memory at hand (see TouchMemory): what they
    // write, and a quarter more for everything else.
    const std::uint64_t written =
        static_cast<std::uint64_t>(o.largeCount) * (static_cast<std::uint64_t>(o.largeMiB) << 20);
    const Comparison large = Compare(
        ShortRounds(o), fresh, full, copy, freshBuckets, [&] { CpByBucket(source, destination); },
        [&] { RemoveTree(destination); }, [written] { TouchMemory(written + written / 4); });
    AddRow("Copy " + std::to_string(o.largeCount) + " files of " + std::to_string(o.largeMiB) + " MiB, " + label +
               ", vs cp",
           large, 0.95);
    AddGapRow("copy of large files", large.longestGap);
    RemoveTree(source);
}

RunResult RunInChildProcess(const RunSpec& setup);

void MemoryAndFailures(const Options& o, const Runner& full, const std::string& where)
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
    for (int round = 0; round < ShortRounds(o); ++round) {
        fresh(o.files);
        SyncAll();
        const double failSeconds = full({source + "/", destination + "/", true, false, {}}).seconds;
        fresh(o.files);
        SyncAll();
        const double cleanSeconds = full({source + "/", destination + "/", true, true, {}}).seconds;
        failTimes.push_back(failSeconds);
        cleanTimes.push_back(cleanSeconds);
        ratios.push_back(failSeconds / cleanSeconds);
        std::fprintf(stderr, "  round %d: all failing %.3f s, clean %.3f s\n", round + 1, failSeconds, cleanSeconds);
    }
    const double ratio = Median(ratios);
    g_rows.push_back({"All-failures run (no bucket folders) vs clean run, move, tmpfs", Seconds(Median(failTimes)),
                      Seconds(Median(cleanTimes)), Fixed(ratio, 3) + "x (failing / clean)", "< 1.50x",
                      ratio < 1.5 ? "yes" : "NO"});
    RemoveTree(source);
    RemoveTree(destination);
    RemoveTree(pool);
}

// Runs one full run in a fresh copy of this program and reads its result.
RunResult RunInChildProcess(const RunSpec& setup)
{
    const std::string command = "'/proc/" + std::to_string(::getpid()) + "/exe' --child-run '" + setup.source +
                                "' '" + setup.destination + "' " + (setup.move ? "1" : "0") + " " +
                                (setup.createDirs ? "1" : "0");
    RunResult result;
    if (FILE* child = ::popen(command.c_str(), "r")) {
        double seconds = 0, gap = 0, growth = 0;
        unsigned long long rows = 0;
        if (std::fscanf(child, "%lf %lf %llu %lf", &seconds, &gap, &rows, &growth) == 4)
            result = {seconds, gap, static_cast<std::size_t>(rows), growth};
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
        else if (arg == "--engine-only")
            o.engineOnly = true;
        else if (arg == "--only")
            o.only = value();
    }
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (argc == 6 && std::strcmp(argv[1], "--child-run") == 0) {
        const RunResult r = RunThroughWindow({argv[2], argv[3], argv[4][0] == '1', argv[5][0] == '1', {}});
        std::printf("%.6f %.6f %zu %.0f\n", r.seconds, r.longestPumpGap, r.logRows, r.peakGrowth);
        return 0;
    }
    const Options o = Parse(argc, argv);
    const Runner full = o.engineOnly ? Runner(RunEngineOnly) : Runner(RunThroughWindow);

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
            SmallFileComparisons(o, full, tmpfs.path(), "tmpfs");
        if (o.wants("journaled")) {
            // The machine's disk throttles long bursts of writes, which
            // swamps what the program itself costs; the journaled file
            // system and the large files therefore live in memory.
            JournaledExt4 journaled(tmpfs.path(), 3ull << 30);
            if (journaled.ok())
                SmallFileComparisons(o, full, journaled.path(), "ext4 with journal (loop over tmpfs)");
        }
        if (!o.skipLarge && o.wants("large"))
            LargeFileComparison(o, full, tmpfs.path(), "tmpfs");
        if (o.wants("memory"))
            MemoryAndFailures(o, full, tmpfs.path());
        if (o.wants("disk"))
            SmallFileComparisons(o, full, disk, "disk (ext4)");
    }
    if (o.disk.empty())
        RemoveTree(disk);
    PrintTable(o);
    return 0;
}
