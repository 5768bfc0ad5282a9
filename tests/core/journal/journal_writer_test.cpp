// SPDX-License-Identifier: GPL-3.0-or-later
// The writer of a run's journal, as the reader takes its bytes back.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/journal_files.h"
#include "tests/support/temp_dir.h"

namespace quillbox::test {
namespace {

const JournalHeader kHeader {1700000000, 7, TransferMode::Move, {"/in/", {1, 2, 0}}, {"/out/", {1, 3, 5}}};

// Intents go out at once from the placing threads, records in batches from
// the run's: whatever the threads, each record lands after its file's
// intent, no two writes mix, and only the intents no record settled are
// handed on (the files a kill would have caught half-way). A file that
// failed before its intent was written settles nothing.
TEST(JournalWriter, EveryRecordLandsAfterItsIntentWhateverTheThreads)
{
    TempDir state;
    JournalFolder journals {state / "runs"};
    auto started = journals.startRun(kHeader);
    ASSERT_TRUE(started.ok());
    JournalWriter& writer = *started.value();
    PlacementNotice* notice = writer.notice();
    ASSERT_NE(notice, nullptr);
    constexpr int kEach = 3000;
    const auto name = [](int thread, int i) { return "t" + std::to_string(thread) + "-" + std::to_string(i); };
    std::atomic<int> noted[2] = {0, 0};
    std::vector<std::thread> placing;
    for (int t = 0; t < 2; ++t) {
        placing.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const FileIdentity before {1, static_cast<std::uint64_t>(t * kEach + i + 1), 5, 7, 9, 0};
                notice->aboutToPlace(TransferMode::Move, 'T', name(t, i), false, before);
                noted[t].store(i + 1, std::memory_order_release);
            }
        });
    }
    // The run's thread settles each file once its intent is out: every
    // third is left unsettled, one in three of the rest failed.
    std::size_t recorded = 0;
    for (int i = 0; i < kEach; ++i) {
        for (int t = 0; t < 2; ++t) {
            while (noted[t].load(std::memory_order_acquire) <= i)
                std::this_thread::yield();
            const std::string n = name(t, i);
            if (i % 3 == 0)
                continue;
            if (i % 3 == 1) {
                ASSERT_TRUE(writer.file({TransferMode::Move, 'T', n, false, {1, 1, 5, 7, 10, 0}}).ok());
                ++recorded;
            } else {
                writer.unplaced('T', n);
            }
        }
    }
    writer.unplaced('T', "never-noted");
    for (std::thread& thread : placing)
        thread.join();
    ASSERT_TRUE(writer.flush().ok());
    const std::string id = journals.list().front().id;
    started.value().reset();

    struct Seen final : JournalVisitor {
        std::size_t files = 0, damages = 0;
        std::set<std::pair<std::string, std::uint64_t>> intents;
        bool file(const JournalFile&) override { return ++files, true; }
        void intended(const JournalIntent& i) override { intents.emplace(i.name, i.before.inode); }
        void damaged(const JournalDamage&) override { ++damages; }
    } seen;
    ASSERT_TRUE(journals.read(id, seen).ok());
    EXPECT_EQ(seen.damages, 0u);
    EXPECT_EQ(seen.files, recorded);
    std::set<std::pair<std::string, std::uint64_t>> expected;
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < kEach; i += 3)
            expected.emplace(name(t, i), static_cast<std::uint64_t>(t * kEach + i + 1));
    EXPECT_EQ(seen.intents, expected);
}

} // namespace
} // namespace quillbox::test
