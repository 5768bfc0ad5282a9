// SPDX-License-Identifier: GPL-3.0-or-later
// The settle rule of a watched folder, driven with a made-up time and a
// made-up world: when a file is due, and what keeps it back.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "core/jobs/settle_queue.h"

namespace quillbox::test {
namespace {

using namespace std::chrono_literals;
using Time = SettleQueue::Time;

// Files as the probe sees them, and which are held open for writing.
struct FakeWorld final : SettleProbe {
    std::map<std::string, FileLook> files;
    std::set<std::uint64_t> heldInodes;
    std::set<std::string> replaced; // no longer the file looked at, when asked about writers
    int writerQuestions = 0;

    std::optional<FileLook> look(const std::string& name) override
    {
        const auto found = files.find(name);
        if (found == files.end())
            return std::nullopt;
        return found->second;
    }
    std::vector<Writers> writers(const std::vector<std::string>& names, const std::vector<FileLook>& asked) override
    {
        ++writerQuestions;
        std::vector<Writers> answers;
        for (std::size_t i = 0; i < asked.size(); ++i)
            answers.push_back(replaced.contains(names[i])               ? Writers::Changed
                                  : heldInodes.contains(asked[i].inode) ? Writers::Some
                                                                        : Writers::None);
        return answers;
    }
};

struct SettleFixture : ::testing::Test {
    Time t0 {std::chrono::seconds(1000)};
    SettleQueue queue {2s, {"*.iso", "draft-*"}};
    FakeWorld world;
    std::uint64_t nextInode = 1;

    FileLook write(const std::string& name, std::uint64_t size)
    {
        FileLook& file = world.files[name];
        if (file.inode == 0)
            file.inode = nextInode++;
        file.size = size;
        file.mtimeNs += 1;
        file.ctimeNs += 1;
        return file;
    }
    void arrive(const std::string& name, Time at, std::uint64_t size = 10)
    {
        queue.touched(name, at, write(name, size));
    }
    std::vector<std::string> take(Time now) { return queue.takeDue(now, world); }
};

TEST(SettleNames, PartialDownloadsAndIgnoredPatternsAreNeverTaken)
{
    const std::vector<std::string> ignores = {"*.iso", "draft-*"};
    for (const char* name : {"movie.part", "setup.crdownload", "a.download", "b.partial", "c.tmp", ".hidden.part",
                             "disk.iso", "draft-letter.txt"})
        EXPECT_TRUE(IsIgnoredName(name, ignores)) << name;
    for (const char* name : {"movie.mkv", "part", "notes.tmp.txt", "iso", "my-draft-letter.txt", "a\nb.txt"})
        EXPECT_FALSE(IsIgnoredName(name, ignores)) << name;
}

TEST_F(SettleFixture, FileIsTakenOnlyOnceQuietForTheSettleTime)
{
    arrive("a", t0);
    arrive("b", t0 + 500ms);
    arrive("c.part", t0);
    EXPECT_EQ(queue.waiting(), 2u) << "a partial download is not even queued";
    EXPECT_EQ(queue.nextDeadline(), t0 + 2s);

    EXPECT_TRUE(take(t0 + 1999ms).empty());
    EXPECT_EQ(world.writerQuestions, 0) << "writers are asked about only once a file is due";

    // A write resets the wait of that file alone.
    arrive("b", t0 + 1900ms, 20);
    EXPECT_EQ(take(t0 + 2s), std::vector<std::string> {"a"});
    EXPECT_EQ(queue.nextDeadline(), t0 + 3900ms);
    EXPECT_TRUE(take(t0 + 3899ms).empty());
    EXPECT_EQ(take(t0 + 3900ms), std::vector<std::string> {"b"});
    EXPECT_EQ(queue.waiting(), 0u);
    EXPECT_FALSE(queue.nextDeadline());
}

TEST_F(SettleFixture, FilesDueTogetherAreOneBatchAskedAboutWritersOnce)
{
    for (int i = 0; i < 50; ++i)
        arrive("f" + std::to_string(i), t0 + std::chrono::milliseconds(i));
    const std::vector<std::string> batch = take(t0 + 3s);
    ASSERT_EQ(batch.size(), 50u);
    EXPECT_EQ(batch.front(), "f0") << "in the order they became due";
    EXPECT_EQ(batch.back(), "f49");
    EXPECT_EQ(world.writerQuestions, 1);
    EXPECT_EQ(queue.waiting(), 0u) << "every waiting file taken: the queue is empty";
    EXPECT_FALSE(queue.nextDeadline());

    // A batch that takes some of the waiting files leaves the others as
    // they were: held, not yet due, or set aside; a name taken may arrive
    // again.
    arrive("taken", t0 + 4s);
    arrive("held", t0 + 4s);
    arrive("later", t0 + 5s);
    queue.setAside("aside", write("aside", 1));
    world.heldInodes.insert(world.files["held"].inode);
    EXPECT_EQ(take(t0 + 6s), std::vector<std::string> {"taken"});
    EXPECT_EQ(queue.waiting(), 3u);
    EXPECT_TRUE(queue.setAside("aside"));
    world.heldInodes.clear();
    arrive("taken", t0 + 6s);
    EXPECT_EQ(take(t0 + 8s), (std::vector<std::string> {"later", "held", "taken"})) << "as they became due";
    EXPECT_EQ(queue.waiting(), 1u);
}

// What keeps a due file back, each seen only when the file is due.
TEST_F(SettleFixture, ChangedHeldOrGoneFilesAreKeptBackOrDropped)
{
    arrive("changed", t0);
    arrive("held", t0);
    arrive("gone", t0);
    arrive("folder", t0);
    write("changed", 99); // a change no event told of (a write through a mapping)
    world.heldInodes.insert(world.files["held"].inode);
    world.files.erase("gone");
    world.files.erase("folder"); // replaced by something the probe does not call a file

    EXPECT_TRUE(take(t0 + 2s).empty());
    EXPECT_FALSE(queue.contains("gone"));
    EXPECT_FALSE(queue.contains("folder"));
    EXPECT_TRUE(queue.contains("held"));
    EXPECT_EQ(queue.nextDeadline(), t0 + 4s) << "the changed file waits again from when the change was seen; "
                                                "the held one is asked about again a settle time later";

    // The writer closes the file: that touches it, and it settles again.
    world.heldInodes.clear();
    queue.touched("held", t0 + 5s, world.files["held"]);
    EXPECT_EQ(take(t0 + 4s), std::vector<std::string> {"changed"});
    EXPECT_TRUE(take(t0 + 6999ms).empty());
    EXPECT_EQ(take(t0 + 7s), std::vector<std::string> {"held"});
}

TEST_F(SettleFixture, FileRenamedOutOrRescannedIsForgottenOrRequeued)
{
    arrive("a", t0);
    arrive("b", t0);
    queue.forget("a"); // renamed out of the folder
    queue.forget("never-seen");
    EXPECT_EQ(take(t0 + 2s), std::vector<std::string> {"b"});

    // Touched long ago, it is due at once.
    arrive("old", t0 - 1h);
    arrive("new", t0);
    EXPECT_EQ(take(t0), std::vector<std::string> {"old"});
    queue.clear();
    EXPECT_FALSE(queue.nextDeadline());
    EXPECT_TRUE(take(t0 + 1h).empty());
}

} // namespace
} // namespace quillbox::test

namespace quillbox::test {
namespace {

// A file a scan just found quiet (its change time older than the settle
// time) is due at once and taken on the scan's look; a look that has grown
// old is taken again, and a change it shows holds the file back.
TEST_F(SettleFixture, AFreshLookIsNotTakenTwiceAnOldOneIs)
{
    const FileLook scanned = write("fresh", 10);
    queue.touched("fresh", t0 - 5s, scanned, t0);
    world.files["fresh"].size = 11; // unseen: the look is fresh
    EXPECT_EQ(take(t0 + queue.fresh() / 2), std::vector<std::string> {"fresh"});

    const FileLook old = write("old", 10);
    queue.touched("old", t0 - 5s, old, t0 - 5s);
    world.files["old"].size = 11;
    EXPECT_EQ(take(t0), std::vector<std::string> {}) << "the change is seen";
    EXPECT_TRUE(queue.contains("old"));
}

} // namespace
} // namespace quillbox::test

namespace quillbox::test {
namespace {

// A file a listing found waits the settle time like any other, and is then
// taken on what the listing told, with no look; its identity still goes to
// the question of writers. An event since the listing makes it a file like
// any other, looked at again when due.
TEST_F(SettleFixture, AFileFoundByAListingIsTakenWithoutALookUnlessTouchedSince)
{
    queue.found("listed", t0, {7, 70});
    queue.found("held", t0, {7, 71});
    queue.found("written", t0, {7, 72});
    queue.found("c.part", t0, {7, 73});
    world.heldInodes.insert(71);
    arrive("written", t0 + 1s);
    world.files["written"].size = 99; // a change no event told of

    EXPECT_TRUE(take(t0 + 1999ms).empty());
    EXPECT_EQ(take(t0 + 2s), std::vector<std::string> {"listed"}) << "not in the world's files, so never looked at";
    EXPECT_TRUE(queue.contains("held"));
    EXPECT_FALSE(queue.contains("c.part"));
    EXPECT_TRUE(take(t0 + 3s).empty()) << "touched since, it is looked at and the change seen";
    EXPECT_TRUE(queue.contains("written"));
}

} // namespace
} // namespace quillbox::test

namespace quillbox::test {
namespace {

// A writer may let go of a file without a word to the watcher (a close told
// under another folder's name, a mapping undone): a held file is asked
// about again and again until it is taken, never forgotten.
TEST_F(SettleFixture, AHeldFileIsAskedAboutAgainUntilItsWriterLetsGo)
{
    arrive("held", t0);
    world.heldInodes.insert(world.files["held"].inode);
    EXPECT_TRUE(take(t0 + 2s).empty());
    EXPECT_EQ(queue.nextDeadline(), t0 + 2s + queue.heldRetry());
    EXPECT_TRUE(take(t0 + 2s + queue.heldRetry()).empty()) << "still held";
    world.heldInodes.clear();
    EXPECT_EQ(take(t0 + 2s + 2 * queue.heldRetry()), std::vector<std::string> {"held"});

    // However short the settle time, a held file is not asked about in a
    // busy loop.
    SettleQueue quick {0s, {}};
    EXPECT_EQ(quick.heldRetry(), SettleQueue::kLeastRetry);
}

// A file the writers' question finds replaced is looked at again and waits
// anew; one found gone leaves.
TEST_F(SettleFixture, AFileReplacedWhenAskedAboutWaitsAnew)
{
    arrive("swapped", t0);
    arrive("vanished", t0);
    world.replaced = {"swapped", "vanished"};
    world.files.erase("vanished");
    EXPECT_TRUE(take(t0 + 2s).empty());
    EXPECT_FALSE(queue.contains("vanished"));
    EXPECT_EQ(queue.nextDeadline(), t0 + 4s);
    world.replaced.clear();
    EXPECT_EQ(take(t0 + 4s), std::vector<std::string> {"swapped"});
}

// A file set aside is not taken, however long it waits, until it is
// touched with other contents; a touch that changes nothing of them (a
// rename back in, a chmod) leaves it aside.
TEST_F(SettleFixture, AFileSetAsideWaitsUntilItsContentsChange)
{
    const FileLook back = write("back", 10);
    queue.setAside("back", back);
    queue.setAside("x.part", back);
    EXPECT_FALSE(queue.contains("x.part"));
    EXPECT_TRUE(queue.setAside("back"));
    EXPECT_FALSE(queue.nextDeadline());
    FileLook renamed = back;
    renamed.ctimeNs += 5;
    queue.touched("back", t0, renamed);
    EXPECT_TRUE(take(t0 + 1h).empty());
    EXPECT_TRUE(queue.setAside("back"));

    queue.touched("back", t0 + 1h, write("back", 11));
    EXPECT_FALSE(queue.setAside("back"));
    EXPECT_EQ(take(t0 + 1h + 2s), std::vector<std::string> {"back"});
}

} // namespace
} // namespace quillbox::test

namespace quillbox::test {
namespace {

// A share's folder listed again and again: only what is new or changed
// since the listing before is told, and not again while it stays so.
TEST(RepeatedListing, TellsWhatIsNewOrChangedSinceTheListingBefore)
{
    RepeatedListing listing;
    const FileLook a {1, 10, 5, 100, 100};
    const FileLook b {1, 11, 5, 100, 100};
    FileLook grown = b;
    grown.size = 6;
    using L = RepeatedListing::Listing;
    EXPECT_EQ(listing.changes({{"a", a}, {"b", b}}), (L {{"a", a}, {"b", b}}));
    EXPECT_EQ(listing.changes({{"a", a}, {"b", b}}), L {}) << "nothing new: a file left in place is not told again";
    EXPECT_EQ(listing.changes({{"b", grown}}), (L {{"b", grown}}));
    EXPECT_EQ(listing.changes({{"a", a}, {"b", grown}}), (L {{"a", a}})) << "gone, then back";

    // Every settle time, within 1 to 30 listings a minute.
    using namespace std::chrono_literals;
    EXPECT_EQ(RepeatedListing::interval(200ms), 2s);
    EXPECT_EQ(RepeatedListing::interval(5s), 5s);
    EXPECT_EQ(RepeatedListing::interval(24h), 60s);
}

} // namespace
} // namespace quillbox::test
