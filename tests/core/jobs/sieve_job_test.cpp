// SPDX-License-Identifier: GPL-3.0-or-later
// The run itself: what it logs and reports, in order, on each way out (over
// files held in memory), and how it follows Stop and the mode while it goes
// (over real folders).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <linux/capability.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/core/memory_world.h"
#include "tests/core/run_world.h"

namespace quillbox::test {
namespace {

TEST_F(RunFixture, CompletedRunReportsEachStepInOrder)
{
    source.write("apple.txt", "a");
    source.write("Zebra.doc", "zz");
    source.write("1st.txt", "111");
    source.mkdir("sub");
    source.write("sub/inner.txt", "x");
    observer.watchedFolder = destination.path();

    EXPECT_EQ(Sieve(), RunEnd::Completed);

    EXPECT_EQ(ReadFile(destination / "A/apple.txt"), "a");
    EXPECT_EQ(ReadFile(destination / "Z/Zebra.doc"), "zz");
    EXPECT_EQ(ReadFile(destination / "#/1st.txt"), "111");
    EXPECT_EQ(destination.names().size(), 27u);
    EXPECT_TRUE(Exists(source / "apple.txt"));
    EXPECT_FALSE(Exists(destination / "S/sub"));

    const std::vector<std::string> expected = {
        "entry:",
        "entry: -- SIEVING ----",
        "entry:Source directory = " + source.path() + "/",
        "entry:Destination directory = " + destination.path() + "/",
        "entry:Copy Mode = Copy",
        "entry:Creating directories #-Z ..",
        "phase:Counting:0",
        "phase:Counted:3",
        "entry:Found 3 file(s) for processing.",
        "phase:Processing:3",
        "phase:Processed:3",
        "entry:Operation complete. 3 file(s) processed.",
        "entry:Cleaning up complete.",
        "ended:" + std::to_string(static_cast<int>(RunEnd::Completed)),
    };
    EXPECT_EQ(observer.events, expected);
    EXPECT_EQ(FileProgress(), "3 of 3");
    EXPECT_EQ(BytesCaption(), "6 bytes ( MB)");
    EXPECT_EQ(observer.started.size(), 3u);
    EXPECT_EQ(observer.entries[1].icon, LogIcon::Information);
    EXPECT_EQ(observer.entries[1].time.second, 56) << "stamped by the run's clock";
    EXPECT_FALSE(observer.anyFolderOpenAtEnd) << "every folder is released before the end is reported";
    ExpectEndedCleanly();
}

// Each way out of a run, over files held in memory: the entry it ends with,
// the files handled, then the cleaning up. Stop is pressed while a file
// goes: that file completes, and the run ends before the next one.
TEST(RunWaysOut, EachEndsWithItsEntriesThenCleaningUp)
{
    const char* const kDone = "Operation complete. 3 file(s) processed.";
    const char* const kAborted = "Processing aborted by user.";
    struct Case {
        const char* name;
        int files;
        bool stopWhileCounting;
        int stopBeforeFile; // 0: never
        RunEnd end;
        const char* last; // the entry before "Cleaning up complete."
        std::size_t handled;
    };
    const Case cases[] = {
        {"no files", 0, false, 0, RunEnd::NoFiles, "No files found in the selected directory. Aborting.", 0},
        {"stop while counting", 3, true, 0, RunEnd::StoppedWhileCounting, "File count processing aborted by user.", 0},
        {"stop at the first file", 3, false, 1, RunEnd::StoppedWhileProcessing, kAborted, 1},
        {"stop at the second file", 3, false, 2, RunEnd::StoppedWhileProcessing, kAborted, 2},
        // No file is left to take up: the run completes.
        {"stop at the last file", 3, false, 3, RunEnd::Completed, kDone, 3},
        {"completed", 3, false, 0, RunEnd::Completed, kDone, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryWorld w;
        w.move = true;
        for (int i = 0; i < c.files; ++i)
            w.Files({"f" + std::to_string(i)});
        if (c.stopWhileCounting)
            w.fs.afterCounted = [&](int) { w.controls.stop.store(true); };
        w.fs.beforeFile = [&](const std::string&, int index) {
            if (index == c.stopBeforeFile)
                w.controls.stop.store(true);
        };

        EXPECT_EQ(w.Sieve(), c.end);

        EXPECT_EQ(w.LastMessages(2), (std::vector<std::string> {c.last, "Cleaning up complete."}));
        EXPECT_EQ(w.observer.started.size(), c.handled);
        EXPECT_EQ(w.fs.filesInBuckets(w.destination), c.handled);
        EXPECT_EQ(w.fs.names(w.source).size(), static_cast<std::size_t>(c.files) - c.handled);
        EXPECT_EQ(w.journals.files("run-1").size(), c.handled);
        EXPECT_EQ(c.end == RunEnd::NoFiles,
                  std::find(w.observer.events.begin(), w.observer.events.end(), "phase:NoFiles:0") !=
                      w.observer.events.end());
        w.ExpectEndedCleanly();
    }
}

TEST_F(RunFixture, SwitchingToMoveMidRunMovesTheFollowingFiles)
{
    for (const char* name : {"a1", "a2", "a3", "a4"})
        source.write(name, name);
    fs.afterFile = [&](int handled) {
        if (handled == 2)
            controls.mode.store(TransferMode::Move);
    };

    Sieve();

    EXPECT_EQ(MessagesStartingWith("Copy Mode"), std::vector<std::string> {"Copy Mode = Copy"});
    EXPECT_EQ(destination.names("A").size(), 4u);
    EXPECT_EQ(source.names().size(), 2u) << "the first two were copied, the last two moved";
    ExpectEndedCleanly();
}

TEST_F(RunFixture, VanishedFileIsReportedAndTheRunGoesOn)
{
    source.write("apple", "a");
    source.write("berry", "b");
    fs.beforeFile = [&](const std::string& name, int) {
        if (name == "apple")
            ::unlink((source / "apple").c_str());
    };

    Sieve();

    EXPECT_EQ(MessagesStartingWith("Error while sieving"),
              std::vector<std::string> {"Error while sieving: [2] - No such file or directory."});
    const auto error = std::find(observer.events.begin(), observer.events.end(),
                                 "entry:Error while sieving: [2] - No such file or directory.");
    ASSERT_NE(error, observer.events.end());
    EXPECT_EQ(*(error + 1), "log.show") << "the log window shows with the entry in it";
    EXPECT_EQ(ReadFile(destination / "B/berry"), "b");
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 2 file(s) processed.");
    ExpectEndedCleanly();
}

TEST_F(RunFixture, WithoutBucketsEveryFileFailsAndIsStillCounted)
{
    source.write("apple", "12345");
    source.write("berry", "678");
    createDirs = false;

    Sieve();

    EXPECT_EQ(MessagesStartingWith("Could not"),
              (std::vector<std::string> {"Could not copy/move file apple. No such file or directory.",
                                         "Could not copy/move file berry. No such file or directory."}));
    EXPECT_EQ(MessagesStartingWith("Creating"), std::vector<std::string> {});
    EXPECT_EQ(BytesCaption(), "8 bytes ( MB)");
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 2 file(s) processed.");
    ExpectEndedCleanly();
}

// A folder that cannot be read to its end is never reported as sorted.
TEST_F(RunFixture, ListingThatFailsPartWayEndsTheRunWithItsReason)
{
    for (const char* name : {"a", "b", "c", "d"})
        source.write(name, name);
    fs.failListingAfter = 2;
    fs.listingError = EIO;

    EXPECT_EQ(Sieve(), RunEnd::Failed);

    EXPECT_EQ(LastMessages(2),
              (std::vector<std::string> {"Error while sieving: [5] - Input/output error.", "Cleaning up complete."}));
    EXPECT_EQ(MessagesStartingWith("Operation complete"), std::vector<std::string> {});
    EXPECT_EQ(observer.started.size(), 2u);
    ExpectEndedCleanly();
}

// A folder counted that cannot be opened again for its files (a failing
// disk, too many open files) ends the run with its reason: none of the
// files counted passes as handled.
TEST_F(RunFixture, FolderThatCannotBeListedAgainFailsTheRun)
{
    for (const char* name : {"a", "b", "c"})
        source.write(name, name);
    move = true;
    fs.afterCounted = [&](int counted) {
        if (counted == 3)
            fs.openDirectoryError = EIO;
    };

    EXPECT_EQ(Sieve(), RunEnd::Failed);

    EXPECT_EQ(LastMessages(2),
              (std::vector<std::string> {"Error while sieving: [5] - Input/output error.", "Cleaning up complete."}));
    const auto error = std::find(observer.events.begin(), observer.events.end(),
                                 "entry:Error while sieving: [5] - Input/output error.");
    ASSERT_NE(error, observer.events.end());
    EXPECT_EQ(*(error + 1), "log.show");
    EXPECT_EQ(MessagesStartingWith("Operation complete"), std::vector<std::string> {});
    EXPECT_EQ(source.names(), (std::set<std::string> {"a", "b", "c"}));
    ExpectEndedCleanly();
}

// A source that cannot be listed by the counting pass, at once or part-way,
// is an error of the run: it ends the way a folder without files ends, with
// the reason before it and the log window wanted; nothing is touched. Only a
// folder that was read holds no files.
TEST(CountingPass, FolderThatCannotBeListedFailsTheRunTheNoFilesWay)
{
    struct Case {
        const char* name;
        int openError; // opendir
        int readAfter; // readdir fails after so many entries ("." and ".." count); -1: never
        bool gone;     // the source folder is not there
        std::string error;
    };
    const Case cases[] = {
        {"cannot be opened", EIO, -1, false, "Error while sieving: [5] - Input/output error."},
        {"fails part-way", 0, 4, false, "Error while sieving: [5] - Input/output error."},
        {"not there", 0, -1, true, "Error while sieving: [2] - No such file or directory."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunWorld w;
        w.move = true;
        for (const char* name : {"a", "b", "c", "d", "e"})
            w.source.write(name, name);
        if (c.gone)
            w.sourcePath = w.source / "gone";
        w.fs.openDirectoryError = c.openError;
        w.fs.listingError = EIO;
        w.fs.listingErrorAfter = c.readAfter;

        EXPECT_EQ(w.Sieve(), RunEnd::Failed);

        EXPECT_EQ(w.LastMessages(3),
                  (std::vector<std::string> {c.error, "No files found in the selected directory. Aborting.",
                                             "Cleaning up complete."}));
        const auto error = std::find(w.observer.events.begin(), w.observer.events.end(), "entry:" + c.error);
        ASSERT_NE(error, w.observer.events.end());
        EXPECT_EQ(*(error + 1), "log.show");
        EXPECT_EQ(std::count_if(w.observer.events.begin(), w.observer.events.end(),
                                [](const std::string& event) { return event.starts_with("phase:NoFiles:"); }),
                  1);
        EXPECT_EQ(w.observer.started.size(), 0u);
        EXPECT_EQ(w.source.names().size(), 5u) << "nothing is touched";
        w.ExpectEndedCleanly();
    }
}

TEST_F(RunFixture, FilesAddedOrGoneBetweenThePassesAreHandledAsFound)
{
    source.write("apple", "a");
    fs.afterCounted = [&](int) {
        source.write("berry", "b");
        source.write("cherry", "c");
    };

    Sieve();

    EXPECT_EQ(MessagesStartingWith("Found"), std::vector<std::string> {"Found 1 file(s) for processing."});
    EXPECT_EQ(FileProgress(), "3 of 1");
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 1 file(s) processed.");
    EXPECT_TRUE(Exists(destination / "C/cherry"));

    // And the other way: every file gone before the second pass.
    fs.afterCounted = [&](int) {
        for (const std::string& name : source.names())
            ::unlink((source / name).c_str());
    };
    observer.entries.clear();
    Sieve();
    EXPECT_EQ(FileProgress(), " of 3");
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 3 file(s) processed.");
    ExpectEndedCleanly();
}

// Stop pressed while the last file, a long one, is copied: the copy is
// abandoned and logged as not copied, and the run ends as stopped.
TEST_F(RunFixture, StopDuringALongCopyEndsTheRunWithThatFileNotCopied)
{
    source.write("big", Pattern(8 << 20, 7));
    fs.beforeCopyRange = [&] { controls.stop.store(true); };

    EXPECT_EQ(Sieve(), RunEnd::StoppedWhileProcessing);

    EXPECT_EQ(LastMessages(3),
              (std::vector<std::string> {"Could not copy/move file big. Stopped by the user.",
                                         "Processing aborted by user.", "Cleaning up complete."}));
    EXPECT_FALSE(Exists(destination / "B/big"));
    EXPECT_EQ(ReadFile(source / "big"), Pattern(8 << 20, 7));
    ExpectEndedCleanly();
}

// Links listed as files whose target is gone by their turn, as when a move
// took the target earlier in the same run: a move takes each link along as
// it is, a copy logs it as not copied. No counted file is passed over.
TEST(RunLinks, LinkWhoseTargetWentMeanwhileIsMovedOrReported)
{
    for (const bool move : {true, false}) {
        SCOPED_TRACE(move ? "move of files with links to them" : "copy of a link whose target went");
        RunWorld w;
        w.move = move;
        TempDir elsewhere;
        const int pairs = move ? 30 : 1;
        for (int i = 0; i < pairs; ++i) {
            // Listing order is the file system's: some links come after their file.
            w.source.write("file" + std::to_string(i), "f");
            MakeSymlink("file" + std::to_string(i), w.source / ("link" + std::to_string(i)));
        }
        if (!move) {
            elsewhere.write("target", "t");
            MakeSymlink(elsewhere / "target", w.source / "away");
            w.fs.afterCounted = [&](int counted) {
                if (counted == 3)
                    ::unlink((elsewhere / "target").c_str());
            };
        }

        w.Sieve();

        const std::string found = std::to_string(move ? 2 * pairs : 3);
        EXPECT_EQ(w.MessagesStartingWith("Operation"),
                  std::vector<std::string> {"Operation complete. " + found + " file(s) processed."});
        EXPECT_EQ(w.FileProgress(), found + " of " + found);
        if (move) {
            EXPECT_EQ(w.source.names(), std::set<std::string> {});
            EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {});
            for (int i = 0; i < pairs; ++i) {
                char text[32] = {};
                const std::string link = w.destination / ("L/link" + std::to_string(i));
                EXPECT_GT(::readlink(link.c_str(), text, sizeof text - 1), 0);
                EXPECT_STREQ(text, ("file" + std::to_string(i)).c_str());
            }
        } else {
            EXPECT_EQ(w.MessagesStartingWith("Could not"),
                      std::vector<std::string> {"Could not copy/move file away. The file the link leads to is gone."});
            EXPECT_TRUE(Exists(w.destination / "L/link0"));
        }
        w.ExpectEndedCleanly();
    }
}

// Moved across file systems, files whose attributes the target refuses
// (here: a file capability, without the right to set one) are placed, and
// the run says so once.
TEST_F(RunFixture, AttributesTheTargetRefusesAreReportedOnceAndTheFilesPlaced)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, as CI runs it";
    const struct {
        std::uint32_t magic = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
        std::uint32_t data[4] = {1u << CAP_NET_RAW, 0, 0, 0};
    } capability;
    for (const char* name : {"cap1", "cap2"}) {
        source.write(name, name);
        ASSERT_EQ(::setxattr((source / name).c_str(), "security.capability", &capability, sizeof capability, 0), 0);
    }
    move = true;
    fs.noReplaceError = EXDEV; // the two folders taken as two file systems
    {
        WithoutCapability noFileCapabilities(CAP_SETFCAP);
        ASSERT_TRUE(noFileCapabilities.active());
        Sieve();
    }

    EXPECT_EQ(MessagesStartingWith("Extended"),
              std::vector<std::string> {"Extended attributes could not be kept on some files (Operation not "
                                        "permitted); the files were placed."});
    EXPECT_EQ(destination.names("C"), (std::set<std::string> {"cap1", "cap2"}));
    EXPECT_EQ(source.names(), std::set<std::string> {});
    EXPECT_EQ(LastMessages(2)[0], "Operation complete. 2 file(s) processed.");
    ExpectEndedCleanly();
}

TEST_F(RunFixture, FolderFieldsWithoutSeparatorGetOne)
{
    source.write("apple", "a");
    Sieve();
    EXPECT_EQ(MessagesStartingWith("Source"), std::vector<std::string> {"Source directory = " + source.path() + "/"});
    sourcePath = source.path() + "/";
    destinationPath = destination.path() + "/";
    observer.entries.clear();
    Sieve();
    EXPECT_EQ(MessagesStartingWith("Destination"),
              std::vector<std::string> {"Destination directory = " + destination.path() + "/"});
    EXPECT_EQ(ReadFile(destination / "A/apple"), "a");
}

} // namespace
} // namespace quillbox::test

namespace quillbox::test {
namespace {

// A run asked for some names counts and takes those only, whatever else the
// source holds; a name asked for that is not there is simply not found; the
// next run, asked for everything, takes the rest.
TEST_F(RunFixture, RunRestrictedToNamesTakesOnlyThose)
{
    move = true;
    for (const char* name : {"apple", "berry", "cherry", "date"})
        source.write(name, name);
    only = {"berry", "date", "gone"};

    EXPECT_EQ(Sieve(), RunEnd::Completed);
    EXPECT_EQ(MessagesStartingWith("Found"), std::vector<std::string> {"Found 2 file(s) for processing."});
    EXPECT_EQ(source.names(), (std::set<std::string> {"apple", "cherry"}));
    EXPECT_EQ(ReadFile(destination / "B/berry"), "berry");
    EXPECT_EQ(ReadFile(destination / "D/date"), "date");

    only = {"nothing-like-it"};
    EXPECT_EQ(Sieve(), RunEnd::NoFiles);
    EXPECT_EQ(source.names().size(), 2u);

    only.clear();
    EXPECT_EQ(Sieve(), RunEnd::Completed);
    EXPECT_TRUE(source.names().empty());
    ExpectEndedCleanly();
}

// Names given in the order a listing gives them, as a watcher's scan finds
// them, with some gone since and one left out: the run takes exactly those
// named and there.
TEST_F(RunFixture, RunRestrictedToNamesInListingOrderTakesExactlyThose)
{
    move = true;
    for (int i = 0; i < 300; ++i)
        source.write("f" + std::to_string(i), "x");
    PosixFileSystem posix;
    const auto listing = posix.listFiles(source.path());
    for (const std::string* name = &listing->next(); !name->empty(); name = &listing->next())
        only.push_back(*name);
    const std::string leftOut = only[150];
    only.erase(only.begin() + 150);
    only.insert(only.begin(), "gone-before");
    only.insert(only.begin() + 100, "gone-between");
    std::swap(only[20], only[250]);

    EXPECT_EQ(Sieve(), RunEnd::Completed);
    EXPECT_EQ(source.names(), std::set<std::string> {leftOut});
    EXPECT_EQ(MessagesStartingWith("Found"), std::vector<std::string> {"Found 299 file(s) for processing."});
}

} // namespace
} // namespace quillbox::test
