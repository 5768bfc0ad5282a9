// SPDX-License-Identifier: GPL-3.0-or-later
// Runs and undos over files held in memory: the order in which files are
// reported and recorded, Stop, the counters and the journal's records, with
// nothing of the file layer in the way.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "tests/core/memory_world.h"

namespace quillbox::test {
namespace {

// Forty names in no sorted order, some for the '#' bucket.
std::vector<std::string> ScrambledNames()
{
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back(std::string(1, "qwertyuiopasdfghjklzxcvbnm0123"[(i * 7) % 30]) + std::to_string(i));
    return names;
}

std::string BucketOf(const std::string& name)
{
    const char c = name[0];
    return std::string(1, c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : '#');
}

// Whatever the workers finish first, the observer hears of the files and
// the journal records them in the order the listing gave them.
TEST(MemoryRun, FilesInFlightAreReportedAndRecordedInListingOrder)
{
    struct Case {
        const char* what;
        InFlight inFlight;
        bool move;
    };
    const Case cases[] = {
        {"one by one, moved", {1, 1}, true},
        {"four workers, copied", {4, 1}, false},
        {"three workers taking up five at a time, moved", {3, 5}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryWorld w;
        const std::vector<std::string> names = ScrambledNames();
        w.Files(names);
        w.move = c.move;
        w.fs.inFlight = c.inFlight;
        // With several workers, the first file is held until a file of
        // another worker has begun, so that a later file ends first.
        std::mutex mutex;
        std::condition_variable begun;
        int latest = 0;
        bool overtaken = c.inFlight.workers == 1;
        w.fs.beforeFile = [&](const std::string&, int index) {
            std::unique_lock lock(mutex);
            latest = std::max(latest, index);
            begun.notify_all();
            if (index == 1 && c.inFlight.workers > 1)
                overtaken = begun.wait_for(lock, std::chrono::seconds(20), [&] { return latest > c.inFlight.claim; });
        };

        EXPECT_EQ(w.Sieve(), RunEnd::Completed);

        EXPECT_TRUE(overtaken);
        EXPECT_EQ(w.observer.started, names);
        std::vector<std::string> records;
        for (const std::string& name : names)
            records.push_back(BucketOf(name) + "/" + name + (c.move ? " move" : " copy"));
        EXPECT_EQ(w.journals.files("run-1"), records);
        EXPECT_EQ(w.observer.processed.filesProcessed, 40);
        EXPECT_EQ(w.fs.filesInBuckets(w.destination), 40u);
        EXPECT_EQ(w.fs.names(w.source).size(), c.move ? 0u : 40u);
        w.ExpectEndedCleanly();
    }
}

// A file that fails is logged, counted as processed and never recorded;
// Stop ends the run after the file in hand. The journal holds exactly the
// files that were placed, in order.
TEST(MemoryRun, FailuresAndStopLeaveOnlyPlacedFilesInTheJournal)
{
    const std::string kVanished = "Error while sieving: [2] - No such file or directory.";
    const std::string kRefused = "Could not copy/move file cherry. Permission denied.";
    struct Case {
        const char* what;
        std::map<std::string, int> examine;
        std::map<std::string, int> transfer;
        int stopBeforeFile; // 0: never
        RunEnd end;
        std::vector<std::string> recorded;
        std::vector<std::string> leftInSource;
        std::vector<std::string> told;
    };
    const Case cases[] = {
        {"a file gone",
         {{"berry", ENOENT}},
         {},
         0,
         RunEnd::Completed,
         {"A/apple", "C/cherry", "D/date", "E/elder"},
         {"berry"},
         {kVanished}},
        {"a file refused",
         {},
         {{"cherry", EACCES}},
         0,
         RunEnd::Completed,
         {"A/apple", "B/berry", "D/date", "E/elder"},
         {"cherry"},
         {kRefused}},
        {"stopped at the fourth",
         {},
         {},
         4,
         RunEnd::StoppedWhileProcessing,
         {"A/apple", "B/berry", "C/cherry", "D/date"},
         {"elder"},
         {}},
        {"both, then stopped",
         {{"berry", ENOENT}},
         {{"cherry", EACCES}},
         4,
         RunEnd::StoppedWhileProcessing,
         {"A/apple", "D/date"},
         {"berry", "cherry", "elder"},
         {kVanished, kRefused}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryWorld w;
        w.Files({"apple", "berry", "cherry", "date", "elder"});
        w.move = true;
        w.fs.examineErrors = c.examine;
        w.fs.transferErrors = c.transfer;
        w.fs.beforeFile = [&](const std::string&, int index) {
            if (index == c.stopBeforeFile)
                w.controls.stop.store(true);
        };

        EXPECT_EQ(w.Sieve(), c.end);

        std::vector<std::string> recorded;
        for (const std::string& name : c.recorded)
            recorded.push_back(name + " move");
        EXPECT_EQ(w.journals.files("run-1"), recorded);
        EXPECT_EQ(w.fs.names(w.source), c.leftInSource);
        for (const std::string& told : {kVanished, kRefused}) {
            const bool expected = std::find(c.told.begin(), c.told.end(), told) != c.told.end();
            EXPECT_EQ(w.Count(told), expected ? 1u : 0u) << told;
        }
        // Every file taken up counts as processed, failed or not.
        if (c.end == RunEnd::Completed) {
            EXPECT_EQ(w.observer.processed.filesProcessed, 5);
        }
        w.ExpectEndedCleanly();
    }
}

// A journal that stops taking records is told once; the run goes on and
// places every file.
TEST(MemoryRun, AJournalThatCannotBeWrittenIsToldOnceAndTheRunGoesOn)
{
    MemoryWorld w;
    w.Files({"apple", "berry", "cherry", "date", "elder"});
    w.move = true;
    w.fs.beforeFile = [&](const std::string&, int index) {
        if (index == 3)
            w.journals.writeError = ENOSPC;
    };

    EXPECT_EQ(w.Sieve(), RunEnd::Completed);

    EXPECT_EQ(w.Count("The journal of this run could not be written (No space left on device): it cannot be taken "
                      "back."),
              1u);
    EXPECT_EQ(w.fs.filesInBuckets(w.destination), 5u);
    EXPECT_EQ(w.journals.files("run-1"), (std::vector<std::string> {"A/apple move", "B/berry move"}));
    w.ExpectEndedCleanly();
}

// A run's journal is dated by the clock the run is given, not the machine's:
// what ages it out and what `--list-runs` tells are the same clock's.
TEST(MemoryRun, TheJournalIsDatedByTheRunsClock)
{
    MemoryWorld w;
    w.clock.wall = 1'234'567'890;
    w.Files({"apple"});
    EXPECT_EQ(w.Sieve(), RunEnd::Completed);
    const std::vector<JournalSummary> runs = w.journals.list();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].header.startedAt, 1'234'567'890);
}

// What an undo of four moved files comes to, and what a second undo then
// finds: a file that changed or whose old place is taken stays for good, a
// Stop leaves the rest for the next undo.
TEST(MemoryUndo, EachOutcomeAndWhatTheNextUndoFinds)
{
    struct Case {
        const char* what;
        std::function<void(MemoryWorld&)> meanwhile;
        int stopBeforeFile; // 0: never
        UndoEnd first;
        UndoEnd second;
        std::size_t backAtLast;
    };
    const Case cases[] = {
        {"all back", nullptr, 0, UndoEnd::TakenBack, UndoEnd::NothingToTakeBack, 4},
        {"one changed since the run", [](MemoryWorld& w) { w.fs.addFile(w.destination + "/B/b1", "new"); }, 0,
         UndoEnd::SomeLeft, UndoEnd::NothingToTakeBack, 3},
        {"one's old place taken again", [](MemoryWorld& w) { w.fs.addFile(w.source + "/c1", "other"); }, 0,
         UndoEnd::SomeLeft, UndoEnd::NothingToTakeBack, 4},
        {"stopped at the second", nullptr, 2, UndoEnd::Stopped, UndoEnd::TakenBack, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryWorld w;
        w.Files({"a1", "b1", "c1", "d1"});
        w.move = true;
        ASSERT_EQ(w.Sieve(), RunEnd::Completed);
        if (c.meanwhile)
            c.meanwhile(w);
        w.fs.beforeTakeBack = [&](int index) {
            if (index == c.stopBeforeFile)
                w.controls.stop.store(true);
        };
        {
            // Held by another undo: nothing is done.
            FsResult<std::unique_ptr<JournalHold>> held = w.journals.hold("run-1");
            ASSERT_TRUE(held.ok());
            EXPECT_EQ(w.Undo(), UndoEnd::InProgress);
        }

        EXPECT_EQ(w.Undo(), c.first);
        w.controls.stop.store(false);
        w.fs.beforeTakeBack = nullptr;
        EXPECT_EQ(w.Undo(), c.second);

        EXPECT_EQ(w.fs.names(w.source).size(), c.backAtLast);
        ASSERT_TRUE(w.journals.summary("run-1").ok());
        EXPECT_TRUE(w.journals.summary("run-1").value().takenBack);
        EXPECT_FALSE(w.journals.newestToTakeBack().has_value());
        w.ExpectEndedCleanly();
    }
}

} // namespace
} // namespace quillbox::test
