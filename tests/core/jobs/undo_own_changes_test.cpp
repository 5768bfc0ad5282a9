// SPDX-License-Identifier: GPL-3.0-or-later
// What an undo's own steps change of a file is not a change someone made to
// it: an undo that failed half-way through a file, after renaming it, does
// not lock the next undo out of it; a file already home is taken back.
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <map>
#include <set>
#include <string_view>
#include <thread>

#include "core/log/undo_messages.h"
#include "tests/core/undo_world.h"

namespace quillbox::test {
namespace {

std::int64_t ChangeTime(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return 0;
    return st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec;
}

// Waits, within a bound, until the clock file systems stamp changes with
// has passed the change time of `path`, so that the next change of the
// file gives it another change time on any kernel.
void WaitPastChangeTime(const std::string& path)
{
    const std::int64_t changed = ChangeTime(path);
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        timespec now {};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (now.tv_sec * 1'000'000'000LL + now.tv_nsec > changed || std::chrono::steady_clock::now() > bound)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The first move home of each file named in `failing` fails with `error`,
// after the undo gave the file its private name; it then gets its own name
// back, which moves its change time on.
void FailFirstMoveHome(UndoWorld& w, std::map<std::string, int>& failing, int error)
{
    w.fs.beforeNoReplace = [&failing, &w, error](const char* from, const char* to) {
        const auto found = failing.find(to);
        const bool fail =
            std::string_view(from).starts_with(".quillbox-undo-") && found != failing.end() && found->second++ == 0;
        w.fs.noReplaceError = fail ? error : 0;
    };
}

TEST(UndoOwnChanges, FilesAFailedUndoRenamedAreTakenBackByTheNextOne)
{
    // One by one, and with files in flight.
    for (const int workers : {1, 3}) {
        UndoWorld w;
        w.fs.takeBackWorkers = workers;
        w.MoveFiles(6, "f");
        WaitPastChangeTime(w.destination / "F/f5");
        const std::int64_t placed = ChangeTime(w.destination / "F/f1");

        std::map<std::string, int> failing {{"f1", 0}, {"f4", 0}};
        FailFirstMoveHome(w, failing, EIO);
        EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft) << workers;
        EXPECT_EQ(w.source.names().size(), 4u) << workers;
        ASSERT_TRUE(Exists(w.destination / "F/f1"));
        EXPECT_NE(ChangeTime(w.destination / "F/f1"), placed) << "the undo's renames moved it on";
        EXPECT_EQ(TemporaryLeftovers(w.destination.path()), std::vector<std::string> {});
        const JournalSummary run = w.journals.list()[0];
        EXPECT_EQ(run.keptAs.size(), 2u);
        ASSERT_TRUE(run.left.has_value());
        EXPECT_EQ(run.left->moved, 2u);

        w.fs.beforeNoReplace = nullptr;
        w.fs.noReplaceError = 0;
        EXPECT_EQ(w.Undo(), UndoEnd::TakenBack) << workers;
        EXPECT_EQ(w.Summary(), Summary(2, 0, 0));
        EXPECT_EQ(w.source.names().size(), 6u);
        EXPECT_TRUE(w.journals.list()[0].takenBack);
    }
}

// The undo's own change is known as it left the file, and nothing more: a
// change made after it still leaves the file for good.
TEST(UndoOwnChanges, AChangeMadeAfterAFailedUndoStillLeavesTheFile)
{
    UndoWorld w;
    w.MoveFiles(3, "g");
    std::map<std::string, int> failing {{"g0", 0}, {"g1", 0}, {"g2", 0}};
    FailFirstMoveHome(w, failing, ENOSPC);
    EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
    EXPECT_TRUE(w.source.names().empty());

    WaitPastChangeTime(w.destination / "G/g0");
    ASSERT_EQ(::chmod((w.destination / "G/g0").c_str(), 0600), 0);
    const std::string other = w.destination / "G/g1.other";
    ASSERT_EQ(::link((w.destination / "G/g1").c_str(), other.c_str()), 0);
    w.fs.beforeNoReplace = nullptr;
    w.fs.noReplaceError = 0;
    w.observer.entries.clear();
    EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
    EXPECT_EQ(w.source.names(), std::set<std::string> {"g2"});
    EXPECT_EQ(w.MessagesStartingWith("Could not take back"),
              (std::vector<std::string> {
                  "Could not take back file " + w.destinationPath + "/G/g0. It has changed since the run.",
                  "Could not take back file " + w.destinationPath + "/G/g1. It has changed since the run."}));
    EXPECT_TRUE(w.journals.list()[0].takenBack) << "a change someone made is for good";
}

// An undo that ended after it took a file home and removed the bucket
// folder the run made, before it marked the run: the next one finds the
// file home and the folder gone, and counts the file as taken back.
TEST(UndoOwnChanges, AFileAlreadyHomeWithItsBucketGoneIsTakenBack)
{
    UndoWorld w;
    w.MoveFiles(2, "h");
    w.source.write("kiwi", "kiwi");
    w.SieveWithJournal(); // a later run: the one before it is named
    const std::string id = w.journals.list()[1].id;
    ASSERT_EQ(::rename((w.destination / "H/h0").c_str(), (w.source / "h0").c_str()), 0);
    ASSERT_EQ(::rename((w.destination / "H/h1").c_str(), (w.source / "h1").c_str()), 0);
    ASSERT_EQ(::rmdir((w.destination / "H").c_str()), 0);

    EXPECT_EQ(w.Undo(id), UndoEnd::TakenBack);
    EXPECT_EQ(w.MessagesStartingWith("Could not take back"), std::vector<std::string> {});
    EXPECT_TRUE(w.journals.list()[1].takenBack);
    EXPECT_TRUE(Exists(w.destination / "K/kiwi")) << "the later run is not touched";
}

// An undo killed while it moved a link back to another file system, after
// the link's copy got its name in the source and before it got the link's
// times: the next undo knows that copy as its own, gives it the times and
// finishes. A link of the same target that was there before the undo began
// is not its copy.
TEST(UndoOwnChanges, ASecondUndoFinishesALinkCopyCutShortBeforeItsTimes)
{
    for (const bool madeByTheUndo : {true, false}) {
        UndoWorld w;
        TempDir shm("/dev/shm");
        w.destinationPath = shm.path();
        TempDir elsewhere;
        elsewhere.write("file", "the file the link leads to");
        const std::string target = elsewhere / "file";
        ASSERT_EQ(::symlink(target.c_str(), (w.source / "link").c_str()), 0);
        WaitPastChangeTime(w.source / "link"); // a link made later has another time
        w.move = true;
        w.SieveWithJournal();
        const std::string placed = shm / "L/link";
        struct stat st {};
        ASSERT_EQ(::lstat(placed.c_str(), &st), 0);
        char hidden[64];
        std::snprintf(hidden, sizeof hidden, "L/.quillbox-undo-%llx", static_cast<unsigned long long>(st.st_ino));
        if (!madeByTheUndo) {
            ASSERT_EQ(::symlink(target.c_str(), (w.source / "link").c_str()), 0);
            WaitPastChangeTime(w.source / "link");
        }
        WaitPastChangeTime(placed);
        ASSERT_EQ(::rename(placed.c_str(), (shm / hidden).c_str()), 0);
        if (madeByTheUndo) {
            WaitPastChangeTime(shm / hidden);
            ASSERT_EQ(::symlink(target.c_str(), (w.source / "link").c_str()), 0);
        }

        struct stat home {};
        if (madeByTheUndo) {
            EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
            EXPECT_FALSE(Exists(shm / hidden));
            ASSERT_EQ(::lstat((w.source / "link").c_str(), &home), 0);
            EXPECT_EQ(home.st_mtim.tv_sec, st.st_mtim.tv_sec);
            EXPECT_EQ(home.st_mtim.tv_nsec, st.st_mtim.tv_nsec) << "the link's time is kept";
        } else {
            EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
            EXPECT_TRUE(Exists(placed)) << "it has its name again";
            EXPECT_FALSE(Exists(shm / hidden));
        }
    }
}

// The record of a file an undo left after its own renames reads back, in a
// journal of this version or an older one, and one naming no file's record
// is damaged.
TEST(UndoOwnChanges, WhatAnUndoLeftAfterItsRenamesReadsBack)
{
    struct Bytes final : JournalBytes {
        std::string bytes;
        std::size_t at = 0;
        FsResult<std::size_t> read(char* into, std::size_t size) override
        {
            const std::size_t count = bytes.copy(into, size, at);
            at += count;
            return count;
        }
    };
    struct Seen final : JournalVisitor {
        std::vector<std::string> events;
        void keptAs(const JournalKeptAs& kept) override
        {
            events.push_back("kept:" + std::to_string(kept.number) + ":" + std::to_string(kept.now.inode) + ":" +
                             std::to_string(kept.now.ctimeNs));
        }
        void damaged(const JournalDamage& damage) override { events.push_back("damaged:" + damage.why); }
    };
    const JournalHeader header {1700000000, 7, TransferMode::Move, {"/in/", {1, 2, 0}}, {"/out/", {1, 3, 5}}};
    for (const bool older : {false, true}) {
        Bytes in;
        in.bytes = JournalStart(header);
        if (older)
            in.bytes.replace(0, 19, "quillbox journal 4\n");
        AppendJournalFile(in.bytes, 1, {TransferMode::Move, 'A', "apple", false, {1, 50, 5, 7, 9, 0}});
        AppendJournalKeptAs(in.bytes, {1, {1, 50, 5, 7, 12, 0}});
        AppendJournalKeptAs(in.bytes, {0, {1, 50, 5, 7, 13, 0}});
        AppendJournalKeptAs(in.bytes, {1, {1, 50, 5, 7, 14, 0}});
        Seen seen;
        ASSERT_TRUE(ReadJournal(in, seen).ok()) << older;
        EXPECT_EQ(seen.events,
                  (std::vector<std::string> {"kept:1:50:12", "damaged:It names no file an undo left", "kept:1:50:14"}))
            << older;
    }
}

} // namespace
} // namespace quillbox::test
