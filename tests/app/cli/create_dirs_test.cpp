// SPDX-License-Identifier: GPL-3.0-or-later
// --create-dirs and a destination that is not there: the built program
// makes it (its parent must be there), says so, records it in the run's
// journal, and an undo removes it once it is empty again; a preview only
// says that the run would make it; without the option the refusal names it.
#include <csignal>
#include <string>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace quillbox::test {
namespace {

constexpr int kBoundMs = 30000;

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

// A folder "in" with a few files, the journals beside it, and the program
// run over it, one command at a time.
struct Sorting {
    TempDir dir;
    std::string out;
    std::string err;

    Sorting()
    {
        dir.mkdir("in");
        dir.mkdir("state");
        dir.write("in/apple", "a");
        dir.write("in/berry", "bb");
        dir.write("in/7zip", "777");
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), Q(dir / "state"));
        return environment;
    }
    int run(const QStringList& arguments)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(QStringLiteral(QUILLBOX_BINARY), arguments);
        EXPECT_TRUE(process.waitForFinished(kBoundMs));
        out = process.readAllStandardOutput().toStdString();
        err = process.readAllStandardError().toStdString();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    int sort(const std::string& destination, QStringList options)
    {
        return run(options << Q(dir / "in") << Q(destination));
    }
};

TEST(CreateDirs, MakesTheDestinationAndUndoRemovesItOnceEmpty)
{
    Sorting s;
    const std::string sorted = s.dir / "Sorted";

    // The preview says it would make it, and makes nothing.
    ASSERT_EQ(s.sort(sorted, {QStringLiteral("--move"), QStringLiteral("--create-dirs"), QStringLiteral("--dry-run")}),
              0)
        << s.out << s.err;
    EXPECT_NE(s.out.find("The destination folder " + sorted + "/ is not there: the run would make it."),
              std::string::npos)
        << s.out;
    EXPECT_NE(s.out.find("A: 1 file(s), 1 bytes"), std::string::npos) << "the files are looked at as arriving there";
    EXPECT_NE(s.out.find("Summary: 3 file(s) found, 3 would be moved, 0 would fail."), std::string::npos) << s.out;
    EXPECT_FALSE(Exists(sorted));

    ASSERT_EQ(s.sort(sorted, {QStringLiteral("--move"), QStringLiteral("--create-dirs")}), 0) << s.out << s.err;
    EXPECT_NE(s.out.find("Made the destination folder " + sorted + "/."), std::string::npos) << s.out;
    EXPECT_TRUE(Exists(sorted + "/A/apple"));
    EXPECT_TRUE(Exists(sorted + "/#/7zip"));
    EXPECT_TRUE(s.dir.names("in").empty());

    ASSERT_EQ(s.run({QStringLiteral("--undo")}), 0) << s.out << s.err;
    EXPECT_EQ(s.dir.names("in"), (std::set<std::string> {"7zip", "apple", "berry"}));
    EXPECT_FALSE(Exists(sorted)) << "made by the run and empty again: gone";
}

TEST(CreateDirs, UndoLeavesADestinationThatHoldsSomethingElse)
{
    Sorting s;
    const std::string sorted = s.dir / "Sorted";
    ASSERT_EQ(s.sort(sorted, {QStringLiteral("--copy"), QStringLiteral("--create-dirs")}), 0) << s.err;
    s.dir.write("Sorted/notes.txt", "mine");
    ASSERT_EQ(s.run({QStringLiteral("--undo")}), 0) << s.out << s.err;
    EXPECT_EQ(s.dir.names("Sorted"), std::set<std::string> {"notes.txt"}) << "the buckets went, the folder stays";
}

TEST(CreateDirs, AMissingDestinationIsRefusedWithWhatMakesIt)
{
    Sorting s;
    // Without the option: the message tells the option.
    EXPECT_EQ(s.sort(s.dir / "Sorted", {QStringLiteral("--move")}), 2);
    EXPECT_EQ(s.err,
              "quillbox: destination " + (s.dir / "Sorted") + ": No such file or directory (--create-dirs makes it)\n");
    EXPECT_EQ(s.sort(s.dir / "Sorted", {QStringLiteral("--move"), QStringLiteral("--dry-run")}), 2);
    EXPECT_NE(s.err.find("--create-dirs makes it"), std::string::npos);

    // With it, the parent must be there: only the last folder is made.
    for (const bool dryRun : {false, true}) {
        QStringList options {QStringLiteral("--move"), QStringLiteral("--create-dirs")};
        if (dryRun)
            options << QStringLiteral("--dry-run");
        EXPECT_EQ(s.sort(s.dir / "a/b", options), 2);
        EXPECT_EQ(s.err,
                  "quillbox: destination " + (s.dir / "a/b") + " cannot be made: its parent " + (s.dir / "a") +
                      ": No such file or directory (--create-dirs makes the last folder only)\n");
    }
    // A file where the destination should be is no folder.
    s.dir.write("file", "x");
    EXPECT_EQ(s.sort(s.dir / "file", {QStringLiteral("--move"), QStringLiteral("--create-dirs")}), 2);
    EXPECT_EQ(s.err, "quillbox: destination " + (s.dir / "file") + ": not a folder\n");
    EXPECT_EQ(s.dir.names(), (std::set<std::string> {"file", "in", "state"})) << "nothing made";
    EXPECT_EQ(s.dir.names("in").size(), 3u);
}

TEST(CreateDirs, AWatchMakesItsDestinationAndUndoingEveryBatchRemovesIt)
{
    Sorting s;
    const std::string sorted = s.dir / "Sorted";
    QProcess watch;
    watch.setProcessEnvironment(s.environment());
    watch.start(QStringLiteral(QUILLBOX_BINARY),
                {QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
                 QStringLiteral("--settle"), QStringLiteral("0.2"), Q(s.dir / "in"), Q(sorted)});
    ASSERT_TRUE(watch.waitForStarted(kBoundMs));
    std::string out;
    const auto seen = [&](const std::string& path) {
        return QTest::qWaitFor(
            [&] {
                watch.waitForReadyRead(20);
                out += watch.readAllStandardOutput().toStdString();
                return Exists(path);
            },
            kBoundMs);
    };
    ASSERT_TRUE(seen(sorted + "/B/berry")) << out << watch.readAllStandardError().toStdString();
    EXPECT_NE(out.find("Made the destination folder " + sorted + "/."), std::string::npos) << out;
    // A second batch, a run of its own.
    s.dir.write("cherry.new", "c");
    ASSERT_EQ(::rename((s.dir / "cherry.new").c_str(), (s.dir / "in/cherry").c_str()), 0);
    ASSERT_TRUE(seen(sorted + "/C/cherry")) << out;
    ::kill(static_cast<pid_t>(watch.processId()), SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(kBoundMs));
    EXPECT_EQ(watch.exitCode(), 143);

    // The latest batch first: the destination still holds the first one's.
    ASSERT_EQ(s.run({QStringLiteral("--undo")}), 0) << s.out << s.err;
    EXPECT_TRUE(Exists(s.dir / "in/cherry"));
    EXPECT_TRUE(Exists(sorted + "/#/7zip"));
    ASSERT_EQ(s.run({QStringLiteral("--undo")}), 0) << s.out << s.err;
    EXPECT_EQ(s.dir.names("in"), (std::set<std::string> {"7zip", "apple", "berry", "cherry"}));
    EXPECT_FALSE(Exists(sorted));
}

TEST(CreateDirs, AWatchFileWithoutCreateDirsIsToldTheKeyThatMakesIt)
{
    Sorting s;
    s.dir.mkdir("config");
    s.dir.mkdir("config/quillbox");
    s.dir.mkdir("config/quillbox/watch");
    const std::string sorted = s.dir / "Sorted";
    s.dir.write("config/quillbox/watch/downloads.conf",
                "mode = move\nsource = " + (s.dir / "in") + "\ndestination = " + sorted + "\ncreate-dirs = no\n");
    QProcess watch;
    QProcessEnvironment environment = s.environment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Q(s.dir / "config"));
    watch.setProcessEnvironment(environment);
    watch.start(QStringLiteral(QUILLBOX_BINARY), {QStringLiteral("--watch-config"), QStringLiteral("downloads")});
    ASSERT_TRUE(watch.waitForFinished(kBoundMs));
    EXPECT_EQ(watch.exitCode(), 2) << "a usage error: the service does not try again";
    EXPECT_EQ(watch.readAllStandardError().toStdString(),
              "quillbox: destination " + sorted + ": No such file or directory (create-dirs = yes makes it)\n");
    EXPECT_FALSE(Exists(sorted));
}

} // namespace
} // namespace quillbox::test
