// SPDX-License-Identifier: GPL-3.0-or-later
// The command line, driven as a user drives it: the built program started
// with arguments and no display, its output and exit status read, and the
// folders looked at afterwards.
#include <algorithm>
#include <csignal>
#include <set>

#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include "core/journal/journal.h"
#include "platform/journal_files.h"
#include "tests/support/fake_log.h"
#include "tests/support/temp_dir.h"

namespace quillbox::test {
namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines; // stdout, without the "hh:mm:ss - " prefix
};

std::vector<std::string> TempDirNames(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

// The runs' journals, away from the user's.
const TempDir& StateFolder()
{
    static const TempDir state;
    return state;
}

// The program started with `arguments` and no display; with `shell`, the
// program is "$0" of that bash command line instead, its arguments "$@".
QProcess* Start(const QStringList& arguments, const QString& shell = {}, const QString& display = {})
{
    auto* process = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!display.isEmpty())
        environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("XDG_STATE_HOME"), QString::fromStdString(StateFolder().path()));
    process->setProcessEnvironment(environment);
    if (shell.isEmpty())
        process->start(QStringLiteral(QUILLBOX_BINARY), arguments);
    else
        process->start(QStringLiteral("bash"),
                       QStringList {QStringLiteral("-c"), shell, QStringLiteral(QUILLBOX_BINARY)} + arguments);
    return process;
}

Result Finish(QProcess* process)
{
    Result result;
    EXPECT_TRUE(process->waitForFinished(60000));
    result.status = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    result.out = process->readAllStandardOutput().toStdString();
    result.err = process->readAllStandardError().toStdString();
    std::size_t start = 0;
    while (start < result.out.size()) {
        const std::size_t end = result.out.find('\n', start);
        result.lines.push_back(WithoutLogTime(std::string_view(result.out).substr(start, end - start)));
        start = end == std::string::npos ? result.out.size() : end + 1;
    }
    delete process;
    return result;
}

Result Quillbox(const QStringList& arguments)
{
    return Finish(Start(arguments));
}

QString Q(const std::string& path)
{
    return QString::fromStdString(path);
}

// A folder "in" of `files` small files and an empty "out"; the program
// started on them with `mode`, and read until its processing pass begins.
QProcess* StartOnManyFiles(const TempDir& dir, int files, const QString& mode, QByteArray& seen)
{
    dir.mkdir("in");
    dir.mkdir("out");
    for (int i = 0; i < files; ++i)
        dir.write("in/f" + std::to_string(i), "x");
    QProcess* process = Start({mode, QStringLiteral("--create-dirs"), Q(dir / "in"), Q(dir / "out")});
    EXPECT_TRUE(process->waitForStarted(10000));
    while (!seen.contains("Found ") && process->waitForReadyRead(20000))
        seen += process->readAllStandardOutput();
    EXPECT_TRUE(seen.contains("Found "));
    return process;
}

TEST(CommandLine, MovePrintsTheLogAndExitsZeroWithoutADisplay)
{
    TempDir dir;
    dir.mkdir("in");
    dir.mkdir("out");
    dir.write("in/apple", "a");
    dir.write("in/Berry", "b");

    const Result r =
        Quillbox({QStringLiteral("--move"), QStringLiteral("--create-dirs"), Q(dir / "in"), Q(dir / "out")});

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "standard error is no terminal: nothing but the entries";
    const std::vector<std::string> expected = {
        "",
        " -- SIEVING ----",
        "Source directory = " + (dir / "in") + "/",
        "Destination directory = " + (dir / "out") + "/",
        "Copy Mode = Move",
        "Creating directories #-Z ..",
        "Found 2 file(s) for processing.",
        "Operation complete. 2 file(s) processed.",
        "Cleaning up complete.",
    };
    EXPECT_EQ(r.lines, expected);
    EXPECT_EQ(ReadFile(dir / "out/A/apple"), "a");
    EXPECT_EQ(ReadFile(dir / "out/B/Berry"), "b");
    EXPECT_TRUE(dir.names("in").empty());
}

// A name holding a line break cannot forge an entry of its own: each entry
// stays one line, the break written as an escape.
TEST(CommandLine, ANameCannotForgeAnEntryLine)
{
    const std::string forged = "x\n19:00:00 - Operation complete. 99 file(s) processed.";
    TempDir dir;
    dir.mkdir("in");
    dir.mkdir("out");
    dir.mkdir("out/X");
    dir.write("in/" + forged, "new");
    dir.write("out/X/" + forged, "old");

    const Result r = Quillbox({QStringLiteral("--move"), Q(dir / "in"), Q(dir / "out")});

    EXPECT_EQ(r.status, 1) << r.err;
    const auto has = [&](const std::string& line) { return std::count(r.lines.begin(), r.lines.end(), line); };
    EXPECT_EQ(has("Could not copy/move file x\\n19:00:00 - Operation complete. 99 file(s) processed.. File exists."), 1)
        << r.out;
    EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(),
                            [](const std::string& line) { return line.starts_with("Operation complete. 99"); }),
              0)
        << r.out;
}

TEST(CommandLine, BadUsageSaysWhatIsWrongInOneLineAndTouchesNothing)
{
    TempDir dir;
    dir.mkdir("in");
    dir.write("in/apple", "a");
    dir.write("a-file", "f");
    const std::string in = dir / "in";
    const std::string out = dir / "out"; // not there
    const struct {
        QStringList arguments;
        const char* says;
        bool usage; // a mistake in the call, which --help explains
    } cases[] = {
        {{QStringLiteral("--frobnicate"), Q(in), Q(in)}, "unknown option --frobnicate", true},
        {{QStringLiteral("--copy"), Q(in)}, "SOURCE and DESTINATION", true},
        {{QStringLiteral("--copy"), QStringLiteral("--move"), Q(in), Q(in)}, "exclude each other", true},
        {{QStringLiteral("--create-dirs"), Q(in), Q(in)}, "--copy or --move", true},
        {{QStringLiteral("--c"), Q(in), Q(in)}, "--c is ambiguous: --copy, --create-dirs", true},
        {{QStringLiteral("--mov=yes"), Q(in), Q(in)}, "--move takes no value", true},
        {{QStringLiteral("-nx"), QStringLiteral("--copy"), Q(in), Q(in)}, "unknown option -x", true},
        {{QStringLiteral("-qv"), QStringLiteral("--copy"), Q(in), Q(in)}, "exclude each other", true},
        {{QStringLiteral("--undo"), QStringLiteral("1"), QStringLiteral("2")}, "--undo takes one run", true},
        {{QStringLiteral("--undo"), QStringLiteral("--move")}, "--undo takes one run", true},
        {{QStringLiteral("--list-runs"), QStringLiteral("-v")}, "--list-runs takes no", true},
        {{QStringLiteral("--copy"), Q(dir / "nowhere"), Q(in)}, "No such file or directory", false},
        {{QStringLiteral("--copy"), Q(dir / "a-file"), Q(in)}, "not a folder", false},
        {{QStringLiteral("--move"), Q(in), Q(out)}, "destination", false},
        {{QStringLiteral("--undo=no-such-run")}, "run no-such-run: ", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const Result r = Quillbox(c.arguments);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.find("(see quillbox --help)") != std::string::npos, c.usage) << r.err;
    }
    EXPECT_EQ(dir.names(), (std::set<std::string> {"in", "a-file"}));
    EXPECT_EQ(dir.names("in"), std::set<std::string> {"apple"});
}

TEST(CommandLine, DryRunPrintsThePlanAndMakesNothingAndTheRunThenFollowsIt)
{
    TempDir dir;
    dir.mkdir("in");
    dir.mkdir("out");
    dir.mkdir("out/A");
    dir.write("in/apple", "new");
    dir.write("out/A/apple", "old");
    dir.write("in/avocado", "12345");
    dir.write("in/berry", "b");

    const Result r = Quillbox({QStringLiteral("--move"), QStringLiteral("--create-dirs"), QStringLiteral("--dry-run"),
                               Q(dir / "in"), Q(dir / "out")});

    EXPECT_EQ(r.status, 1) << "a file would fail";
    const std::vector<std::string> expected = {
        "Dry run: nothing is changed. Files that would be moved from " + (dir / "in") + "/ to " + (dir / "out") + "/:",
        "A: 1 file(s), 5 bytes",
        "B: 1 file(s), 1 bytes",
        "Could not copy/move file apple. File exists.",
        "Summary: 3 file(s) found, 2 would be moved, 1 would fail.",
    };
    EXPECT_EQ(r.lines, expected);
    EXPECT_EQ(dir.names("out"), std::set<std::string> {"A"}) << "no folder made";
    EXPECT_EQ(dir.names("in").size(), 3u);

    // The run itself does what the plan said, and a file that fails makes it exit 1.
    const Result run =
        Quillbox({QStringLiteral("--move"), QStringLiteral("--create-dirs"), Q(dir / "in"), Q(dir / "out")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadFile(dir / "out/A/apple"), "old");
    EXPECT_EQ(dir.names("in"), std::set<std::string> {"apple"});
}

TEST(CommandLine, HelpAndVersionFollowTheUsualConventions)
{
    const Result help = Quillbox({QStringLiteral("--help")});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--copy", "--move", "--create-dirs", "--dry-run", "--help", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_NE(help.out.find("no confirmation"), std::string::npos);
    EXPECT_NE(help.out.find("130"), std::string::npos);

    const Result version = Quillbox({QStringLiteral("--version")});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quillbox " QUILLBOX_VERSION "\n");
}

// The first Ctrl-C, SIGTERM or SIGHUP is Stop: the run ends between two
// files through its usual ending, with 128 + the signal; a second one then
// changes nothing.
TEST(CommandLine, StopSignalsStopBetweenTwoFilesAndExitWithTheSignal)
{
    for (const auto& [signal, status] : {std::pair {SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        SCOPED_TRACE(status);
        TempDir dir;
        // The entries up to "Found" come out as the processing pass begins.
        QByteArray seen;
        QProcess* process = StartOnManyFiles(dir, 30000, QStringLiteral("--copy"), seen);
        ::kill(static_cast<pid_t>(process->processId()), signal);
        ::kill(static_cast<pid_t>(process->processId()), signal);
        Result r = Finish(process);
        r.out = seen.toStdString() + r.out;

        EXPECT_EQ(r.status, status);
        EXPECT_NE(r.out.find("Processing aborted by user.\n"), std::string::npos);
        EXPECT_EQ(r.out.substr(r.out.size() - 22), "Cleaning up complete.\n");
        EXPECT_EQ(r.out.find("Operation complete"), std::string::npos);
    }
}

// A run killed outright leaves a journal of what it had placed, all but the
// last batch at most; the run can then be listed and taken back.
TEST(CommandLine, KilledRunLeavesAJournalThatUndoTakesBack)
{
    constexpr int kFiles = 30000;
    TempDir dir;
    RemoveTree(StateFolder() / "quillbox");
    QByteArray seen;
    QProcess* process = StartOnManyFiles(dir, kFiles, QStringLiteral("--move"), seen);
    // Once a first batch of records is out, the whole process goes at once.
    const std::string runsFolder = StateFolder() / "quillbox/runs";
    const auto journalBytes = [&] {
        struct stat st {};
        for (const std::string& name : TempDirNames(runsFolder))
            if (::stat((runsFolder + "/" + name).c_str(), &st) == 0)
                return static_cast<std::size_t>(st.st_size);
        return std::size_t {0};
    };
    const std::size_t headerOnly = journalBytes();
    ASSERT_TRUE(QTest::qWaitFor([&] { return journalBytes() > headerOnly + 1000; }, 20000));
    ::kill(static_cast<pid_t>(process->processId()), SIGKILL);
    Finish(process);

    JournalFolder journals(runsFolder);
    const std::vector<JournalSummary> runs = journals.list();
    ASSERT_EQ(runs.size(), 1u);
    struct Collect final : JournalVisitor {
        std::vector<JournalFile> files;
        std::size_t buckets = 0, damages = 0;
        bool file(const JournalFile& file) override
        {
            files.push_back(file);
            return true;
        }
        void bucket(const JournalBucket&) override { ++buckets; }
        void damaged(const JournalDamage&) override { ++damages; }
    } journal;
    ASSERT_TRUE(journals.read(runs[0].id, journal).ok());
    std::size_t moved = 0;
    for (const std::string& bucket : dir.names("out"))
        moved += dir.names("out/" + bucket).size();
    EXPECT_LE(journal.files.size(), moved);
    for (const JournalFile& file : journal.files) {
        EXPECT_TRUE(Exists(dir / ("out/" + std::string(1, file.bucket) + "/" + file.name))) << file.name;
        EXPECT_FALSE(Exists(dir / ("in/" + file.name))) << file.name;
    }
    EXPECT_EQ(journal.buckets, 27u);
    EXPECT_EQ(journal.damages, 0u);

    const Result listed = Quillbox({QStringLiteral("--list-runs")});
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find(runs[0].id + "  "), std::string::npos);
    EXPECT_NE(listed.out.find("Move from " + (dir / "in") + "/ to "), std::string::npos);

    const Result undone = Quillbox({QStringLiteral("--undo")});
    EXPECT_EQ(undone.status, 0) << undone.out;
    // Every file the run placed goes back, those it was placing when it was
    // killed too, from the intents written before each was placed.
    EXPECT_EQ(dir.names("in").size(), static_cast<std::size_t>(kFiles)) << undone.out;
    EXPECT_NE(Quillbox({QStringLiteral("--list-runs")}).out.find(", taken back"), std::string::npos);
}

// Options as GNU tools take them: shortened, short, after the folders, and
// "--" before a folder that starts with "-".
TEST(CommandLine, OptionsAreParsedAsGnuToolsDo)
{
    TempDir dir;
    dir.mkdir("-in");
    dir.mkdir("out");
    dir.write("-in/apple", "a");
    const QString in = QStringLiteral("-in"), out = QStringLiteral("out");
    const QStringList dryRuns[] = {
        {QStringLiteral("--dry"), QStringLiteral("--mo"), QStringLiteral("--cr"), QStringLiteral("--"), in, out},
        {QStringLiteral("-n"), QStringLiteral("--move"), QStringLiteral("--create-dirs"), QStringLiteral("--"), in,
         out},
        {QStringLiteral("./-in"), QStringLiteral("--move"), out, QStringLiteral("--dry-run"),
         QStringLiteral("--create")},
    };
    const QString inDir = QStringLiteral("cd '") + Q(dir.path()) + QStringLiteral("' && exec \"$0\" \"$@\"");
    for (const QStringList& arguments : dryRuns) {
        SCOPED_TRACE(arguments.join(QLatin1Char(' ')).toStdString());
        const Result r = Finish(Start(arguments, inDir));
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_FALSE(r.lines.empty());
        EXPECT_EQ(r.lines[0].rfind("Dry run: nothing is changed. Files that would be moved from ", 0), 0u);
    }
    EXPECT_EQ(dir.names("-in"), std::set<std::string> {"apple"});
    EXPECT_TRUE(dir.names("out").empty());
    EXPECT_EQ(Quillbox({QStringLiteral("-h")}).out, Quillbox({QStringLiteral("--he")}).out);
}

// --verbose names every file placed, --quiet prints only the failures, and
// without --create-dirs the run and the dry run name the bucket folders that
// were missing.
TEST(CommandLine, VerboseQuietAndMissingBucketFolders)
{
    TempDir dir;
    dir.mkdir("in");
    dir.mkdir("out");
    dir.mkdir("out/A");
    dir.write("in/apple", "a");
    dir.write("in/Berry", "b");
    dir.write("in/1x", "1");
    const std::string out = dir / "out";
    const std::string missing = "Missing bucket folders in " + out + "/: B, #. --create-dirs makes them.";
    const std::string berry = "Could not copy/move file Berry. No such file or directory.";
    const std::string one = "Could not copy/move file 1x. No such file or directory.";
    const auto has = [](const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };

    const Result dry = Quillbox({QStringLiteral("-n"), QStringLiteral("--copy"), Q(dir / "in"), Q(out)});
    EXPECT_EQ(dry.status, 1);
    EXPECT_EQ(dry.lines.back(), missing);

    const Result quiet = Quillbox({QStringLiteral("-q"), QStringLiteral("--copy"), Q(dir / "in"), Q(out)});
    EXPECT_EQ(quiet.status, 1);
    std::vector<std::string> failures = quiet.lines;
    std::sort(failures.begin(), failures.end());
    EXPECT_EQ(failures, (std::vector<std::string> {one, berry}));

    dir.write("out/A/apple", "older");
    const Result verbose = Quillbox({QStringLiteral("-v"), QStringLiteral("--move"), Q(dir / "in"), Q(out)});
    EXPECT_EQ(verbose.status, 1);
    EXPECT_TRUE(has(verbose.lines, berry));
    EXPECT_TRUE(has(verbose.lines, "Could not copy/move file apple. File exists."));
    EXPECT_EQ(verbose.lines.back(), missing);
    for (const std::string& line : verbose.lines)
        EXPECT_EQ(line.find(" -> "), std::string::npos) << "nothing was placed: " << line;

    dir.mkdir("out/B");
    RemoveTree(dir / "out/A/apple");
    const Result placed = Quillbox({QStringLiteral("-v"), QStringLiteral("--move"), Q(dir / "in"), Q(out)});
    EXPECT_EQ(placed.status, 1);
    EXPECT_TRUE(has(placed.lines, "apple -> " + out + "/A/apple"));
    EXPECT_TRUE(has(placed.lines, "Berry -> " + out + "/B/Berry"));
    EXPECT_TRUE(has(placed.lines, one));
    EXPECT_FALSE(has(placed.lines, "1x -> " + out + "/#/1x"));
    EXPECT_EQ(placed.lines.back(), "Missing bucket folders in " + out + "/: #. --create-dirs makes them.");
    EXPECT_EQ(ReadFile(out + "/B/Berry"), "b");
}

// --list-runs numbers the runs from the newest, and --undo takes a run by
// that number as by its name.
TEST(CommandLine, UndoTakesARunByItsNumberInTheList)
{
    RemoveTree(StateFolder() / "quillbox");
    TempDir dir;
    dir.mkdir("in");
    dir.mkdir("out");
    dir.write("in/apple", "a");
    const QStringList copy = {QStringLiteral("--copy"), QStringLiteral("--create-dirs"), Q(dir / "in"), Q(dir / "out")};
    ASSERT_EQ(Quillbox(copy).status, 0);
    dir.write("in/berry", "b");
    ASSERT_EQ(Quillbox(copy).status, 0);

    const Result listed = Quillbox({QStringLiteral("--list-runs")});
    ASSERT_EQ(listed.lines.size(), 2u) << listed.out;
    EXPECT_EQ(listed.lines[0].rfind("1  ", 0), 0u);
    EXPECT_NE(listed.lines[0].find(", Copy from " + (dir / "in") + "/ to " + (dir / "out") + "/, 2 file(s) placed"),
              std::string::npos)
        << listed.lines[0];
    EXPECT_EQ(listed.lines[1].rfind("2  ", 0), 0u);
    EXPECT_EQ(listed.lines[1].substr(listed.lines[1].size() - 16), "1 file(s) placed");

    // The older run: its copy of apple was replaced by the newer run's, so
    // it stays, and the run counts as taken back.
    EXPECT_EQ(Quillbox({QStringLiteral("--undo"), QStringLiteral("2")}).status, 1);
    EXPECT_TRUE(Exists(dir / "out/B/berry"));
    // The newer run: berry goes; its apple replaced the older run's copy,
    // so it is left in place, and says so.
    EXPECT_EQ(Quillbox({QStringLiteral("--undo=1")}).status, 1);
    EXPECT_FALSE(Exists(dir / "out/B/berry"));
    const Result after = Quillbox({QStringLiteral("--list-runs")});
    EXPECT_EQ(std::count(after.out.begin(), after.out.end(), '\n'), 2);
    EXPECT_EQ(after.out.find(", taken back"), after.out.rfind(", taken back") - after.out.find('\n') - 1) << after.out;

    const Result beyond = Quillbox({QStringLiteral("--undo"), QStringLiteral("3")});
    EXPECT_EQ(beyond.status, 2);
    EXPECT_EQ(beyond.err.find("(see quillbox --help)"), std::string::npos) << beyond.err;
}

// A run an undo left files of, for a reason that may pass, is listed as
// partly taken back; the next undo takes back just those files.
TEST(CommandLine, ARunPartlyTakenBackIsListedSoAndTheNextUndoTakesBackTheRest)
{
    RemoveTree(StateFolder() / "quillbox");
    TempDir dir;
    dir.mkdir("in");
    dir.mkdir("out");
    dir.write("in/apple", "a");
    ASSERT_EQ(
        Quillbox({QStringLiteral("--copy"), QStringLiteral("--create-dirs"), Q(dir / "in"), Q(dir / "out")}).status, 0);
    JournalFolder journals(StateFolder() / "quillbox/runs");
    ASSERT_TRUE(journals.markLeft(journals.list().front().id, {0, 1, {{1, 1}}}).ok());

    const Result listed = Quillbox({QStringLiteral("--list-runs")});
    ASSERT_EQ(listed.lines.size(), 1u);
    EXPECT_TRUE(listed.lines[0].ends_with(", 1 file(s) placed, partly taken back (1 left)")) << listed.lines[0];
    EXPECT_EQ(Quillbox({QStringLiteral("--undo")}).status, 0);
    EXPECT_FALSE(Exists(dir / "out/A/apple"));
    EXPECT_TRUE(Quillbox({QStringLiteral("--list-runs")}).out.ends_with(", taken back\n"));
}

// Standard output that cannot be written ends every command with the write
// error and status 3; a run stops between two files and its journal is kept.
TEST(CommandLine, WriteErrorsEndEveryCommandWithStatus3)
{
    TempDir dir;
    dir.mkdir("in");
    dir.mkdir("out");
    dir.write("in/apple", "a");
    const QString in = Q(dir / "in"), out = Q(dir / "out");
    ASSERT_EQ(Quillbox({QStringLiteral("--copy"), QStringLiteral("--create-dirs"), in, out}).status, 0);
    const QStringList commands[] = {
        {QStringLiteral("--help")},          {QStringLiteral("--version")},
        {QStringLiteral("--list-runs")},     {QStringLiteral("-n"), QStringLiteral("--move"), in, out},
        {QStringLiteral("--move"), in, out}, {QStringLiteral("--undo")},
    };
    for (const QStringList& arguments : commands) {
        SCOPED_TRACE(arguments.join(QLatin1Char(' ')).toStdString());
        const Result r = Finish(Start(arguments, QStringLiteral("exec \"$0\" \"$@\" >/dev/full")));
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, "quillbox: write error: No space left on device\n");
    }
    EXPECT_EQ(dir.names("in"), std::set<std::string> {"apple"}) << "the move stopped before its first file";
    EXPECT_EQ(ReadFile(dir / "out/A/apple"), "a") << "the undo stopped before its first file";

    // A closed standard output: an error once something is written to it,
    // none for a command that writes nothing.
    const QString closed = QStringLiteral("exec \"$0\" \"$@\" >&-");
    const Result version = Finish(Start({QStringLiteral("--version")}, closed));
    EXPECT_EQ(version.status, 3);
    EXPECT_EQ(version.err, "quillbox: write error: Bad file descriptor\n");
    dir.mkdir("more");
    dir.write("more/berry", "b");
    const Result quiet = Finish(Start({QStringLiteral("-q"), QStringLiteral("--move"), Q(dir / "more"), out}, closed));
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(ReadFile(dir / "out/B/berry"), "b");

    // A reader that goes away mid-run: the run stops between two files, and
    // the journal of what it placed takes every file back.
    constexpr int kFiles = 30000;
    TempDir many;
    many.mkdir("in");
    many.mkdir("out");
    for (int i = 0; i < kFiles; ++i)
        many.write("in/f" + std::to_string(i), "x");
    const Result piped = Finish(Start({QStringLiteral("-v"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
                                       Q(many / "in"), Q(many / "out")},
                                      QStringLiteral("\"$0\" \"$@\" | head -c 20000 >/dev/null; "
                                                     "exit ${PIPESTATUS[0]}")));
    EXPECT_EQ(piped.status, 3);
    EXPECT_EQ(piped.err, "quillbox: write error: Broken pipe\n");
    const std::size_t left = many.names("in").size();
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, static_cast<std::size_t>(kFiles));
    EXPECT_EQ(Quillbox({QStringLiteral("--undo")}).status, 0);
    EXPECT_EQ(many.names("in").size(), static_cast<std::size_t>(kFiles));
}

// Without --copy or --move the window is wanted; with no display to open it
// on, one line says so instead of an abort.
TEST(CommandLine, NoDisplayForTheWindowIsOneLineAndStatus2)
{
    TempDir dir;
    for (const QString& display : {QString(), QStringLiteral(":97")}) {
        SCOPED_TRACE(display.toStdString());
        const Result r = Finish(Start({Q(dir.path()), Q(dir.path())}, {}, display));
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err,
                  "quillbox: no display can be reached to open the window on; --copy or --move runs "
                  "without one\n");
    }
}

} // namespace
} // namespace quillbox::test
