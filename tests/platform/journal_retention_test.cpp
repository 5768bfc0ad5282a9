// SPDX-License-Identifier: GPL-3.0-or-later
// Which runs' journals are kept: by age and size, the newest first.
#include <gtest/gtest.h>

#include "platform/journal_retention.h"

namespace quillbox::test {
namespace {

constexpr std::int64_t kNow = 2'000'000'000;
constexpr std::int64_t kDay = 24 * 60 * 60;
constexpr std::uint64_t kMiB = 1 << 20;

TEST(JournalRetention, RunsOfTheLastThirtyDaysAreKeptWithinTheSizeBound)
{
    // However many runs a watch makes, those of the last 30 days stay.
    std::vector<StoredJournal> many;
    for (std::uint64_t i = 1; i <= 5000; ++i)
        many.push_back({i, kNow - 29 * kDay, 4096});
    EXPECT_TRUE(JournalsToPrune(many, 5000, kNow).empty());

    // Older ones go, whatever their number; the run just started stays even
    // when it seems old (its clock may lie).
    const std::vector<StoredJournal> aged = {
        {9, kNow - 31 * kDay, 0}, {8, kNow, 100}, {7, kNow - 31 * kDay, 100}, {6, kNow - kDay, 100}};
    EXPECT_EQ(JournalsToPrune(aged, 9, kNow), (std::vector<std::uint64_t> {7}));
}

TEST(JournalRetention, BeyondTheSizeBoundTheOldestGoFirst)
{
    const std::uint64_t bound = JournalRetention::kKeptBytes;
    // Newest first: 10 (just started) and 9 fit; 8 would not; 7 would fit
    // again but is older than one that went, so it goes too.
    const std::vector<StoredJournal> journals = {
        {10, kNow, bound / 2}, {9, kNow, bound / 4}, {8, kNow, bound / 2}, {7, kNow, kMiB / 64}};
    EXPECT_EQ(JournalsToPrune(journals, 10, kNow), (std::vector<std::uint64_t> {8, 7}));

    // A run larger than the bound is kept while it is the newest, and goes
    // once another starts.
    const std::vector<StoredJournal> huge = {{2, kNow, 2 * bound}, {1, kNow, kMiB}};
    EXPECT_EQ(JournalsToPrune(huge, 2, kNow), (std::vector<std::uint64_t> {1}));
    const std::vector<StoredJournal> after = {{3, kNow, 0}, {2, kNow, 2 * bound}, {1, kNow, kMiB}};
    EXPECT_EQ(JournalsToPrune(after, 3, kNow), (std::vector<std::uint64_t> {2, 1}));
}

} // namespace
} // namespace quillbox::test
