#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/core/run_world.h"

namespace quillbox::test {
namespace {

TEST_F(RunFixture, CopiesEveryFileIntoItsBucketAndLogsTheRun)
{
    source.write("apple.txt", "a");
    source.write("Zebra.doc", "zz");
    source.write("1st.txt", "111");
    source.mkdir("sub");
    source.write("sub/inner.txt", "x");

    sieve.SieveFiles();

    EXPECT_EQ(ReadFile(destination / "A/apple.txt"), "a");
    EXPECT_EQ(ReadFile(destination / "Z/Zebra.doc"), "zz");
    EXPECT_EQ(ReadFile(destination / "#/1st.txt"), "111");
    EXPECT_EQ(destination.names().size(), 27u);
    EXPECT_TRUE(Exists(source / "apple.txt"));

    const std::vector<std::string> expected = {
        "Quillbox loaded and running.",
        "",
        " -- SIEVING ----",
        "Source directory = " + source.path() + "/",
        "Destination directory = " + destination.path() + "/",
        "Copy Mode = Copy",
        "Creating directories #-Z ..",
        "Found 3 file(s) for processing.",
        "Operation complete. 3 file(s) processed.",
        "Cleaning up complete.",
    };
    EXPECT_EQ(logHost.messages(), expected);
    EXPECT_EQ(window.fileProgressCaption, "3 of 3");
    EXPECT_EQ(window.bytesCaption, "6 bytes ( MB)");
    EXPECT_EQ(window.barValue, 3);
    EXPECT_TRUE(window.sieveEnabled);
    EXPECT_FALSE(window.stopEnabled);
    EXPECT_EQ(sieve.Counters().FilesFound, 0);
}

// Every window operation of a one-file run, in order: locking, header,
// separator rule, passes, final figures, and FinishRun's unlocking.
TEST_F(RunFixture, WindowOperationsOfACompletedRunInOrder)
{
    source.write("apple.txt", "abc");
    window.viewLogWhenDone = true;
    const std::string s = source.path() + "/";
    const std::string d = destination.path() + "/";

    sieve.SieveFiles();

    const std::vector<std::string> expected = {
        Row("Quillbox loaded and running."),
        "sourcePicker.enabled=0", "destinationPicker.enabled=0", "_sieve.enabled=0",
        "_about.enabled=0", "_stop.enabled=1", "source.enabled=0", "destination.enabled=0",
        "createDirs.enabled=0",
        "log:", Row(" -- SIEVING ----"),
        "source.text=" + s, "destination.text=" + d,
        Row("Source directory = " + s), Row("Destination directory = " + d), Row("Copy Mode = Copy"),
        Row("Creating directories #-Z .."),
        "currentFile=Counting files..", "currentFile.repaint", "countTimer.enabled=1",
        "countTimer.enabled=0", "countTimer.tick",
        Row("Found 1 file(s) for processing."),
        "progress.value=0", "progress.max=1", "progress.min=0", "progressTimer.enabled=1",
        "progress.value=1", "progressTimer.tag=apple.txt",
        "progressTimer.enabled=0", "progress.value=1", "progressTimer.tick",
        Row("Operation complete. 1 file(s) processed."),
        "countTimer.enabled=0", "progressTimer.enabled=0",
        "sourcePicker.enabled=1", "destinationPicker.enabled=1",
        "_sieve.enabled=1", "_about.enabled=1", "_stop.enabled=0", "_stop.pressed=0",
        "source.enabled=1", "destination.enabled=1", "createDirs.enabled=1",
        Row("Cleaning up complete."), "log.show",
    };
    EXPECT_EQ(window.operations, expected);
    EXPECT_EQ(window.currentFileCaption, "apple.txt");
    EXPECT_EQ(window.bytesCaption, "3 bytes ( MB)");
}

TEST(RunWaysOut, EachEndsWithItsEntriesThenCleaningUp)
{
    struct Case {
        const char* name;
        int files;
        // Runs on each pending-events call; may press Stop.
        std::function<void(RunWorld&)> meanwhile;
        std::vector<std::string> lastEntries;
        LogIcon lastButOneIcon;
        int filesCopied;
    };
    const Case cases[] = {
        {"stopped while counting", 3, [](RunWorld& w) { w.window.stopPressed = true; },
         {"File count processing aborted by user.", "Cleaning up complete."}, LogIcon::Exclamation, 0},
        {"no files", 0, nullptr,
         {"No files found in the selected directory. Aborting.", "Cleaning up complete."},
         LogIcon::Exclamation, 0},
        {"stopped while processing", 3,
         [](RunWorld& w) {
             if (!w.window.progressTimerTag.empty())
                 w.window.stopPressed = true;
         },
         {"Processing aborted by user.", "Cleaning up complete."}, LogIcon::Exclamation, 1},
        {"completed", 3, nullptr, {"Operation complete. 3 file(s) processed.", "Cleaning up complete."},
         LogIcon::Information, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunWorld w;
        w.source.mkdir("only-a-folder");
        for (int i = 0; i < c.files; ++i)
            w.source.write("f" + std::to_string(i), "data");
        if (c.meanwhile)
            w.window.onPendingEvents = [&](FakeMainWindow&) { c.meanwhile(w); };
        w.window.viewLogWhenDone = true;

        w.sieve.SieveFiles();

        EXPECT_EQ(w.LastMessages(2), c.lastEntries);
        const auto& rows = w.logHost.rows;
        ASSERT_GE(rows.size(), 2u);
        EXPECT_EQ(rows[rows.size() - 2].icon, c.lastButOneIcon);
        EXPECT_EQ(rows.back().icon, LogIcon::Information);
        EXPECT_EQ(w.destination.names("F").size(), static_cast<std::size_t>(c.filesCopied));
        // The log window comes up after the last entry is in.
        EXPECT_EQ(w.window.operations.back(), "log.show");
        EXPECT_EQ(w.window.operations[w.window.operations.size() - 2], RunWorld::Row("Cleaning up complete."));
        w.ExpectEndedCleanly();
    }
}

TEST_F(RunFixture, NoFilesReportsBeforeFinishingAndShowsTheCountLine)
{
    source.mkdir("sub");
    source.write("sub/inner.txt", "x");

    sieve.SieveFiles();

    EXPECT_EQ(window.fileProgressCaption, "No files were found. Check Log.");
    EXPECT_EQ(window.currentFileCaption, "0 files found..");
    EXPECT_FALSE(window.recorded("progressTimer.enabled=1"));
    const auto& ops = window.operations;
    const auto report = std::find(ops.begin(), ops.end(), "fileProgress.repaint");
    const auto finish = std::find(ops.begin(), ops.end(), "_stop.pressed=0");
    EXPECT_LT(report, finish);
    EXPECT_TRUE(Exists(source / "sub/inner.txt"));
    ExpectEndedCleanly();
}

// Stop is looked at only at the start of a file: the file before it is
// whole, no later file is touched, and a press after the last file is
// simply released by the run's end.
TEST(RunStop, AtFirstMiddleAndLastFile)
{
    struct Case {
        const char* name;
        int pressAfterFiles; // files handled when Stop is pressed
        int expectedDone;
        std::string lastEntry;
    };
    const int kFiles = 5;
    const Case cases[] = {
        {"first", 0, 0, "Processing aborted by user."},
        {"middle", 2, 2, "Processing aborted by user."},
        {"last", 5, 5, "Operation complete. 5 file(s) processed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunWorld w;
        const std::string content = Pattern(200000, 7);
        for (int i = 0; i < kFiles; ++i)
            w.source.write("m" + std::to_string(i), content);
        w.window.moveMode = true;
        w.window.onPendingEvents = [&](FakeMainWindow& window) {
            // The count of 5 is complete once the counting listing is done.
            if (w.sieve.Counters().FilesFound == kFiles &&
                w.sieve.Counters().FilesProcessed == c.pressAfterFiles)
                window.stopPressed = true;
        };

        w.sieve.SieveFiles();

        EXPECT_EQ(w.LastMessages(2), (std::vector<std::string> {c.lastEntry, "Cleaning up complete."}));
        const auto moved = w.destination.names("M");
        EXPECT_EQ(moved.size(), static_cast<std::size_t>(c.expectedDone));
        EXPECT_EQ(w.source.names().size(), static_cast<std::size_t>(kFiles - c.expectedDone));
        for (const std::string& name : moved)
            EXPECT_EQ(ReadFile(w.destination / ("M/" + name)), content) << name;
        w.ExpectEndedCleanly();
    }
}

TEST_F(RunFixture, VanishedFileIsReportedAndTheRunGoesOn)
{
    source.write("a1", "1");
    source.write("b2", "22");
    source.write("c3", "333");
    fs.beforeLength = [&](const std::string& path) {
        if (path == source / "b2")
            ::unlink(path.c_str());
    };

    sieve.SieveFiles();

    EXPECT_EQ(MessagesStartingWith("Error while sieving"),
              std::vector<std::string> {"Error while sieving: [2] - No such file or directory."});
    const auto& ops = window.operations;
    const auto error = std::find(ops.begin(), ops.end(), Row("Error while sieving: [2] - No such file or directory."));
    ASSERT_NE(error, ops.end());
    EXPECT_EQ(*(error + 1), "log.show");
    EXPECT_EQ(ReadFile(destination / "A/a1"), "1");
    EXPECT_EQ(ReadFile(destination / "C/c3"), "333");
    EXPECT_FALSE(Exists(destination / "B/b2"));
    EXPECT_EQ(window.fileProgressCaption, "3 of 3");
    EXPECT_EQ(window.bytesCaption, "4 bytes ( MB)");
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 3 file(s) processed.");
    ExpectEndedCleanly();
}

TEST(RunFolderFields, GetOneTrailingSeparatorWrittenBack)
{
    for (const bool withSeparator : {false, true}) {
        SCOPED_TRACE(withSeparator ? "already ending in /" : "no trailing /");
        RunWorld w;
        w.source.write("apple", "a");
        const std::string s = w.source.path() + (withSeparator ? "/" : "");
        const std::string d = w.destination.path() + (withSeparator ? "/" : "");
        w.window.source = s;
        w.window.destination = d;

        w.sieve.SieveFiles();

        EXPECT_EQ(w.window.source, w.source.path() + "/");
        EXPECT_EQ(w.window.destination, w.destination.path() + "/");
        EXPECT_EQ(w.window.recorded("source.text=" + w.source.path() + "/"), !withSeparator);
        EXPECT_EQ(w.window.recorded("destination.text=" + w.destination.path() + "/"), !withSeparator);
        EXPECT_EQ(ReadFile(w.destination / "A/apple"), "a");
        EXPECT_FALSE(Exists(w.destination.path() + "A"));
    }
}

TEST_F(RunFixture, AllBucketsAlreadyThereIsNoFailure)
{
    for (const char letter : std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ#"))
        destination.mkdir(std::string(1, letter));
    source.write("apple", "a");
    source.write("#hash", "h");

    sieve.SieveFiles();

    EXPECT_EQ(MessagesStartingWith("Could not"), std::vector<std::string> {});
    EXPECT_EQ(MessagesStartingWith("Error"), std::vector<std::string> {});
    EXPECT_EQ(ReadFile(destination / "#/#hash"), "h");
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 2 file(s) processed.");
}

TEST(RunWithoutBuckets, EveryFileFailsAndIsStillCounted)
{
    for (const bool move : {false, true}) {
        SCOPED_TRACE(move ? "move" : "copy");
        RunWorld w;
        w.window.createDirs = false;
        w.window.moveMode = move;
        w.source.write("apple", "12345");
        w.source.write("berry", "123");
        w.source.write("9lives", "1");

        w.sieve.SieveFiles();

        EXPECT_EQ(w.MessagesStartingWith("Could not"),
                  (std::vector<std::string> {"Could not copy/move file 9lives. No such file or directory.",
                                             "Could not copy/move file apple. No such file or directory.",
                                             "Could not copy/move file berry. No such file or directory."}));
        EXPECT_EQ(w.MessagesStartingWith("Creating"), std::vector<std::string> {});
        EXPECT_EQ(w.LastMessages(2)[0], "Operation complete. 3 file(s) processed.");
        EXPECT_EQ(w.window.fileProgressCaption, "3 of 3");
        EXPECT_EQ(w.window.bytesCaption, "9 bytes ( MB)");
        EXPECT_EQ(w.destination.names(), std::set<std::string> {});
        EXPECT_EQ(w.source.names(), (std::set<std::string> {"9lives", "apple", "berry"}));
        w.ExpectEndedCleanly();
    }
}

// The mode is read for every file; the header keeps the mode at the start.
TEST_F(RunFixture, SwitchingToMoveMidRunMovesTheFollowingFiles)
{
    source.write("apple", "a");
    source.write("berry", "b");
    source.write("cherry", "c");
    std::string first;
    window.onPendingEvents = [&](FakeMainWindow& w) {
        if (first.empty() && !w.progressTimerTag.empty()) {
            first = w.progressTimerTag;
            w.moveMode = true;
        }
    };

    sieve.SieveFiles();

    ASSERT_FALSE(first.empty());
    EXPECT_EQ(MessagesStartingWith("Copy Mode"), std::vector<std::string> {"Copy Mode = Copy"});
    EXPECT_EQ(source.names(), std::set<std::string> {first});
    for (const std::string name : {"apple", "berry", "cherry"})
        EXPECT_EQ(ReadFile(destination / (std::string(1, static_cast<char>(name[0] - 32)) + "/" + name)),
                  std::string(1, name[0]));
}

// Each pass takes the next name before it lets events run, so the Tag names
// the file done while the listing already holds the next one.
TEST_F(RunFixture, NextNameIsTakenBeforePendingEventsRun)
{
    source.write("apple", "a");
    source.write("berry", "b");
    std::vector<std::pair<std::string, std::string>> seen; // tag, next name
    window.onPendingEvents = [&](FakeMainWindow& w) {
        if (!w.progressTimerTag.empty())
            seen.emplace_back(w.progressTimerTag, fs.lastListed);
    };

    sieve.SieveFiles();

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[0].second, "");
    EXPECT_NE(seen[0].second, seen[0].first);
    EXPECT_EQ(seen[1].first, seen[0].second);
    EXPECT_EQ(seen[1].second, "");
}

TEST(RunViewLogWhenDone, TheChoiceInForceAtTheEndCounts)
{
    struct Case {
        bool atStart;
        bool duringRun;
        long shows;
    };
    for (const Case c : {Case {false, true, 1}, Case {true, false, 0}, Case {false, false, 0}, Case {true, true, 1}}) {
        SCOPED_TRACE(std::to_string(c.atStart) + "->" + std::to_string(c.duringRun));
        RunWorld w;
        w.source.write("apple", "a");
        w.window.viewLogWhenDone = c.atStart;
        w.window.onPendingEvents = [&](FakeMainWindow& window) { window.viewLogWhenDone = c.duringRun; };

        w.sieve.SieveFiles();

        EXPECT_EQ(w.Count("log.show"), c.shows);
        EXPECT_EQ(w.logHost.shows, c.shows);
    }
}

TEST_F(RunFixture, SecondRunStartsFromZero)
{
    for (int i = 0; i < 4; ++i)
        source.write("f" + std::to_string(i), "x");
    sieve.SieveFiles();
    ASSERT_EQ(window.barValue, 4);

    // Two files fewer for the second run; its start must not see the first.
    ::unlink((source / "f0").c_str());
    ::unlink((source / "f1").c_str());
    const std::size_t rowsBefore = logHost.rows.size();
    const std::size_t opsBefore = window.operations.size();
    double firstCount = -1;
    window.onPendingEvents = [&](FakeMainWindow&) {
        if (firstCount < 0)
            firstCount = sieve.Counters().FilesFound;
    };
    EXPECT_FALSE(window.stopPressed);
    EXPECT_FALSE(window.stopEnabled);

    sieve.SieveFiles();

    EXPECT_EQ(firstCount, 1);
    const std::vector<std::string> messages = logHost.messages();
    EXPECT_EQ(messages[rowsBefore - 1], "Cleaning up complete.");
    EXPECT_EQ(messages[rowsBefore], "");
    EXPECT_EQ(messages[rowsBefore + 1], " -- SIEVING ----");
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 2 file(s) processed.");
    const std::vector<std::string> second = window.operationsFrom(opsBefore);
    const auto firstValue = std::find_if(second.begin(), second.end(),
                                         [](const std::string& op) { return op.rfind("progress.value", 0) == 0; });
    ASSERT_NE(firstValue, second.end());
    EXPECT_EQ(*firstValue, "progress.value=0");
    EXPECT_EQ(*(firstValue + 1), "progress.max=2");
    EXPECT_EQ(window.fileProgressCaption, "2 of 2");
    EXPECT_EQ(window.barValue, 2);
    ExpectEndedCleanly(2);
}

TEST_F(RunFixture, FilesAddedBetweenThePassesAreHandledToo)
{
    for (const char* name : {"a", "b", "c", "d"})
        source.write(name, "x");
    window.onPendingEvents = [&](FakeMainWindow& w) {
        // Called after the counting listing has given its last name.
        if (sieve.Counters().FilesFound == 4 && w.progressTimerTag.empty() && !Exists(source / "e"))
            source.write("e", "x");
    };

    sieve.SieveFiles();

    EXPECT_EQ(window.fileProgressCaption, "5 of 4");
    EXPECT_EQ(window.barValue, 4);
    EXPECT_EQ(window.barMax, 4);
    EXPECT_EQ(Count("progress.value refused 5"), 1);
    EXPECT_EQ(ReadFile(destination / "E/e"), "x");
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 4 file(s) processed.");
    ExpectEndedCleanly();
}

TEST_F(RunFixture, AllFilesGoneBetweenThePasses)
{
    for (const char* name : {"a", "b", "c"})
        source.write(name, "x");
    window.onPendingEvents = [&](FakeMainWindow&) {
        if (sieve.Counters().FilesFound == 3)
            for (const char* name : {"a", "b", "c"})
                ::unlink((source / name).c_str());
    };

    sieve.SieveFiles();

    EXPECT_EQ(window.fileProgressCaption, " of 3");
    EXPECT_EQ(window.currentFileCaption, ""); // the Tag of a first run
    EXPECT_EQ(window.bytesCaption, "0 bytes ( MB)");
    EXPECT_EQ(window.barValue, 3);
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 3 file(s) processed.");
    ExpectEndedCleanly();
}

} // namespace
} // namespace quillbox::test
