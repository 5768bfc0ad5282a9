// A run's journal, and taking the run back from it, over real folders.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/undo_job.h"
#include "platform/journal_files.h"
#include "tests/core/run_world.h"

namespace quillbox::test {
namespace {

TEST(JournalFormat, AnyNameRoundTripsAndAHalfRecordIsPassedOver)
{
    const JournalHeader header {1700000000, TransferMode::Move, "/in/", "/out/"};
    std::string bytes = JournalStart(header);
    const std::vector<std::string> names = {"plain", "new\nline", "\xff\xfe not utf-8", std::string("nul\0in", 6)};
    for (std::size_t i = 0; i < names.size(); ++i)
        AppendJournalFile(bytes, header,
                          {TransferMode::Copy, "/in/" + names[i], "/out/X/" + names[i], i % 2 == 1,
                           {1, 100 + i, 5, -1234567890123}});
    // A file outside the run's folders keeps its whole paths.
    AppendJournalFile(bytes, header, {TransferMode::Move, "/elsewhere/a", "/out/A/b", false, {}});
    AppendJournalFolder(bytes, "/out/X");
    const std::size_t whole = bytes.size();
    AppendJournalFile(bytes, header, {TransferMode::Move, "/in/last", "/out/L/last", false, {}});

    Journal journal;
    ASSERT_TRUE(ParseJournal(bytes, journal));
    EXPECT_EQ(journal.header.source, "/in/");
    EXPECT_EQ(journal.header.mode, TransferMode::Move);
    ASSERT_EQ(journal.files.size(), names.size() + 2);
    EXPECT_EQ(journal.files[names.size()].source, "/elsewhere/a");
    EXPECT_EQ(journal.files[names.size()].target, "/out/A/b");
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(journal.files[i].source, "/in/" + names[i]);
        EXPECT_EQ(journal.files[i].target, "/out/X/" + names[i]);
        EXPECT_EQ(journal.files[i].replaced, i % 2 == 1);
        EXPECT_EQ(journal.files[i].placed, (FileIdentity {1, 100 + i, 5, -1234567890123}));
    }
    EXPECT_EQ(journal.folders, std::vector<std::string> {"/out/X"});

    // Cut anywhere inside the last record, or damaged there: the rest stands.
    for (std::size_t cut = whole; cut < bytes.size(); ++cut) {
        Journal cutShort;
        ASSERT_TRUE(ParseJournal(std::string_view(bytes).substr(0, cut), cutShort)) << cut;
        EXPECT_EQ(cutShort.files.size(), names.size() + 1) << cut;
        JournalSummary summary;
        ASSERT_TRUE(SummarizeJournal(std::string_view(bytes).substr(0, cut), summary)) << cut;
        EXPECT_EQ(summary.files, names.size() + 1) << cut;
    }
    std::string damaged = bytes;
    damaged[whole + 12] ^= 0x40;
    Journal afterDamage;
    ASSERT_TRUE(ParseJournal(damaged, afterDamage));
    EXPECT_EQ(afterDamage.files.size(), names.size() + 1);
    Journal none;
    EXPECT_FALSE(ParseJournal("not a journal", none));
}

struct UndoWorld : RunWorld {
    TempDir state;
    JournalFolder journals {state / "runs"};
    SieveJob journaled {fs, clock, observer, &journals};
    UndoJob undo {fs, journals, clock, observer};

    RunEnd SieveWithJournal()
    {
        controls.mode.store(move ? TransferMode::Move : TransferMode::Copy);
        ++runs;
        return journaled.run(RunSettings {sourcePath, destinationPath, createDirs}, controls);
    }
    RunEnd Undo(const std::string& id = {})
    {
        ++runs;
        return undo.run(id, controls);
    }
};

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

    EXPECT_EQ(w.Undo(), RunEnd::Completed);
    EXPECT_EQ(w.source.names(), (std::set<std::string> {"apple", "berry", "new\nline"}));
    EXPECT_EQ(ReadFile(w.source / "new\nline"), "new\nline");
    EXPECT_EQ(w.destination.names(), std::set<std::string> {"A"});
    EXPECT_EQ(w.LastMessages(2)[0], "Undo complete. 3 file(s) put back, 0 copies removed, 0 left as they were.");
    EXPECT_TRUE(w.journals.list()[0].takenBack);
    w.ExpectEndedCleanly();
}

TEST(Undo, OnlyWhatIsStillAsTheRunLeftItIsTouched)
{
    UndoWorld w;
    w.destination.mkdir("C");
    w.destination.write("C/cherry", "older cherry");
    for (const char* name : {"apple", "berry", "cherry", "date", "egg"})
        w.source.write(name, std::string("data of ") + name);
    w.SieveWithJournal(); // copies; cherry replaced an older file
    w.source.write("new-file", "n");

    // Afterwards: one copy changed, one removed by hand, and for a move of
    // the same folder later, an old place taken again.
    w.destination.write("A/apple", "changed by someone");
    ::unlink((w.destination / "B/berry").c_str());

    EXPECT_EQ(w.Undo(), RunEnd::Completed);
    EXPECT_EQ(ReadFile(w.destination / "A/apple"), "changed by someone");
    EXPECT_EQ(ReadFile(w.destination / "C/cherry"), "data of cherry") << "the older file cannot come back";
    EXPECT_FALSE(Exists(w.destination / "D/date"));
    EXPECT_FALSE(Exists(w.destination / "E/egg"));
    EXPECT_EQ(w.source.names().size(), 6u) << "a copy's undo leaves the sources alone";
    EXPECT_EQ(w.MessagesStartingWith("Could not take back"),
              std::vector<std::string> {"Could not take back file " + w.destination.path() +
                                        "/A/apple. It has changed since the run."});
    EXPECT_EQ(w.MessagesStartingWith("Left in place"),
              std::vector<std::string> {"Left in place: " + w.destination.path() +
                                        "/C/cherry replaced a file of the same name, which cannot be brought back."});

    // A move whose files' old places were taken again.
    UndoWorld m;
    m.source.write("apple", "moved");
    m.move = true;
    m.SieveWithJournal();
    m.source.write("apple", "a new apple");
    m.Undo();
    EXPECT_EQ(ReadFile(m.source / "apple"), "a new apple");
    EXPECT_EQ(ReadFile(m.destination / "A/apple"), "moved");
    EXPECT_EQ(m.MessagesStartingWith("Could not take back"),
              std::vector<std::string> {"Could not take back file " + m.destination.path() +
                                        "/A/apple. Its old place is taken again."});
}

TEST(Undo, StoppedPartWayASecondUndoFinishesIt)
{
    UndoWorld w;
    for (int i = 0; i < 6; ++i)
        w.source.write("f" + std::to_string(i), "x");
    w.move = true;
    w.SieveWithJournal();
    w.fs.beforeTakeBack = [&](int index) {
        if (index == 3)
            w.controls.stop.store(true);
    };
    EXPECT_EQ(w.Undo(), RunEnd::StoppedWhileProcessing);
    EXPECT_EQ(w.source.names().size(), 3u);
    EXPECT_FALSE(w.journals.list()[0].takenBack);

    w.fs.beforeTakeBack = nullptr;
    w.controls.stop.store(false);
    EXPECT_EQ(w.Undo(), RunEnd::Completed);
    EXPECT_EQ(w.source.names().size(), 6u);
    EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {});
    EXPECT_EQ(w.LastMessages(2)[0], "Undo complete. 3 file(s) put back, 0 copies removed, 0 left as they were.");
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

TEST(Journal, RecordsWaitInMemoryNoLongerThanABatchFills)
{
    TempDir state;
    JournalFolder journals(state / "runs");
    auto writer = journals.startRun({1700000000, TransferMode::Move, "/in/", "/out/"});
    ASSERT_TRUE(writer.ok());
    const std::string name(100, 'n');
    std::size_t written = 0;
    for (; written * name.size() <= JournalFolder::kBatchBytes; ++written)
        ASSERT_TRUE(writer.value()->file({TransferMode::Move, 'N', name, false, {}}).ok());
    // Not flushed, and well within the time a batch may wait: the records are
    // on the file all the same.
    const auto runs = journals.list();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_GT(runs.front().files, 0u);
    EXPECT_LE(runs.front().files, written);
    const auto journal = journals.read(runs.front().id);
    ASSERT_TRUE(journal.ok());
    EXPECT_EQ(journal.value().files.front().target, "/out/N/" + name);
}

TEST(Journal, OnlyTheNewestAreKept)
{
    UndoWorld w;
    w.source.write("apple", "a");
    for (std::size_t i = 0; i < JournalFolder::kJournalsKept + 3; ++i)
        w.SieveWithJournal();
    EXPECT_EQ(w.journals.list().size(), JournalFolder::kJournalsKept);
}

} // namespace
} // namespace quillbox::test
