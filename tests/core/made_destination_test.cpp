// The journal's record of a destination folder made for the run: read back
// as such, while a bucket record that names neither a bucket nor the
// destination is still refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "core/journal.h"

namespace quillbox::test {
namespace {

class Bytes final : public JournalBytes {
public:
    explicit Bytes(std::string_view bytes) : m_bytes(bytes) {}
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

struct Made final : JournalVisitor {
    std::vector<JournalBucket> buckets;
    std::vector<std::string> why;
    void bucket(const JournalBucket& b) override { buckets.push_back(b); }
    void damaged(const JournalDamage& d) override { why.push_back(d.why); }
};

TEST(JournalFormat, TheDestinationMadeForTheRunIsReadBackBesideItsBuckets)
{
    const JournalHeader header {1700000000, 1, TransferMode::Move, {"/in/", {1, 2, 0}}, {"/out/", {1, 3, 5}}};
    std::string bytes = JournalStart(header);
    AppendJournalBucket(bytes, {kMadeDestination, {1, 3, 5}});
    AppendJournalBucket(bytes, {'A', {1, 4, 6}});
    AppendJournalBucket(bytes, {'.', {1, 5, 7}});
    AppendJournalBucket(bytes, {'a', {1, 6, 8}});

    Made made;
    Bytes source(bytes);
    ASSERT_TRUE(ReadJournal(source, made).ok());
    ASSERT_EQ(made.buckets.size(), 2u);
    EXPECT_EQ(made.buckets[0].bucket, kMadeDestination);
    EXPECT_TRUE(made.buckets[0].identity == (FolderIdentity {1, 3, 5}));
    EXPECT_EQ(made.buckets[1].bucket, 'A');
    EXPECT_EQ(made.why, (std::vector<std::string> {"It names no bucket folder", "It names no bucket folder"}));
    EXPECT_FALSE(IsBucket(kMadeDestination)) << "no file can be recorded in it as in a bucket";
}

} // namespace
} // namespace quillbox::test
