// SPDX-License-Identifier: GPL-3.0-or-later
// The one runner, as each front door hands it a request, over files held in
// memory; and the one form a request's folders take.
#include <gtest/gtest.h>

#include "core/jobs/runner.h"
#include "tests/core/memory_world.h"

namespace quillbox::test {
namespace {

TEST(RunRequest, FoldersBecomeAbsoluteAndEndInTheSeparatorOnce)
{
    struct Case {
        const char* given;
        const char* working;
        const char* made;
    };
    const Case cases[] = {
        {"in", "/home/user", "/home/user/in/"},
        {"in/", "/home/user/", "/home/user/in/"},
        {"../x", "/home/user", "/home/user/../x/"}, // taken as given, never resolved here
        {"/srv/in", "/home/user", "/srv/in/"},      // absolute: the working folder plays no part
        {"/srv/in/", "", "/srv/in/"},               // already in its form: unchanged
        {"in", "", "in/"},                          // no working folder known: stays relative
        {"/", "/home/user", "/"},
        {"", "/home/user", "/"},                            // as the window always had it
        {"caf\xc3\xa9 \xff", "/w", "/w/caf\xc3\xa9 \xff/"}, // bytes pass as they are
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        EXPECT_EQ(RequestFolder(c.given, c.working), c.made);
        // Done twice, it changes nothing more.
        EXPECT_EQ(RequestFolder(RequestFolder(c.given, c.working), c.working), c.made);
    }
    RunRequest request;
    request.source = "in";
    request.destination = "/out";
    MakeFoldersAbsolute(request, "/home/user");
    EXPECT_EQ(request.source, "/home/user/in/");
    EXPECT_EQ(request.destination, "/out/");
}

// A request as the front doors fill it, over the world in memory.
struct RunnerWorld : MemoryWorld {
    Runner runner {{fs, clock, &journals}, observer};

    RunRequest Request(RunKind kind)
    {
        RunRequest request;
        request.kind = kind;
        request.source = RequestFolder(source, {});
        request.destination = RequestFolder(destination, {});
        request.mode = move ? TransferMode::Move : TransferMode::Copy;
        request.createDirs = createDirs;
        return request;
    }

    // Whether the journal of `id` records the destination as made.
    bool DestinationRecorded(const std::string& id)
    {
        struct Made final : JournalVisitor {
            bool destination = false;
            void bucket(const JournalBucket& made) override { destination |= made.bucket == kMadeDestination; }
        } made;
        EXPECT_TRUE(journals.read(id, made).ok());
        return made.destination;
    }

    RunOutcome Run(const RunRequest& request)
    {
        controls.mode.store(request.mode);
        ++runs;
        return runner.run(request, controls);
    }
};

// The command line's run: every file sorted in the request's mode, kept in
// a journal, reported to the observer, with the counters it filled.
TEST(Runner, ASortPlacesEveryFileInTheRequestsModeAndKeepsAJournal)
{
    RunnerWorld w;
    w.Files({"apple", "Banana", "9lives"});
    w.move = true;
    EXPECT_EQ(&w.runner.counters(RunKind::Sort), &w.runner.counters(RunKind::Watch));
    const RunOutcome outcome = w.Run(w.Request(RunKind::Sort));
    EXPECT_EQ(outcome.end, RunEnd::Completed);
    EXPECT_EQ(w.fs.names(w.source).size(), 0u);
    EXPECT_TRUE(w.fs.hasFile(w.destination + "/B/Banana"));
    EXPECT_TRUE(w.fs.hasFile(w.destination + "/#/9lives"));
    EXPECT_EQ(w.journals.files("run-1"), (std::vector<std::string> {"A/apple move", "B/Banana move", "#/9lives move"}));
    EXPECT_EQ(w.observer.processed.filesProcessed, 3);
    EXPECT_EQ(w.Count("Source directory = /home/user/in/"), 1u);
    w.ExpectEndedCleanly();
}

// A watch's batch takes the files its request names, and no other; the
// destination made for the watch is recorded by its first batch only. It
// lists the folder once (on a share, a listing of a big folder costs many
// round trips): it takes what its counting pass found.
TEST(Runner, AWatchBatchTakesOnlyItsNamesAndRecordsAMadeDestination)
{
    RunnerWorld w;
    w.Files({"a1", "b1", "c1", "d1"});
    w.createDirs = false;
    for (const char* bucket : {"/A", "/B", "/C", "/D"})
        w.fs.addFolder(w.destination + bucket);
    RunRequest batch = w.Request(RunKind::Watch);
    batch.only = {"c1", "a1", "gone"};
    batch.destinationMade = true;
    EXPECT_EQ(w.Run(batch).end, RunEnd::Completed);
    EXPECT_EQ(w.fs.listings, 1);
    EXPECT_EQ(w.fs.names(w.source), (std::vector<std::string> {"a1", "b1", "c1", "d1"}));
    EXPECT_EQ(w.fs.filesInBuckets(w.destination), 2u);
    EXPECT_EQ(w.journals.files("run-1"), (std::vector<std::string> {"A/a1 copy", "C/c1 copy"}));
    EXPECT_TRUE(w.DestinationRecorded("run-1"));

    batch.only = {"d1"};
    batch.destinationMade = false;
    EXPECT_EQ(w.Run(batch).end, RunEnd::Completed);
    EXPECT_FALSE(w.DestinationRecorded("run-2"));
    w.ExpectEndedCleanly();
}

// A file of a batch that goes between the counting pass and the taking
// (another program took it): the batch says it could not take it, and
// takes the others.
TEST(Runner, AWatchBatchSaysSoOfAFileGoneBetweenItsPasses)
{
    RunnerWorld w;
    w.Files({"a1", "b1", "c1"});
    w.fs.afterCounted = [&](int counted) {
        if (counted == 3)
            w.fs.removeFile(w.source + "/b1");
    };
    RunRequest batch = w.Request(RunKind::Watch);
    batch.only = {"a1", "b1", "c1"};
    EXPECT_EQ(w.Run(batch).end, RunEnd::Completed);
    EXPECT_EQ(w.Count("Error while sieving: [2] - No such file or directory."), 1u);
    EXPECT_EQ(w.fs.filesInBuckets(w.destination), 2u);
    EXPECT_EQ(w.journals.files("run-1"), (std::vector<std::string> {"A/a1 copy", "C/c1 copy"}));
    w.ExpectEndedCleanly();
}

// The command line's preview: the plan of what the sort would do, nothing
// changed, nothing journaled, nothing reported.
TEST(Runner, APreviewPlansWithoutChangingOrReporting)
{
    RunnerWorld w;
    w.Files({"apple", "avocado", "zebra"});
    w.move = true;
    const RunOutcome outcome = w.Run(w.Request(RunKind::Preview));
    EXPECT_EQ(outcome.preview.files, 3u);
    EXPECT_EQ(outcome.preview.buckets[0].files, 2u);
    EXPECT_EQ(outcome.preview.buckets[25].files, 1u);
    EXPECT_TRUE(outcome.preview.failures.empty());
    EXPECT_EQ(w.fs.names(w.source).size(), 3u);
    EXPECT_EQ(w.fs.filesInBuckets(w.destination), 0u);
    EXPECT_TRUE(w.journals.list().empty());
    EXPECT_TRUE(w.observer.events.empty());
}

// Undo, from the command line or the window: the run the request names (or
// the newest) goes back, reported through the undo's own counters; the
// list of runs then says so.
TEST(Runner, AnUndoTakesBackTheRunItNamesAndTheListTellsIt)
{
    RunnerWorld w;
    w.Files({"apple", "berry"});
    w.move = true;
    ASSERT_EQ(w.Run(w.Request(RunKind::Sort)).end, RunEnd::Completed);
    w.Files({"cherry"});
    ASSERT_EQ(w.Run(w.Request(RunKind::Sort)).end, RunEnd::Completed);

    RunOutcome listed = w.runner.run(w.Request(RunKind::ListRuns), w.controls);
    ASSERT_EQ(listed.runs.size(), 2u);
    EXPECT_EQ(listed.runs.front().id, "run-2");
    EXPECT_NE(&w.runner.counters(RunKind::Undo), &w.runner.counters(RunKind::Sort));

    RunRequest undo = w.Request(RunKind::Undo);
    undo.run = "run-1";
    EXPECT_EQ(w.Run(undo).undo, UndoEnd::TakenBack);
    EXPECT_EQ(w.fs.names(w.source), (std::vector<std::string> {"apple", "berry"}));
    EXPECT_TRUE(w.fs.hasFile(w.destination + "/C/cherry"));
    undo.run.clear();
    EXPECT_EQ(w.Run(undo).undo, UndoEnd::TakenBack);
    EXPECT_EQ(w.fs.names(w.source).size(), 3u);
    EXPECT_EQ(w.Run(undo).undo, UndoEnd::NothingToTakeBack);

    listed = w.runner.run(w.Request(RunKind::ListRuns), w.controls);
    ASSERT_EQ(listed.runs.size(), 2u);
    EXPECT_TRUE(listed.runs[0].takenBack && listed.runs[1].takenBack);
    EXPECT_FALSE(w.runner.newestToTakeBack().has_value());
}

// The window without journals: runs keep none, and an undo or a list finds
// nothing rather than failing.
TEST(Runner, WithoutJournalsARunKeepsNoneAndNothingCanBeTakenBack)
{
    MemoryWorld w;
    Runner runner({w.fs, w.clock, nullptr}, w.observer);
    w.Files({"apple"});
    EXPECT_FALSE(runner.canUndo());
    RunRequest request;
    request.source = w.source;
    request.destination = w.destination;
    request.createDirs = true;
    w.controls.mode.store(TransferMode::Copy);
    EXPECT_EQ(runner.run(request, w.controls).end, RunEnd::Completed);
    EXPECT_EQ(w.fs.filesInBuckets(w.destination), 1u);
    EXPECT_TRUE(w.journals.list().empty());
    request.kind = RunKind::Undo;
    EXPECT_EQ(runner.run(request, w.controls).undo, UndoEnd::NothingToTakeBack);
    request.kind = RunKind::ListRuns;
    EXPECT_TRUE(runner.run(request, w.controls).runs.empty());
    EXPECT_FALSE(runner.newestToTakeBack().has_value());
}

} // namespace
} // namespace quillbox::test
