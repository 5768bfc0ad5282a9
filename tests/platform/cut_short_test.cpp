// SPDX-License-Identifier: GPL-3.0-or-later
// A move cut short after its copy had the target's name: what the run tells
// of it, and what an undo makes of it.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include "platform/left_temporaries.h"
#include "tests/platform/platform_test_tools.h"
#include "tests/support/file_makers.h"
#include "tests/support/test_file_system.h"
#include "tests/support/tmpfs_mount.h"

namespace quillbox::test {
namespace {

// Sets or clears the append-only flag of a folder: files may be made in
// it, none removed or renamed.
bool AppendOnly(const std::string& folder, bool on)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}

// The original cannot be removed and neither can its copy on another file
// system: the copy is told as placed though the file failed, and an undo
// removes it, leaving the original.
TEST(CutShort, CopyThatCannotBeTakenBackIsToldAsPlacedAndUndoRemovesIt)
{
    const std::string content = Pattern(100000, 3);
    TempDir dir;
    TmpfsMount other("4m");
    QUILLBOX_NEED_TMPFS(other);
    dir.mkdir("from");
    dir.write("from/source", content);
    ASSERT_EQ(::mkdir((other / "S").c_str(), 0755), 0);
    PosixFileSystem fs;
    ASSERT_EQ(::chmod((dir / "from").c_str(), 0555), 0);
    if (!AppendOnly(other / "S", true))
        GTEST_SKIP() << "no append-only folders here";
    Sieved done;
    {
        WithoutDacOverride permissions;
        ASSERT_TRUE(permissions.active());
        done = SieveOne(fs, dir / "from", other.path(), "source", 'S', TransferMode::Move);
    }
    ASSERT_TRUE(AppendOnly(other / "S", false));
    EXPECT_FALSE(done.outcome.ok());
    EXPECT_EQ(done.outcome.status.error, EACCES);
    EXPECT_TRUE(done.outcome.leftPlaced);
    EXPECT_NE(done.outcome.status.reason.find("stays in its bucket folder"), std::string::npos)
        << done.outcome.status.reason;
    EXPECT_TRUE(done.outcome.placed.known());
    EXPECT_EQ(done.outcome.placed.size, content.size());
    ASSERT_EQ(ReadFile(other / "S/source"), content);

    ASSERT_EQ(::chmod((dir / "from").c_str(), 0755), 0);
    const auto source = fs.resolveFolder(dir / "from");
    const auto destination = fs.resolveFolder(other.path());
    ASSERT_TRUE(source.ok() && destination.ok());
    const auto takeBack = fs.openTakeBack(source.value(), destination.value());
    const TakeBackOutcome back = takeBack->takeBack(TransferMode::Move, 'S', "source", done.outcome.placed);
    EXPECT_EQ(back.result, TakeBackResult::PutBack) << back.why.reason;
    EXPECT_FALSE(Exists(other / "S/source"));
    EXPECT_EQ(ReadFile(dir / "from/source"), content);
    EXPECT_EQ(TemporaryLeftovers(other.path()), std::vector<std::string> {});
}

// The temporaries a run names are this program's own, in the bucket
// folders only.
TEST(CutShort, LeftTemporariesAreTheProgramsOwnInBucketFolders)
{
    TempDir dir;
    dir.mkdir("A");
    dir.mkdir("#");
    dir.mkdir("nested");
    dir.write("A/.quillbox-123-4", "unfinished");
    dir.write("A/.quillbox-123-", "not ours");
    dir.write("A/.quillbox-undo-1f", "an undo's private name");
    dir.write("A/file", "f");
    dir.write("#/.quillbox-9-10", "unfinished");
    dir.write(".quillbox-5-6", "not in a bucket");
    dir.write("nested/.quillbox-7-8", "not in a bucket");
    EXPECT_EQ(posix::FindLeftTemporaries(dir.path() + "/", false),
              (std::vector<std::string> {"A/.quillbox-123-4", "#/.quillbox-9-10"}));
    EXPECT_EQ(posix::FindLeftTemporaries(dir.path() + "/", true),
              (std::vector<std::string> {"A/.quillbox-123-4", "#/.quillbox-9-10"}));
    EXPECT_FALSE(posix::IsLeftTemporaryName(".quillbox-12x-3"));
    EXPECT_FALSE(posix::IsLeftTemporaryName(".quillbox--3"));

    PosixFileSystem fs;
    EXPECT_EQ(fs.leftTemporaries(dir.path() + "/").size(), 2u);
    EXPECT_EQ(fs.leftTemporaries(dir.path() + "/"), std::vector<std::string> {}) << "each is told once";
}

} // namespace
} // namespace quillbox::test
