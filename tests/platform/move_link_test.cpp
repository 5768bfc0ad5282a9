// SPDX-License-Identifier: GPL-3.0-or-later
// A link moved to another file system, as a run that journals its files
// places it.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/platform/platform_test_tools.h"

namespace quillbox::test {
namespace {

// A link moved to another file system is made anew there: it is noted
// before it has its name (made under a private name, looked at, noted, then
// named), as every other file, so that a run killed in between still has
// it on record. A name taken meanwhile fails it and leaves nothing.
TEST(MoveAcross, ALinkIsNotedBeforeItHasItsName)
{
    TmpfsMount other("4m");
    QUILLBOX_NEED_TMPFS(other);
    struct Notes final : PlacementNotice {
        std::string bucket;
        std::vector<std::string> names;
        bool sawPrivate = false;
        void aboutToPlace(TransferMode mode, char letter, std::string_view name, bool replacing,
                          const FileIdentity& before) override
        {
            EXPECT_EQ(mode, TransferMode::Move);
            EXPECT_EQ(letter, 'L');
            EXPECT_FALSE(replacing);
            names.emplace_back(name);
            EXPECT_FALSE(Exists(bucket + "/" + std::string(name))) << "noted before it has its name";
            // The link noted is there, under a private name, as `before`.
            for (const std::string& left : TemporaryLeftovers(bucket)) {
                const struct stat st = LinkStat(left);
                sawPrivate = S_ISLNK(st.st_mode) && st.st_ino == before.inode;
            }
        }
    };
    for (const bool taken : {false, true}) {
        SCOPED_TRACE(taken ? "its name taken meanwhile" : "placed");
        TempDir src;
        src.write("file", "12345");
        MakeSymlink("file", src / "link");
        RemoveTree(other / "L");
        ASSERT_EQ(::mkdir((other / "L").c_str(), 0755), 0);
        Notes notes;
        notes.bucket = other / "L";
        TestFileSystem fs;
        fs.beforeNoReplace = [&](const char*, const char* to) {
            if (taken && std::string_view(to) == "link")
                MakeSymlink("elsewhere", other / "L/link");
        };
        auto folders = fs.openRun(src.path() + "/", other.path() + "/");
        folders->noticePlacements(&notes);

        const FileOutcome moved = folders->sieveFile("link", 'L', TransferMode::Move, {}, nullptr);

        EXPECT_EQ(notes.names, std::vector<std::string> {"link"});
        EXPECT_TRUE(notes.sawPrivate);
        EXPECT_EQ(TemporaryLeftovers(other / "L"), std::vector<std::string> {});
        char text[64] = {};
        ASSERT_GT(::readlink((other / "L/link").c_str(), text, sizeof text - 1), 0);
        if (taken) {
            EXPECT_FALSE(moved.ok());
            EXPECT_EQ(moved.status.error, EEXIST);
            EXPECT_STREQ(text, "elsewhere");
            EXPECT_TRUE(S_ISLNK(LinkStat(src / "link").st_mode)) << "the source stays";
        } else {
            ASSERT_TRUE(moved.ok()) << moved.status.reason;
            EXPECT_STREQ(text, "file");
            EXPECT_FALSE(Exists(src / "link"));
            EXPECT_EQ(moved.placed.inode, LinkStat(other / "L/link").st_ino);
        }
    }
}

} // namespace
} // namespace quillbox::test
