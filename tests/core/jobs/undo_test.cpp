// SPDX-License-Identifier: GPL-3.0-or-later
// Taking a run back from its journal, over real folders: only the files the
// run left, only in the folders it used, each run once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <optional>
#include <thread>

#include "core/bucket.h"
#include "core/jobs/undo_job.h"
#include "core/log/undo_messages.h"
#include "platform/journal_files.h"
#include "tests/core/undo_world.h"
#include "tests/support/child_process.h"

namespace quillbox::test {
namespace {

void SetTimes(const std::string& path, const struct stat& like)
{
    const timespec times[2] = {like.st_atim, like.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

TEST(Undo, AMoveGoesBackAndTheBucketsItMadeGoToo)
{
    UndoWorld w;
    for (const char* name : {"apple", "berry", "new\nline"})
        w.source.write(name, name);
    w.destination.mkdir("A"); // there before the run: stays
    w.move = true;
    w.SieveWithJournal();
    ASSERT_TRUE(w.source.names().empty());

    const std::vector<JournalSummary> runs = w.journals.list();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].files, 3u);
    EXPECT_FALSE(runs[0].takenBack);

    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_EQ(w.source.names(), (std::set<std::string> {"apple", "berry", "new\nline"}));
    EXPECT_EQ(ReadFile(w.source / "new\nline"), "new\nline");
    EXPECT_EQ(w.destination.names(), std::set<std::string> {"A"});
    EXPECT_EQ(w.Summary(), Summary(3, 0, 0));
    EXPECT_TRUE(w.journals.list()[0].takenBack);
    w.ExpectEndedCleanly();
}

// Every way a placed copy can change after the run, the size and the
// modification time put back where an editor or a sync tool would: only
// the untouched one goes.
TEST(Undo, OnlyACopyStillAsTheRunLeftItIsRemoved)
{
    struct Change {
        const char* name;
        std::function<void(const std::string& path)> make;
    };
    const std::vector<Change> changes = {
        {"untouched", [](const std::string&) {}},
        {"rewritten",
         [](const std::string& p) {
             struct stat before {};
             ::stat(p.c_str(), &before);
             const int fd = ::open(p.c_str(), O_WRONLY);
             ASSERT_EQ(::pwrite(fd, "EDITED", 6, 0), 6);
             ::close(fd);
             SetTimes(p, before);
         }},
        {"chmodded", [](const std::string& p) { ::chmod(p.c_str(), 0600); }},
        {"hardlinked", [](const std::string& p) { ::link(p.c_str(), (p + ".second").c_str()); }},
        {"replaced",
         [](const std::string& p) {
             struct stat before {};
             ::stat(p.c_str(), &before);
             const std::string other = p + ".new";
             const int fd = ::open(other.c_str(), O_WRONLY | O_CREAT, 0644);
             ASSERT_EQ(::write(fd, "data of replaced", 16), 16);
             ::close(fd);
             SetTimes(other, before);
             ::rename(other.c_str(), p.c_str());
         }},
        {"renamed away and back",
         [](const std::string& p) {
             ::rename(p.c_str(), (p + ".x").c_str());
             ::rename((p + ".x").c_str(), p.c_str());
         }},
    };
    UndoWorld w;
    for (const Change& change : changes)
        w.source.write(change.name, std::string("data of ") + change.name);
    w.SieveWithJournal();
    for (const Change& change : changes)
        change.make(w.destination / (std::string(1, BucketLetter(change.name)) + "/" + change.name));

    EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
    for (const Change& change : changes) {
        const std::string placed = w.destination / (std::string(1, BucketLetter(change.name)) + "/" + change.name);
        EXPECT_EQ(Exists(placed), change.name != std::string("untouched")) << change.name;
    }
    EXPECT_EQ(w.MessagesStartingWith("Could not take back").size(), changes.size() - 1);
    EXPECT_EQ(w.Summary(), Summary(0, 1, static_cast<int>(changes.size()) - 1));
    EXPECT_EQ(w.source.names().size(), changes.size()) << "a copy's undo leaves the sources alone";
}

TEST(Undo, ACopyThatReplacedAFileAndAMoveWhoseOldPlaceIsTakenStay)
{
    UndoWorld w;
    w.destination.mkdir("C");
    w.destination.write("C/cherry", "older cherry");
    w.source.write("cherry", "data of cherry");
    w.SieveWithJournal();
    w.Undo();
    EXPECT_EQ(ReadFile(w.destination / "C/cherry"), "data of cherry") << "the older file cannot come back";
    EXPECT_TRUE(w.journals.list()[0].takenBack) << "nothing is left that another undo could take back";
    EXPECT_EQ(w.MessagesStartingWith("Left in place"),
              std::vector<std::string> {"Left in place: " + w.destination.path() +
                                        "/C/cherry replaced a file of the same name, which cannot be brought back."});

    UndoWorld m;
    m.source.write("apple", "moved");
    m.move = true;
    m.SieveWithJournal();
    m.source.write("apple", "a new apple");
    EXPECT_EQ(m.Undo(), UndoEnd::SomeLeft);
    EXPECT_EQ(ReadFile(m.source / "apple"), "a new apple");
    EXPECT_EQ(ReadFile(m.destination / "A/apple"), "moved");
    EXPECT_EQ(m.MessagesStartingWith("Could not take back"),
              std::vector<std::string> {"Could not take back file " + m.destination.path() +
                                        "/A/apple. Its old place " + m.source.path() + "/apple is taken again."});
    EXPECT_EQ(TemporaryLeftovers(m.destination / "A"), std::vector<std::string> {});
    EXPECT_TRUE(m.journals.list()[0].takenBack);
}

// Files left for a reason that may pass keep the run open, over as many
// undos as it takes, a stopped one among them: each takes back just what
// is left. A file left because it changed does not keep the run open.
TEST(Undo, FilesLeftForAReasonThatMayPassAreTakenBackByTheNextUndos)
{
    UndoWorld w;
    w.MoveFiles(10, "f");
    ::chmod((w.destination / "F/f0").c_str(), 0600);
    // A full disk on the first rename of f1, f3, f5, f7 and f9.
    w.fs.beforeNoReplace = [&](const char* from, const char* to) {
        w.fs.noReplaceError = std::string_view(to).starts_with(".quillbox-undo-") &&
                std::string_view(from).size() == 2 && from[1] % 2 == 1
            ? ENOSPC
            : 0;
    };
    EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
    const std::size_t back = w.source.names().size();
    EXPECT_EQ(w.LastMessages(2)[0],
              "5 file(s) were left for a reason that may pass: the run is partly taken back, and another undo of "
              "it takes them back.");
    JournalSummary run = w.journals.list()[0];
    EXPECT_FALSE(run.takenBack);
    ASSERT_TRUE(run.left.has_value());
    EXPECT_EQ(run.left->moved, 5u);
    EXPECT_EQ(w.journals.newestToTakeBack()->id, run.id) << "the next undo takes it again";

    w.fs.beforeNoReplace = nullptr;
    w.fs.noReplaceError = 0;
    const std::size_t toldBefore = w.MessagesStartingWith("Could not take back").size();
    int calls = 0;
    w.fs.beforeTakeBack = [&](int) {
        if (++calls == 2)
            w.controls.stop.store(true);
    };
    EXPECT_EQ(w.Undo(), UndoEnd::Stopped);
    EXPECT_EQ(w.source.names().size(), back + 2);
    run = w.journals.list()[0];
    ASSERT_TRUE(run.left.has_value());
    EXPECT_EQ(TakeBackPlanMessage(run), "It will put back 3 moved file(s).");

    w.fs.beforeTakeBack = nullptr;
    w.controls.stop.store(false);
    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_EQ(w.Summary(), Summary(3, 0, 0));
    EXPECT_EQ(w.observer.processed.filesProcessed, 3);
    EXPECT_EQ(w.source.names().size(), back + 5);
    EXPECT_EQ(w.MessagesStartingWith("Could not take back").size(), toldBefore) << "f0 is not looked at again";
    EXPECT_TRUE(w.journals.list()[0].takenBack);
    EXPECT_EQ(w.Undo(run.id), UndoEnd::NothingToTakeBack);
}

// A copy run switched to Move part way: what undo will do is counted by
// kind, from the journal, and then from what an undo left.
TEST(Undo, WhatItWillDoIsCountedByKind)
{
    UndoWorld w;
    for (int i = 0; i < 5; ++i)
        w.source.write("f" + std::to_string(i), "x");
    w.fs.beforeFile = [&](const std::string&, int index) {
        if (index == 3)
            w.controls.mode.store(TransferMode::Move);
    };
    w.SieveWithJournal();
    w.fs.beforeFile = nullptr;
    JournalSummary run = *w.journals.newestToTakeBack();
    EXPECT_EQ(run.header.mode, TransferMode::Copy);
    EXPECT_EQ(TakeBackPlanMessage(run), "It will put back 2 moved file(s) and remove 3 copied file(s).");
    EXPECT_EQ(PlacedFilesText(run), "5 file(s) placed (2 moved, 3 copied)");

    // A run of one kind keeps its words, counted from the journal too.
    UndoWorld c;
    c.source.write("apple", "a");
    c.SieveWithJournal();
    EXPECT_EQ(TakeBackPlanMessage(*c.journals.newestToTakeBack()), "It will remove 1 copied file(s).");
    EXPECT_EQ(PlacedFilesText(*c.journals.newestToTakeBack()), "1 file(s) placed");
    UndoWorld m;
    m.MoveFiles(2, "f");
    EXPECT_EQ(TakeBackPlanMessage(*m.journals.newestToTakeBack()), "It will put back 2 moved file(s).");
}

// A run holds its journal while it goes on: an undo of it changes nothing
// and says why; once the run has ended, it is taken back.
TEST(Undo, ARunStillGoingIsNotTakenBack)
{
    UndoWorld w;
    for (int i = 0; i < 5; ++i)
        w.source.write("f" + std::to_string(i), "x");
    w.move = true;
    RecordingObserver during;
    std::optional<UndoEnd> end;
    std::string id;
    w.fs.beforeFile = [&](const std::string&, int index) {
        if (index != 3)
            return;
        id = w.journals.list().front().id;
        UndoJob undo(w.fs, w.journals, w.clock, during);
        end = undo.run(id, w.controls);
    };
    w.SieveWithJournal();
    EXPECT_EQ(end, UndoEnd::InProgress);
    std::vector<std::string> told;
    for (const LogEntry& entry : during.entries)
        if (entry.message.starts_with("The run of"))
            told.push_back(entry.message);
    EXPECT_EQ(told,
              std::vector<std::string> {
                  "The run of " + RunDescription(w.journals.list()[0].header) +
                  " is still going, or another undo is taking it back. Nothing is changed; take it back once that "
                  "has ended."});
    EXPECT_TRUE(w.source.names().empty());
    EXPECT_FALSE(w.journals.list()[0].takenBack);
    EXPECT_FALSE(w.journals.list()[0].left.has_value());

    w.fs.beforeFile = nullptr;
    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_EQ(w.source.names().size(), 5u);
}

// Undo is a stack: each takes back the newest run not yet taken back; a
// run taken back is never acted on again, even where a later run's copies
// took the same inode numbers.
TEST(Undo, EachUndoTakesBackTheRunBeforeAndNoRunTwice)
{
    UndoWorld w;
    w.source.write("apple", "first");
    w.SieveWithJournal();
    const std::string first = w.journals.list().front().id;
    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_FALSE(Exists(w.destination / "A/apple"));

    // A later run makes the same copy again; taking back the first run
    // once more must leave it.
    w.SieveWithJournal();
    EXPECT_EQ(w.Undo(first), UndoEnd::NothingToTakeBack);
    EXPECT_TRUE(Exists(w.destination / "A/apple"));
    EXPECT_EQ(w.MessagesStartingWith("The run of").size(), 1u);

    // A run that placed nothing is not offered: undo goes past it.
    TempDir noBuckets;
    const std::string destination = w.destinationPath;
    w.destinationPath = noBuckets.path();
    w.createDirs = false;
    w.SieveWithJournal();
    w.destinationPath = destination;
    ASSERT_EQ(w.journals.list().front().files, 0u);
    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack) << "the copy run before it";
    EXPECT_FALSE(Exists(w.destination / "A/apple"));
    EXPECT_TRUE(Exists(w.source / "apple"));
    EXPECT_EQ(w.Undo(), UndoEnd::NothingToTakeBack);
    EXPECT_EQ(w.LastMessages(2)[0], "No run to take back.");
}

// Between undo's look at a file and its act, another program puts a
// different file under the name: that file is neither removed nor moved.
TEST(Undo, AFileSwappedInBetweenTheCheckAndTheActIsLeftAlone)
{
    for (const bool move : {false, true}) {
        UndoWorld w;
        w.source.write("apple", "the run's apple");
        w.move = move;
        w.SieveWithJournal();
        const std::string placed = w.destination / "A/apple";
        w.fs.beforeNoReplace = [&](const char* from, const char* to) {
            if (std::string_view(to).starts_with(".quillbox-undo-") && std::string_view(from) == "apple") {
                ::unlink(placed.c_str());
                const int fd = ::open(placed.c_str(), O_WRONLY | O_CREAT, 0644);
                ASSERT_EQ(::write(fd, "a stranger", 10), 10);
                ::close(fd);
            }
        };
        EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft) << move;
        EXPECT_EQ(ReadFile(placed), "a stranger") << move;
        EXPECT_EQ(w.source.names().size(), move ? 0u : 1u);
        EXPECT_EQ(w.MessagesStartingWith("Could not take back"),
                  std::vector<std::string> {"Could not take back file " + placed +
                                            ". It was replaced while being taken back."});
        EXPECT_EQ(TemporaryLeftovers(w.destination / "A"), std::vector<std::string> {});
    }
}

// The folders are checked, not trusted by name.
TEST(Undo, FoldersThatAreNoLongerTheRunsAreLeftAlone)
{
    {
        // The source replaced by a link to another folder.
        UndoWorld w;
        TempDir other;
        w.source.write("apple", "a");
        w.move = true;
        w.SieveWithJournal();
        const std::string moved = w.source.path() + ".moved";
        ASSERT_EQ(::rename(w.source.path().c_str(), moved.c_str()), 0);
        ASSERT_EQ(::symlink(other.path().c_str(), w.source.path().c_str()), 0);
        EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
        EXPECT_TRUE(other.names().empty());
        EXPECT_TRUE(Exists(w.destination / "A/apple"));
        EXPECT_EQ(w.MessagesStartingWith("Moved files stay").size(), 1u);
        EXPECT_TRUE(w.journals.list()[0].takenBack) << "another folder in its place is no passing reason";
        ::unlink(w.source.path().c_str());
        ::rename(moved.c_str(), w.source.path().c_str());
    }
    {
        // The source away for a while (a disk unplugged, say): its files
        // wait for the next undo.
        UndoWorld w;
        w.MoveFiles(2, "f");
        const std::string away = w.source.path() + ".away";
        ASSERT_EQ(::rename(w.source.path().c_str(), away.c_str()), 0);
        EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
        EXPECT_FALSE(w.journals.list()[0].takenBack);
        ASSERT_EQ(::rename(away.c_str(), w.source.path().c_str()), 0);
        EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
        EXPECT_EQ(w.source.names().size(), 2u);
    }
    {
        // A bucket the run made, deleted and made again by the user; and
        // the destination replaced by a link to a folder with buckets.
        UndoWorld w;
        w.source.write("apple", "a");
        w.SieveWithJournal();
        RemoveTree(w.destination / "B");
        w.destination.mkdir("B");
        EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
        EXPECT_TRUE(Exists(w.destination / "B"));
        EXPECT_FALSE(Exists(w.destination / "A"));
        EXPECT_EQ(w.MessagesStartingWith("Left folder").size(), 1u);

        UndoWorld v;
        TempDir other;
        other.mkdir("A");
        other.write("A/apple", "another apple");
        v.source.write("apple", "a");
        v.SieveWithJournal();
        const std::string moved = v.destination.path() + ".moved";
        ASSERT_EQ(::rename(v.destination.path().c_str(), moved.c_str()), 0);
        ASSERT_EQ(::symlink(other.path().c_str(), v.destination.path().c_str()), 0);
        EXPECT_EQ(v.Undo(), UndoEnd::SomeLeft);
        EXPECT_EQ(ReadFile(other / "A/apple"), "another apple");
        EXPECT_EQ(v.MessagesStartingWith("Nothing is taken back").size(), 1u);
        ::unlink(v.destination.path().c_str());
        ::rename(moved.c_str(), v.destination.path().c_str());
    }
}

TEST(Undo, ADamagedJournalIsNamedAndTheRestTakenBack)
{
    UndoWorld w;
    w.MoveFiles(10, "file");
    const std::string path = w.state / ("runs/" + w.journals.list().front().id + ".journal");
    std::string bytes = ReadFile(path);
    // A byte in the identity of the third file's record.
    std::size_t at = bytes.find('\n') + 1;
    for (int files = 0;;) {
        const std::size_t length = static_cast<unsigned char>(bytes[at + 1]) |
            static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 2])) << 8;
        if (bytes[at] == 2 && ++files == 3)
            break;
        at += 9 + length;
    }
    bytes[at + 30] ^= 0x01;
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
    EXPECT_EQ(w.source.names().size(), 9u);
    const std::vector<std::string> damaged = w.MessagesStartingWith("Record ");
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_NE(damaged[0].find("is damaged: file file"), std::string::npos) << damaged[0];
    EXPECT_EQ(w.LastMessages(2)[0],
              "The journal is damaged: 1 file(s) of the run could not be read from it and were not taken back.");
}

// A take-back across file systems killed after its copy was complete and
// before the run's file went: the next one recognises its own copy.
TEST(Undo, ASecondUndoFinishesAMoveBackKilledHalfWay)
{
    UndoWorld w;
    TempDir shm("/dev/shm");
    w.destinationPath = shm.path();
    w.source.write("apple", "the apple's bytes");
    w.move = true;
    w.SieveWithJournal();
    const std::string placed = shm / "A/apple";
    ASSERT_TRUE(Exists(placed));
    // Where the kill came: the complete copy back, times kept, and the
    // run's file still under its private name.
    struct stat st {};
    ASSERT_EQ(::stat(placed.c_str(), &st), 0);
    w.source.write("apple", "the apple's bytes");
    SetTimes(w.source / "apple", st);
    char hidden[64];
    std::snprintf(hidden, sizeof hidden, "A/.quillbox-undo-%llx", static_cast<unsigned long long>(st.st_ino));
    ASSERT_EQ(::rename(placed.c_str(), (shm / hidden).c_str()), 0);

    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_EQ(ReadFile(w.source / "apple"), "the apple's bytes");
    EXPECT_FALSE(Exists(shm / hidden));
    EXPECT_EQ(w.Summary(), Summary(1, 0, 0));
}

// Names of one file (hard links) moved by one run: each rename moved the
// change time of every name on, which is the run's own doing and not a
// change of the file; a change by someone else still leaves the file.
TEST(Undo, HardLinkedNamesMovedByARunGoBack)
{
    struct Inodes {
        static ino_t Of(const std::string& path)
        {
            struct stat st {};
            return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
        }
    };
    // One by one, and with files in flight both in the run and the undo.
    for (const int inFlight : {1, 2}) {
        UndoWorld w;
        constexpr int kPairs = 24;
        for (int i = 0; i < kPairs; ++i) {
            w.source.write("a" + std::to_string(i), "data " + std::to_string(i));
            ASSERT_EQ(
                ::link((w.source / ("a" + std::to_string(i))).c_str(), (w.source / ("b" + std::to_string(i))).c_str()),
                0);
            w.source.write("c" + std::to_string(i), "single");
        }
        w.fs.inFlight = inFlight;
        w.fs.claim = inFlight == 1 ? 1 : 4;
        w.fs.takeBackWorkers = inFlight == 1 ? 1 : 3;
        w.move = true;
        w.SieveWithJournal();
        ASSERT_TRUE(w.source.names().empty());

        EXPECT_EQ(w.Undo(), UndoEnd::TakenBack) << inFlight;
        EXPECT_EQ(w.MessagesStartingWith("Could not take back"), std::vector<std::string> {});
        EXPECT_EQ(w.Summary(), Summary(3 * kPairs, 0, 0));
        for (int i = 0; i < kPairs; ++i) {
            const ino_t inode = Inodes::Of(w.source / ("a" + std::to_string(i)));
            EXPECT_NE(inode, 0u);
            EXPECT_EQ(Inodes::Of(w.source / ("b" + std::to_string(i))), inode) << i;
        }
        EXPECT_TRUE(w.journals.list()[0].takenBack);
        w.ExpectEndedCleanly();
    }

    // Changed by someone else after the run: a chmod, another name, new
    // bytes with the old length and time. Both names stay.
    const std::vector<std::function<void(const std::string&)>> changes = {
        [](const std::string& p) { ::chmod(p.c_str(), 0600); },
        [](const std::string& p) { ::link(p.c_str(), (p + ".third").c_str()); },
        [](const std::string& p) {
            struct stat before {};
            ::stat(p.c_str(), &before);
            const int fd = ::open(p.c_str(), O_WRONLY);
            ASSERT_EQ(::pwrite(fd, "X", 1, 0), 1);
            ::close(fd);
            SetTimes(p, before);
        },
    };
    for (std::size_t c = 0; c < changes.size(); ++c) {
        UndoWorld w;
        w.source.write("apple", "the apple");
        ASSERT_EQ(::link((w.source / "apple").c_str(), (w.source / "avocado").c_str()), 0);
        w.move = true;
        w.SieveWithJournal();
        changes[c](w.destination / "A/apple");
        EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft) << c;
        EXPECT_TRUE(w.source.names().empty()) << c;
        EXPECT_EQ(w.MessagesStartingWith("Could not take back"),
                  (std::vector<std::string> {
                      "Could not take back file " + w.destinationPath + "/A/apple. It has changed since the run.",
                      "Could not take back file " + w.destinationPath + "/A/avocado. It has changed since the run."}))
            << c;
        EXPECT_TRUE(w.journals.list()[0].takenBack) << "a user's change is for good";
        EXPECT_EQ(TemporaryLeftovers(w.destination / "A"), std::vector<std::string> {});
    }
}

// The same for a link: its copy back is a new link with the same target
// and time. A link of another target in its old place is not its copy.
TEST(Undo, ASecondUndoFinishesALinksMoveBackKilledHalfWay)
{
    for (const bool sameTarget : {true, false}) {
        UndoWorld w;
        TempDir shm("/dev/shm");
        TempDir elsewhere;
        elsewhere.write("file", "the file the link leads to");
        w.destinationPath = shm.path();
        const std::string target = elsewhere / "file";
        ASSERT_EQ(::symlink(target.c_str(), (w.source / "link").c_str()), 0);
        w.move = true;
        w.SieveWithJournal();
        const std::string placed = shm / "L/link";
        struct stat st {};
        ASSERT_EQ(::lstat(placed.c_str(), &st), 0);
        ASSERT_TRUE(S_ISLNK(st.st_mode));
        // Where the kill came: the link made again in the source, its time
        // kept, and the run's link still under its private name.
        const std::string again = sameTarget ? target : target + ".other";
        ASSERT_EQ(::symlink(again.c_str(), (w.source / "link").c_str()), 0);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, (w.source / "link").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        char hidden[64];
        std::snprintf(hidden, sizeof hidden, "L/.quillbox-undo-%llx", static_cast<unsigned long long>(st.st_ino));
        ASSERT_EQ(::rename(placed.c_str(), (shm / hidden).c_str()), 0);

        if (sameTarget) {
            EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
            EXPECT_FALSE(Exists(shm / hidden));
            EXPECT_FALSE(Exists(shm / "L"));
            EXPECT_EQ(w.Summary(), Summary(1, 0, 0));
        } else {
            EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
            EXPECT_EQ(w.MessagesStartingWith("Could not take back").size(), 1u);
            EXPECT_TRUE(Exists(placed)) << "it has its name again";
            EXPECT_FALSE(Exists(shm / hidden));
        }
        char read[PATH_MAX] = {};
        ASSERT_GT(::readlink((w.source / "link").c_str(), read, sizeof read - 1), 0);
        EXPECT_EQ(std::string(read), again);
    }
}

TEST(Undo, StoppedPartWayASecondUndoFinishesIt)
{
    UndoWorld w;
    w.MoveFiles(6, "f");
    w.fs.beforeTakeBack = [&](int index) {
        if (index == 3)
            w.controls.stop.store(true);
    };
    EXPECT_EQ(w.Undo(), UndoEnd::Stopped);
    EXPECT_EQ(w.source.names().size(), 3u);
    EXPECT_FALSE(w.journals.list()[0].takenBack);
    ASSERT_TRUE(w.journals.list()[0].left.has_value());
    EXPECT_EQ(w.journals.list()[0].left->moved, 3u);

    w.fs.beforeTakeBack = nullptr;
    w.controls.stop.store(false);
    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_EQ(w.source.names().size(), 6u);
    EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {});
    EXPECT_EQ(w.Summary(), Summary(3, 0, 0));
}

// A run that made its folders and then failed before it placed any file:
// its folders are still something to take back, listed as such.
TEST(Undo, ARunThatPlacedNothingStillHasItsFoldersTakenBack)
{
    UndoWorld w;
    w.source.write("apple", "a");
    w.destination.mkdir("Z"); // there before the run: stays
    w.fs.failListingAfter = 0;
    w.move = true;
    EXPECT_EQ(w.SieveWithJournal(), RunEnd::Failed);
    EXPECT_EQ(w.destination.names().size(), 27u);

    const std::optional<JournalSummary> run = w.journals.newestToTakeBack();
    ASSERT_TRUE(run.has_value()) << "a run that made folders is one to take back";
    EXPECT_EQ(run->files, 0u);
    EXPECT_EQ(run->folders, 26u);
    EXPECT_EQ(PlacedFilesText(*run), "0 file(s) placed, 26 folder(s) made");

    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_EQ(w.destination.names(), std::set<std::string> {"Z"});
    EXPECT_EQ(w.source.names(), std::set<std::string> {"apple"});
    EXPECT_TRUE(w.journals.list()[0].takenBack);
    EXPECT_FALSE(w.journals.newestToTakeBack().has_value());
}

// A made folder that cannot be removed for a reason that may pass is named,
// fails the undo, and is left for the next one; the run is not marked taken
// back until it is gone. One that holds a file of someone else's stays, as
// before, without a word.
TEST(Undo, AMadeFolderThatCouldNotBeRemovedIsLeftForTheNextUndo)
{
    UndoWorld w;
    w.MoveFiles(2, "b");
    w.fs.removeFolderFault = [](char letter) { return letter == 'B' || letter == 'Q' ? EIO : 0; };
    EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
    EXPECT_EQ(w.source.names(), (std::set<std::string> {"b0", "b1"}));
    EXPECT_EQ(w.destination.names(), (std::set<std::string> {"B", "Q"}));
    EXPECT_EQ(w.MessagesStartingWith("Left folder").size(), 2u);
    EXPECT_EQ(w.LastMessages(2)[0],
              "2 folder(s) the run made were left for a reason that may pass: the run is partly taken back, and "
              "another undo of it removes them.");
    JournalSummary run = w.journals.list()[0];
    EXPECT_FALSE(run.takenBack);
    ASSERT_TRUE(run.left.has_value());
    EXPECT_EQ(run.left->files(), 0u);
    EXPECT_EQ(run.left->folders, 2u);
    EXPECT_EQ(LeftText(*run.left), "2 folder(s) left");

    w.fs.removeFolderFault = nullptr;
    w.destination.write("Q/mine", "kept"); // someone else's file came
    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_EQ(w.Summary(), Summary(0, 0, 0));
    EXPECT_EQ(w.destination.names(), (std::set<std::string> {"Q"}));
    EXPECT_TRUE(w.journals.list()[0].takenBack);
}

// The identity a file has now, as a run notes it.
FileIdentity IdentityOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return {static_cast<std::uint64_t>(st.st_dev),
            static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            st.st_mtim.tv_sec * 1'000'000'000 + st.st_mtim.tv_nsec,
            st.st_ctim.tv_sec * 1'000'000'000 + st.st_ctim.tv_nsec,
            0};
}

// A run killed with files placed whose records were still in memory: only
// the intents written before each placement are in its journal. Each file
// that is still the very one the run placed goes back; a move killed
// before its rename is nothing to undo; a file changed since is named and
// stays.
TEST(Undo, FilesAKilledRunPlacedBeforeTheirRecordsAreTakenBackFromTheirIntents)
{
    UndoWorld w;
    for (const char* name : {"apple", "berry", "cherry", "date"})
        w.source.write(name, name);
    w.destination.mkdir("A");
    w.destination.mkdir("B");
    w.destination.mkdir("C");
    w.destination.mkdir("D");
    JournalHeader header {1700000000, 0, TransferMode::Move, {}, {}};
    header.source = w.fs.resolveFolder(w.sourcePath).value();
    header.destination = w.fs.resolveFolder(w.destinationPath).value();
    {
        FsResult<std::unique_ptr<JournalWriter>> writer = w.journals.startRun(header);
        ASSERT_TRUE(writer.ok());
        PlacementNotice* notice = writer.value()->notice();
        ASSERT_NE(notice, nullptr);
        const auto place = [&](const char* name, char bucket, bool rename) {
            const std::string from = w.source / name;
            notice->aboutToPlace(TransferMode::Move, bucket, name, false, IdentityOf(from));
            if (rename) {
                ASSERT_EQ(::rename(from.c_str(), (w.destination / (std::string(1, bucket) + "/" + name)).c_str()), 0);
            }
        };
        place("apple", 'A', true);
        place("berry", 'B', false); // killed before its rename
        place("cherry", 'C', true);
        place("date", 'D', true);
        // No record of a placed file follows: as after a kill, the journal
        // holds the intents alone.
        writer.value().reset();
    }
    w.destination.write("C/cherry", "edited since"); // not the run's file any more
    const std::optional<JournalSummary> run = w.journals.newestToTakeBack();
    ASSERT_TRUE(run.has_value());
    EXPECT_EQ(run->intended, 4u);

    EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
    EXPECT_EQ(w.source.names(), (std::set<std::string> {"apple", "berry", "date"}));
    EXPECT_EQ(ReadFile(w.source / "date"), "date");
    EXPECT_EQ(w.MessagesStartingWith("Could not take back"),
              std::vector<std::string> {"Could not take back file " + (w.destination / "C/cherry") +
                                        ". It is not the file the run was placing there when it was killed."});
    EXPECT_EQ(w.Summary(), Summary(2, 0, 1));
    EXPECT_TRUE(w.journals.list()[0].takenBack) << "what is left stays for good";
}

// The names a run's journal holds, in its order.
std::vector<std::string> JournalOrder(JournalFolder& journals)
{
    struct Names final : JournalVisitor {
        std::vector<std::string> names;
        bool file(const JournalFile& file) override
        {
            names.push_back(file.name);
            return true;
        }
    } visitor;
    EXPECT_TRUE(journals.read(journals.list().front().id, visitor).ok());
    return visitor.names;
}

// Waits, bounded, until `done` holds; whether it did.
template <class Condition>
bool WaitBounded(Condition done)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// With several files taken back at once and the first ones finishing last,
// what undo reports follows the journal's order.
TEST(Undo, FilesInFlightAreReportedInTheJournalsOrder)
{
    UndoWorld w;
    w.MoveFiles(200, "f");
    const std::vector<std::string> order = JournalOrder(w.journals);
    ASSERT_EQ(order.size(), 200u);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < order.size(); i += 7) {
        ::chmod((w.destination / ("F/" + order[i])).c_str(), 0600);
        expected.push_back("Could not take back file " + w.destinationPath + "/F/" + order[i] +
                           ". It has changed since the run.");
    }
    w.fs.takeBackWorkers = 3;
    std::atomic<int> highest {0};
    w.fs.beforeTakeBack = [&](int index) {
        highest.store(std::max(highest.load(), index));
        // The first file waits until files far behind it were taken back.
        if (index == 1) {
            EXPECT_TRUE(WaitBounded([&] { return highest.load() > 40; }));
        }
    };

    EXPECT_EQ(w.Undo(), UndoEnd::SomeLeft);
    std::vector<std::string> told;
    for (const std::string& message : w.messages())
        if (message.rfind("Could not take back", 0) == 0)
            told.push_back(message);
    EXPECT_EQ(told, expected);
    EXPECT_EQ(w.source.names().size(), 200u - expected.size());
    EXPECT_EQ(w.observer.processed.filesProcessed, 200);
    EXPECT_EQ(w.Summary(), Summary(200 - static_cast<int>(expected.size()), 0, static_cast<int>(expected.size())));
}

// Stop with files in flight: every file taken back is counted, none is
// half-way, and a second undo takes back the rest.
TEST(Undo, StoppedWithFilesInFlightCountsWhatWentBack)
{
    UndoWorld w;
    w.MoveFiles(300, "f");
    w.fs.takeBackWorkers = 3;
    w.fs.beforeTakeBack = [&](int index) {
        if (index == 100)
            w.controls.stop.store(true);
    };
    const std::size_t startedBefore = w.observer.started.size();
    EXPECT_EQ(w.Undo(), UndoEnd::Stopped);
    const std::size_t back = w.source.names().size();
    EXPECT_GE(back, 100u);
    EXPECT_LT(back, 300u);
    EXPECT_EQ(w.observer.started.size() - startedBefore, back) << "each file taken back is reported";
    ASSERT_TRUE(w.journals.list()[0].left.has_value());
    EXPECT_EQ(w.journals.list()[0].left->files(), 300 - back);

    w.fs.beforeTakeBack = nullptr;
    w.controls.stop.store(false);
    EXPECT_EQ(w.Undo(), UndoEnd::TakenBack);
    EXPECT_EQ(w.source.names().size(), 300u);
    EXPECT_EQ(w.Summary(), Summary(static_cast<int>(300 - back), 0, 0));
}

TEST(Journal, OneThatCannotBeWrittenIsReportedOnceAndTheRunGoesOn)
{
    UndoWorld w;
    w.state.write("runs", "a file where the folder should be");
    w.source.write("apple", "a");
    w.source.write("berry", "b");
    w.SieveWithJournal();
    EXPECT_EQ(w.MessagesStartingWith("The journal").size(), 1u);
    EXPECT_TRUE(Exists(w.destination / "B/berry"));
    EXPECT_EQ(w.LastMessages(2)[0], "Operation complete. 2 file(s) processed.");
}

// A run whose folders cannot be told as full paths (its working folder is
// gone) is refused rather than kept with a journal that names them
// relative to nowhere.
TEST(Journal, ARunWhoseFoldersCannotBeFoundAgainIsRefused)
{
    UndoWorld w;
    w.source.write("apple", "a");
    TempDir gone;
    EXPECT_TRUE(HoldsInChild([&] {
        if (::chdir(gone.path().c_str()) != 0 || ::rmdir(gone.path().c_str()) != 0)
            return false;
        w.sourcePath = "relative";
        const RunEnd end = w.SieveWithJournal();
        return end == RunEnd::Failed && w.MessagesStartingWith("The folder relative").size() == 1 &&
            w.journals.list().empty();
    }));
}

} // namespace
} // namespace quillbox::test
