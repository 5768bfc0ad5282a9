// SPDX-License-Identifier: GPL-3.0-or-later
// A run's journal: its bytes as input from disk, and the folder that keeps
// the journals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <thread>

#include "platform/journal_files.h"
#include "tests/core/run_world.h"
#include "tests/support/child_process.h"

namespace quillbox::test {
namespace {

class StringBytes final : public JournalBytes {
public:
    explicit StringBytes(std::string_view bytes) : m_bytes(bytes) {}
    FsResult<std::size_t> read(char* into, std::size_t size) override
    {
        const std::size_t count = std::min(size, m_bytes.size());
        m_bytes.copy(into, count);
        m_bytes.remove_prefix(count);
        return count;
    }

private:
    std::string_view m_bytes;
};

// What reading found, as text: "file:3:A/name", "damaged:4:1:name", ...
struct Seen final : JournalVisitor {
    std::vector<std::string> events;
    void header(const JournalHeader& h) override { events.push_back("header:" + h.source.path); }
    bool file(const JournalFile& f) override
    {
        events.push_back("file:" + std::to_string(f.number) + ":" + f.bucket + "/" + f.name);
        return true;
    }
    void bucket(const JournalBucket& b) override { events.push_back(std::string("bucket:") + b.bucket); }
    void takenBack() override { events.push_back("takenBack"); }
    void intended(const JournalIntent& i) override
    {
        events.push_back(std::string("intended:") + (i.mode == TransferMode::Move ? "M" : "C") +
                         (i.replacing ? "r" : "") + ":" + i.bucket + "/" + i.name + ":" +
                         std::to_string(i.before.inode));
    }
    void left(const JournalLeft& l) override
    {
        std::string told = "left:" + std::to_string(l.moved) + ":" + std::to_string(l.copied);
        if (l.folders + l.intended > 0)
            told += "+" + std::to_string(l.folders) + "+" + std::to_string(l.intended);
        for (const auto& [first, last] : l.ranges)
            told += ":" + std::to_string(first) + "-" + std::to_string(last);
        events.push_back(told);
    }
    void damaged(const JournalDamage& d) override
    {
        events.push_back("damaged:" + std::to_string(d.record) + ":" + std::to_string(d.files) + ":" + d.name);
    }
};

// Polls `done` until it holds or `ms` have passed.
bool WaitFor(const std::function<bool()>& done, int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

const JournalHeader kHeader {1700000000, 7, TransferMode::Move, {"/in/", {1, 2, 0}}, {"/out/", {1, 3, 5}}};

std::string Journal(const std::vector<std::string>& names, std::vector<std::size_t>* recordStarts = nullptr)
{
    std::string bytes = JournalStart(kHeader);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (recordStarts != nullptr)
            recordStarts->push_back(bytes.size());
        AppendJournalFile(bytes, i + 1, {TransferMode::Copy, 'N', names[i], false, {1, 100 + i, 5, -12, 34, 0}});
    }
    return bytes;
}

FsStatus Read(std::string_view bytes, Seen& seen)
{
    StringBytes source(bytes);
    return ReadJournal(source, seen);
}

// Five files, one of whose names holds a line break, one no UTF-8; the
// records' offsets in `starts`.
std::string FiveFiles(std::vector<std::size_t>* starts = nullptr)
{
    return Journal({"plain", "new\nline", "\xff\xfe not utf-8", "four", "five"}, starts);
}

std::string Flipped(std::string bytes, std::size_t at, char by)
{
    bytes[at] = static_cast<char>(bytes[at] ^ by);
    return bytes;
}

TEST(JournalFormat, EachKindOfBadRecordIsToldAndTheRestIsRead)
{
    std::vector<std::size_t> starts;
    const std::string whole = FiveFiles(&starts);
    {
        Seen seen;
        ASSERT_TRUE(Read(whole, seen).ok());
        ASSERT_EQ(seen.events.size(), 6u);
        EXPECT_EQ(seen.events[2], "file:2:N/new\nline");
    }
    // A sixth file's record, forged.
    const auto forged = [&](TransferMode mode, char bucket, const char* name) {
        std::string bytes = whole;
        AppendJournalFile(bytes, 6, {mode, bucket, name, false, {}});
        return bytes;
    };
    const TransferMode move = TransferMode::Move;
    const TransferMode copy = TransferMode::Copy;
    struct Case {
        const char* what;
        std::string bytes;
        const char* damage; // what is told
        std::size_t files;  // files read
    };
    const Case cases[] = {
        // Record 4 (the third file) damaged in its identity: its name is told.
        {"a flipped byte", Flipped(whole, starts[2] + 30, 0x10), "damaged:4:1:\xff\xfe not utf-8", 4},
        // Its length damaged: its name cannot be trusted, its number can be told.
        {"a flipped length", Flipped(whole, starts[2] + 2, 0x40), "damaged:4:1:", 4},
        {"cut short at the end", whole.substr(0, whole.size() - 3), "damaged:6:1:five", 4},
        {"a record taken out", whole.substr(0, starts[1]) + whole.substr(starts[2]), "damaged:3:1:", 4},
        {"a name that climbs out", forged(move, 'A', "../../outside/victim"), "damaged:7:1:", 5},
        {"a name with a slash", forged(move, 'A', "/etc/passwd"), "damaged:7:1:", 5},
        {"a dot", forged(copy, 'A', "."), "damaged:7:1:", 5},
        {"an empty name", forged(copy, 'A', ""), "damaged:7:1:", 5},
        {"no bucket", forged(copy, '/', "x"), "damaged:7:1:", 5},
        {"a second header", whole + JournalStart(kHeader).substr(19), "damaged:7:0:", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Seen seen;
        ASSERT_TRUE(Read(c.bytes, seen).ok());
        std::vector<std::string> damage;
        std::size_t files = 0;
        for (const std::string& e : seen.events) {
            if (e.starts_with("damaged:"))
                damage.push_back(e);
            files += e.starts_with("file:");
        }
        EXPECT_EQ(damage, std::vector<std::string> {c.damage});
        EXPECT_EQ(files, c.files);
    }
}

// Not read at all: what is no journal of this version, or whose header is
// damaged or names relative folders.
TEST(JournalFormat, WhatIsNoJournalOfThisVersionIsNotReadAtAll)
{
    const std::string records = FiveFiles().substr(19);
    JournalHeader relative = kHeader;
    relative.source.path = "in/";
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"no journal", "not a journal"},
        {"nothing", ""},
        {"an old version", "quillbox journal 1\n" + records},
        {"a later version", "quillbox journal 9\n" + records},
        {"a damaged header", Flipped(FiveFiles(), 22, 1)},
        {"a relative folder", JournalStart(relative)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Seen seen;
        EXPECT_FALSE(Read(c.bytes, seen).ok());
        EXPECT_TRUE(seen.events.empty());
    }
}

// What an undo left is read back as written, in a journal of this version
// or of the one before, which still reads as it did.
TEST(JournalFormat, WhatAnUndoLeftIsReadBackAndAnOlderJournalStillReads)
{
    std::string bytes = Journal({"one", "two", "three"});
    AppendJournalLeft(bytes, {2, 1, {{1, 1}, {3, UINT64_MAX}}});
    AppendJournalLeft(bytes, {0, 1, {{3, 3}}});
    AppendJournalTakenBack(bytes);
    Seen seen;
    ASSERT_TRUE(Read(bytes, seen).ok());
    EXPECT_EQ(std::vector<std::string>(seen.events.begin() + 4, seen.events.end()),
              (std::vector<std::string> {"left:2:1:1-1:3-18446744073709551615", "left:0:1:3-3", "takenBack"}));

    ASSERT_EQ(bytes.substr(0, 19), "quillbox journal 4\n");
    for (const char* version : {"3", "2"}) {
        Seen older;
        ASSERT_TRUE(
            Read(std::string("quillbox journal ") + version + "\n" + Journal({"one", "two"}).substr(19), older).ok());
        EXPECT_EQ(older.events, (std::vector<std::string> {"header:/in/", "file:1:N/one", "file:2:N/two"}));
    }

    // Ranges out of order are no record of this kind.
    std::string bad = Journal({"one"});
    AppendJournalLeft(bad, {1, 0, {{5, 6}, {2, 3}}});
    Seen refused;
    ASSERT_TRUE(Read(bad, refused).ok());
    EXPECT_EQ(refused.events.back(), "damaged:3:0:");
}

// An intent is handed on only where no later record settles it (the file
// recorded as placed, or as not placed): the files a killed run was placing.
// The latest intent for a name counts; what an undo left of them, and of
// the folders, reads back.
TEST(JournalFormat, OnlyIntentsNoRecordSettledAreHandedOnAtTheEnd)
{
    std::string bytes = Journal({});
    const FileIdentity before {1, 50, 5, 7, 9, 0};
    AppendJournalIntent(bytes, TransferMode::Move, 'A', false, "apple", before);
    AppendJournalIntent(bytes, TransferMode::Move, 'B', false, "berry", before);
    AppendJournalIntent(bytes, TransferMode::Copy, 'C', false, "cherry", before);
    AppendJournalIntent(bytes, TransferMode::Copy, 'C', true, "cherry", {1, 51, 5, 7, 9, 0});
    AppendJournalIntent(bytes, TransferMode::Copy, 'D', false, "date", before);
    AppendJournalFile(bytes, 1, {TransferMode::Move, 'A', "apple", false, {1, 50, 5, 7, 10, 0}});
    AppendJournalUnplaced(bytes, 'B', "berry");
    AppendJournalUnplaced(bytes, 'D', "other");
    AppendJournalLeft(bytes, {0, 0, {}, 2, 1});
    Seen seen;
    ASSERT_TRUE(Read(bytes, seen).ok());
    EXPECT_EQ(std::vector<std::string>(seen.events.begin() + 1, seen.events.end()),
              (std::vector<std::string> {"file:1:A/apple", "left:0:0+2+1", "intended:Cr:C/cherry:51",
                                         "intended:C:D/date:50"}));
}

// More ranges than a record holds: the closest are joined, so that every
// file left is still in one and the counts stay as they were.
TEST(JournalFormat, TooManyRangesLeftAreJoinedWithoutLosingAFile)
{
    JournalLeft left {3 * kMostLeftRanges, 0, {}};
    for (std::uint64_t i = 0; i < 3 * kMostLeftRanges; ++i)
        left.ranges.emplace_back(i * 10 + (i % 7 == 0 ? 4 : 1), i * 10 + 4);
    std::string bytes = JournalStart(kHeader);
    AppendJournalLeft(bytes, left);
    struct Left final : JournalVisitor {
        std::optional<JournalLeft> read;
        void left(const JournalLeft& l) override { read = l; }
    } visitor;
    StringBytes source(bytes);
    ASSERT_TRUE(ReadJournal(source, visitor).ok());
    ASSERT_TRUE(visitor.read.has_value());
    EXPECT_EQ(visitor.read->moved, left.moved);
    EXPECT_LE(visitor.read->ranges.size(), kMostLeftRanges);
    EXPECT_GE(visitor.read->ranges.size(), kMostLeftRanges - 1);
    for (const auto& range : left.ranges)
        EXPECT_TRUE(visitor.read->holds(range.first)) << range.first;
    EXPECT_FALSE(visitor.read->holds(left.ranges.back().second + 1));
}

struct Store {
    TempDir state;
    JournalFolder journals {state / "runs"};

    std::string Start(std::size_t files = 0)
    {
        auto writer = journals.startRun(kHeader);
        EXPECT_TRUE(writer.ok()) << writer.status().reason;
        for (std::size_t i = 0; i < files; ++i)
            writer.value()->file({TransferMode::Move, 'A', "a" + std::to_string(i), false, {}});
        return journals.list().front().id;
    }
};

TEST(JournalStore, RunsAreOrderedByTheirNumberAndOnlyJournalsArePruned)
{
    Store s;
    ASSERT_EQ(::mkdir((s.state / "runs").c_str(), 0755), 0);
    // Foreign files that look like journals by their names, and one that
    // is one by its number but not by its first line.
    for (int i = 0; i < 25; ++i)
        s.state.write("runs/notes-" + std::to_string(i) + ".journal", "mine");
    s.state.write("runs/run-1.journal", "not a journal, but named like one");
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < 23; ++i)
        ids.push_back(s.Start(1));
    struct stat st {};
    ASSERT_EQ(::stat((s.state / "runs").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(s.journals.list().size(), 23u) << "runs are not pruned by their number";

    // The three oldest runs, and every foreign file, last written long ago:
    // only the runs' journals go when the next run starts.
    const timespec longAgo[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 40 * 24 * 3600, 0}};
    for (const std::string& old : {ids[0], ids[1], ids[2], std::string("run-1"), std::string("notes-3")})
        ASSERT_EQ(::utimensat(AT_FDCWD, (s.state / ("runs/" + old + ".journal")).c_str(), longAgo, 0), 0) << old;
    ids.push_back(s.Start(1));
    const std::vector<JournalSummary> runs = s.journals.list();
    ASSERT_EQ(runs.size(), 21u);
    EXPECT_EQ(runs.front().id, ids.back());
    EXPECT_EQ(runs.front().header.sequence, 25u);
    EXPECT_EQ(runs.back().id, ids[3]);
    EXPECT_EQ(s.state.names("runs").size(), 21u + 25 + 1);
    EXPECT_TRUE(Exists(s.state / "runs/run-1.journal"));
}

// A journal an undo (or its run) still holds is in use: pruning passes it
// over, and takes it another time.
TEST(JournalStore, AJournalHeldIsNotPruned)
{
    Store s;
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < 23; ++i)
        ids.push_back(s.Start(1));
    const timespec longAgo[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 40 * 24 * 3600, 0}};
    for (std::size_t i = 0; i < 3; ++i)
        ASSERT_EQ(::utimensat(AT_FDCWD, (s.state / ("runs/" + ids[i] + ".journal")).c_str(), longAgo, 0), 0);
    {
        FsResult<std::unique_ptr<JournalHold>> held = s.journals.hold(ids[1]);
        ASSERT_TRUE(held.ok() && held.value() != nullptr);
        s.Start(1);
        EXPECT_FALSE(Exists(s.state / ("runs/" + ids[0] + ".journal")));
        EXPECT_TRUE(Exists(s.state / ("runs/" + ids[1] + ".journal"))) << "held while it is pruned";
        EXPECT_FALSE(Exists(s.state / ("runs/" + ids[2] + ".journal")));
    }
    s.Start(1);
    EXPECT_FALSE(Exists(s.state / ("runs/" + ids[1] + ".journal"))) << "no longer held";
}

TEST(JournalStore, WhatIsNoJournalIsPassedOverWithoutWaitingOrFillingMemory)
{
    Store s;
    const std::string good = s.Start(2);
    ASSERT_EQ(::mkfifo((s.state / "runs/run-90.journal").c_str(), 0600), 0);
    ASSERT_EQ(::symlink((s.state / ("runs/" + good + ".journal")).c_str(), (s.state / "runs/run-91.journal").c_str()),
              0);
    // A huge journal, but for its header a hole.
    const std::string huge = s.state / "runs/run-92.journal";
    s.state.write("runs/run-92.journal", JournalStart(kHeader));
    ASSERT_EQ(::truncate(huge.c_str(), 256 << 20), 0);

    // In a child, so that its peak memory is its own.
    EXPECT_TRUE(HoldsInChild([&] {
        rusage before {}, after {};
        ::getrusage(RUSAGE_SELF, &before);
        const std::vector<JournalSummary> runs = s.journals.list();
        ::getrusage(RUSAGE_SELF, &after);
        return runs.size() == 2 && runs[0].id == "run-92" && runs[0].damaged == 1 && runs[1].id == good &&
            after.ru_maxrss - before.ru_maxrss < 16 * 1024;
    }));
}

TEST(JournalStore, AFolderReachedThroughALinkGetsNoJournal)
{
    TempDir state, elsewhere;
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (state / "runs").c_str()), 0);
    JournalFolder journals(state / "runs");
    EXPECT_FALSE(journals.startRun(kHeader).ok());
    EXPECT_TRUE(elsewhere.names().empty());
    EXPECT_TRUE(journals.list().empty());
}

TEST(JournalWriter, RecordsReachTheDiskOnTimeWithoutAFurtherRecord)
{
    Store s;
    auto writer = s.journals.startRun(kHeader);
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE(writer.value()->file({TransferMode::Move, 'A', "apple", false, {}}).ok());
    // No flush, no further record: the writer's own clock writes it out.
    const std::string id = s.journals.list().front().id;
    EXPECT_TRUE(WaitFor([&] { return s.journals.summary(id).value().files == 1; }, 5000));

    // A batch that fills is written out at once, in order.
    const std::string name(100, 'n');
    for (std::size_t i = 0; i * name.size() <= JournalFolder::kBatchBytes; ++i)
        ASSERT_TRUE(writer.value()->file({TransferMode::Move, 'N', name, false, {}}).ok());
    EXPECT_TRUE(WaitFor([&] { return s.journals.summary(id).value().files > 1; }, 5000));
    EXPECT_EQ(s.journals.summary(id).value().damaged, 0u);
}

// A run holds its journal from its start to its end; an undo holds it while
// it takes the run back. Either keeps another undo out.
TEST(JournalStore, ARunOrAnUndoHoldsItsJournal)
{
    Store s;
    auto writer = s.journals.startRun(kHeader);
    ASSERT_TRUE(writer.ok());
    const std::string id = s.journals.list().front().id;
    const FsResult<std::unique_ptr<JournalHold>> whileRunning = s.journals.hold(id);
    EXPECT_EQ(whileRunning.status().error, EBUSY);
    writer.value().reset();

    FsResult<std::unique_ptr<JournalHold>> undo = s.journals.hold(id);
    ASSERT_TRUE(undo.ok()) << undo.status().reason;
    EXPECT_EQ(s.journals.hold(id).status().error, EBUSY);
    // Notes go in while it is held, and another run starts as before.
    EXPECT_TRUE(s.journals.markLeft(id, {1, 0, {{1, 1}}}).ok());
    EXPECT_TRUE(s.journals.startRun(kHeader).ok());
    undo.value().reset();
    EXPECT_TRUE(s.journals.hold(id).ok());
    EXPECT_EQ(s.journals.summary(id).value().left->files(), 1u);
    EXPECT_EQ(s.journals.hold("run-99").status().error, ENOENT);
}

} // namespace
} // namespace quillbox::test
