// The command line, driven as a user drives it: the built program started
// with arguments and no display, its output and exit status read, and the
// folders looked at afterwards.
#include <algorithm>
#include <csignal>
#include <set>

#include <dirent.h>
#include <sys/stat.h>
#include <string>
#include <vector>

#include <QProcess>
#include <QTest>
#include <QProcessEnvironment>
#include <QStringList>

#include <gtest/gtest.h>

#include "core/journal.h"
#include "platform/journal_files.h"
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

QProcess* Start(const QStringList& arguments)
{
    auto* process = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), QString::fromStdString(StateFolder().path()));
    process->setProcessEnvironment(environment);
    process->start(QStringLiteral(QUILLBOX_BINARY), arguments);
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
        std::string line = result.out.substr(start, end - start);
        const std::size_t dash = line.find(" - ");
        result.lines.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
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

    const Result r = Quillbox({QStringLiteral("--move"), QStringLiteral("--create-dirs"), Q(dir / "in"), Q(dir / "out")});

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
    } cases[] = {
        {{QStringLiteral("--frobnicate"), Q(in), Q(in)}, "unknown option --frobnicate"},
        {{QStringLiteral("--copy"), Q(in)}, "SOURCE and DESTINATION"},
        {{QStringLiteral("--copy"), QStringLiteral("--move"), Q(in), Q(in)}, "exclude each other"},
        {{QStringLiteral("--create-dirs"), Q(in), Q(in)}, "--copy or --move"},
        {{QStringLiteral("--copy"), Q(dir / "nowhere"), Q(in)}, "No such file or directory"},
        {{QStringLiteral("--copy"), Q(dir / "a-file"), Q(in)}, "not a folder"},
        {{QStringLiteral("--move"), Q(in), Q(out)}, "destination"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const Result r = Quillbox(c.arguments);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
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
    const Result run = Quillbox({QStringLiteral("--move"), QStringLiteral("--create-dirs"), Q(dir / "in"),
                                 Q(dir / "out")});
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

// The first Ctrl-C is Stop: the run ends between two files through its
// usual ending; a second one then changes nothing.
TEST(CommandLine, CtrlCStopsBetweenTwoFilesAndExits130)
{
    TempDir dir;
    // The entries up to "Found" come out as the processing pass begins.
    QByteArray seen;
    QProcess* process = StartOnManyFiles(dir, 30000, QStringLiteral("--copy"), seen);
    ::kill(static_cast<pid_t>(process->processId()), SIGINT);
    ::kill(static_cast<pid_t>(process->processId()), SIGINT);
    Result r = Finish(process);
    r.out = seen.toStdString() + r.out;

    EXPECT_EQ(r.status, 130);
    EXPECT_NE(r.out.find("Processing aborted by user.\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 22), "Cleaning up complete.\n");
    EXPECT_EQ(r.out.find("Operation complete"), std::string::npos);
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
    EXPECT_EQ(dir.names("in").size(), kFiles - moved + journal.files.size());
    EXPECT_NE(Quillbox({QStringLiteral("--list-runs")}).out.find(", taken back"), std::string::npos);
}

} // namespace
} // namespace quillbox::test
