// SPDX-License-Identifier: GPL-3.0-or-later
// Copying one file into its bucket: the copy appears only when complete,
// replaces a target only as a whole, keeps mode, times and holes, never
// hands root's ownership to a set-user-ID file, and leaves nothing behind
// when it fails.

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/capability.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/platform/platform_test_tools.h"

namespace quillbox::test {
namespace {

// The ways a copy can be written: an anonymous file linked into place, or
// (where a file system makes no anonymous files) a named temporary file;
// the data through the kernel, or by read and write where it refuses.
struct Way {
    const char* name;
    int anonymousError;
    int copyRangeError;
};
constexpr Way kWays[] = {
    {"anonymous file", 0, 0}, {"named temporary file", EOPNOTSUPP, 0}, {"read and write", 0, EXDEV}};

void Use(TestFileSystem& fs, const Way& way)
{
    fs.anonymousError = way.anonymousError;
    fs.copyRangeError = way.copyRangeError;
}

// Mode bits (including those the umask would take away and the sticky
// bit) and the modification time to the nanosecond travel with the data,
// onto a new name and over an old file.
TEST(Copy, ReplacesTheTargetWholeWithModeAndTimeKept)
{
    for (const Way& way : kWays) {
        for (const mode_t mode : {0644, 0640, 0444, 0, 0777, 0707, 01755}) {
            for (const bool replace : {false, true}) {
                SCOPED_TRACE(std::string(way.name) + ", mode " + std::to_string(mode) + (replace ? ", replacing" : ""));
                TempDir src;
                TempDir dst;
                dst.mkdir("S");
                const std::string content = Pattern(3 << 20, mode);
                src.write("source", content);
                ASSERT_EQ(::chmod((src / "source").c_str(), mode), 0);
                SetMtime(src / "source", 1000000000, 123456789);
                if (replace)
                    dst.write("S/source", "an older, shorter file");
                TestFileSystem fs;
                Use(fs, way);

                const Sieved done = SieveOne(fs, src.path(), dst.path(), "source", 'S', TransferMode::Copy);

                ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
                EXPECT_EQ(done.length, content.size());
                EXPECT_EQ(done.lengthCalls, 1);
                EXPECT_EQ(ReadFile(dst / "S/source"), content);
                const FileFacts facts = Facts(dst / "S/source");
                EXPECT_EQ(facts.mode, mode);
                EXPECT_EQ(facts.mtimeSec, 1000000000);
                EXPECT_EQ(facts.mtimeNsec, 123456789);
                EXPECT_EQ(ReadFile(src / "source"), content);
                EXPECT_EQ(TemporaryLeftovers(dst.path()), std::vector<std::string> {});
            }
        }
    }
}

// While the data is written the target name shows nothing new: nothing of
// the copy, and for a new name not even a temporary name a crash could
// leave behind.
TEST(Copy, IsUnseenUntilComplete)
{
    for (const bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replacing" : "new name");
        TempDir src;
        TempDir dst;
        dst.mkdir("Q");
        const std::string content = Pattern(1 << 20, 7);
        src.write("quill", content);
        if (replace)
            dst.write("Q/quill", "old");
        TestFileSystem fs;
        int looks = 0;
        fs.beforeCopyRange = [&] {
            ++looks;
            EXPECT_EQ(dst.names("Q"), replace ? std::set<std::string> {"quill"} : std::set<std::string> {});
            if (replace) {
                EXPECT_EQ(ReadFile(dst / "Q/quill"), "old");
            }
        };
        const Sieved done = SieveOne(fs, src.path(), dst.path(), "quill", 'Q', TransferMode::Copy);
        ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
        EXPECT_GE(looks, 1);
        EXPECT_EQ(ReadFile(dst / "Q/quill"), content);
        EXPECT_EQ(dst.names("Q"), std::set<std::string> {"quill"});
    }
}

// The source folder is the bucket folder: the file is copied onto itself,
// by its name or through a link to it, and keeps its data.
TEST(Copy, OntoItselfKeepsTheData)
{
    TempDir dir;
    dir.mkdir("S");
    const std::string content = Pattern(100000);
    dir.write("S/self", content);
    MakeSymlink(dir / "S/self", dir / "S/alias");
    PosixFileSystem fs;
    for (const char* name : {"self", "alias"}) {
        SCOPED_TRACE(name);
        auto folders = fs.openRun(dir / "S/", dir.path() + "/");
        const FileOutcome outcome = folders->sieveFile(name, 'S', TransferMode::Copy, {}, nullptr);
        ASSERT_TRUE(outcome.ok()) << outcome.status.reason;
        EXPECT_EQ(ReadFile(dir / "S/self"), content);
    }
    // The link was followed: a file of its own now, with the same data.
    EXPECT_TRUE(S_ISREG(LinkStat(dir / "S/alias").st_mode));
    EXPECT_EQ(ReadFile(dir / "S/alias"), content);
    EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
}

// A copy that cannot finish (file-size limit, or a full file system) keeps
// the old target as it was, makes no new one, and leaves no temporary file.
TEST(Copy, FailingHalfWayLeavesTheOldTargetWhole)
{
    const std::string content = Pattern(3 << 20);
    const std::string old = Pattern(100000, 2);
    TmpfsMount small("1m");
    QUILLBOX_NEED_TMPFS(small);
    for (const Way& way : kWays) {
        for (const bool full : {false, true}) {
            for (const bool replace : {false, true}) {
                SCOPED_TRACE(std::string(way.name) + (full ? ", full file system" : ", file-size limit") +
                             (replace ? ", replacing" : ""));
                TempDir src;
                src.write("source", content);
                const std::string destination = full ? small.path() : src.path();
                RemoveTree(destination + "/S");
                ASSERT_EQ(::mkdir((destination + "/S").c_str(), 0755), 0);
                if (replace) {
                    const int fd = ::open((destination + "/S/source").c_str(), O_WRONLY | O_CREAT, 0644);
                    ASSERT_GE(fd, 0);
                    ASSERT_EQ(::write(fd, old.data(), old.size()), static_cast<ssize_t>(old.size()));
                    ::close(fd);
                }
                TestFileSystem fs;
                Use(fs, way);
                Sieved done;
                if (full) {
                    done = SieveOne(fs, src.path(), destination, "source", 'S', TransferMode::Copy);
                } else {
                    FileSizeLimit limit(1 << 20);
                    done = SieveOne(fs, src.path(), destination, "source", 'S', TransferMode::Copy);
                }

                EXPECT_EQ(done.outcome.stage, FileStage::Transfer);
                EXPECT_EQ(done.outcome.status.error, full ? ENOSPC : EFBIG);
                EXPECT_EQ(done.outcome.status.reason, full ? "No space left on device" : "File too large");
                if (replace)
                    EXPECT_EQ(ReadFile(destination + "/S/source"), old);
                else
                    EXPECT_FALSE(Exists(destination + "/S/source"));
                EXPECT_EQ(ReadFile(src / "source"), content);
                EXPECT_EQ(TemporaryLeftovers(destination), std::vector<std::string> {});
            }
        }
    }
}

// A source written to while it is copied is not copied: no torn file under
// the target name, and an old target stays whole.
TEST(Copy, SourceChangedMeanwhileIsNotCopied)
{
    for (const bool grows : {false, true}) {
        for (const bool replace : {false, true}) {
            SCOPED_TRACE(std::string(grows ? "appended to" : "overwritten in place") + (replace ? ", replacing" : ""));
            TempDir src;
            TempDir dst;
            dst.mkdir("C");
            src.write("changing", Pattern(200000, 1));
            if (replace)
                dst.write("C/changing", "old");
            PosixFileSystem fs;
            const Sieved done = SieveOne(fs, src.path(), dst.path(), "changing", 'C', TransferMode::Copy, [&] {
                const int fd = ::open((src / "changing").c_str(), O_WRONLY | (grows ? O_APPEND : 0) | O_CLOEXEC);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(::write(fd, "xyz", 3), 3);
                ::close(fd);
            });
            EXPECT_EQ(done.outcome.stage, FileStage::Transfer);
            EXPECT_EQ(done.outcome.status.reason, "The file changed while it was being copied");
            if (replace)
                EXPECT_EQ(ReadFile(dst / "C/changing"), "old");
            else
                EXPECT_FALSE(Exists(dst / "C/changing"));
            EXPECT_EQ(TemporaryLeftovers(dst.path()), std::vector<std::string> {});
        }
    }
}

// A sparse file is copied with its holes, by either way of copying data.
TEST(Copy, KeepsHoles)
{
    for (const Way& way : kWays) {
        SCOPED_TRACE(way.name);
        TempDir src;
        TempDir dst;
        dst.mkdir("H");
        constexpr off_t kSize = 64 << 20;
        const std::string head = Pattern(5000, 1);
        const std::string middle = Pattern(70000, 2);
        {
            const int fd = ::open((src / "holes").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
            ASSERT_EQ(::pwrite(fd, middle.data(), middle.size(), 20 << 20), static_cast<ssize_t>(middle.size()));
            ASSERT_EQ(::ftruncate(fd, kSize), 0); // ends in a hole
            ::close(fd);
        }
        TestFileSystem fs;
        Use(fs, way);
        const Sieved done = SieveOne(fs, src.path(), dst.path(), "holes", 'H', TransferMode::Copy);
        ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
        EXPECT_EQ(ReadFile(dst / "H/holes"), ReadFile(src / "holes"));
        const struct stat copy = LinkStat(dst / "H/holes");
        EXPECT_EQ(copy.st_size, kSize);
        EXPECT_LT(copy.st_blocks * 512, 1 << 20) << "the holes were filled";
    }
}

// Copied as root, a set-user-ID or set-group-ID file of another user keeps
// those bits only with its owner and group; where they cannot be given to
// the copy, the copy loses the bits rather than become root's.
TEST(Copy, SetIdBitsOnlyWithTheSourcesOwner)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, as CI runs it";
    for (const bool canChown : {true, false}) {
        for (const mode_t mode : {04755, 02755, 06711}) {
            SCOPED_TRACE(std::to_string(mode) + (canChown ? "" : ", without CAP_CHOWN"));
            TempDir src;
            TempDir dst;
            dst.mkdir("S");
            src.write("setid", "#!/bin/sh\n");
            ASSERT_EQ(::chown((src / "setid").c_str(), 65534, 65534), 0);
            ASSERT_EQ(::chmod((src / "setid").c_str(), mode), 0);
            PosixFileSystem fs;
            std::optional<WithoutCapability> noChown;
            if (!canChown) {
                noChown.emplace(CAP_CHOWN);
                ASSERT_TRUE(noChown->active());
            }
            const Sieved done = SieveOne(fs, src.path(), dst.path(), "setid", 'S', TransferMode::Copy);
            noChown.reset();
            ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
            const struct stat copy = LinkStat(dst / "S/setid");
            if (canChown) {
                EXPECT_EQ(copy.st_uid, 65534u);
                EXPECT_EQ(copy.st_gid, 65534u);
                EXPECT_EQ(copy.st_mode & 07777, mode);
            } else {
                EXPECT_EQ(copy.st_uid, 0u);
                EXPECT_EQ(copy.st_mode & 07777, mode & 01777);
            }
        }
    }
}

// Stop pressed while a file is copied: the copy is abandoned at the next
// chunk, an old target stays whole, the source stays, no temporary file is
// left; a move across file systems goes the same way. A file that fits in
// one chunk is simply copied.
TEST(Stop, AbandonsACopyInProgressAtTheNextChunk)
{
    struct Case {
        const char* name;
        TransferMode mode;
        Way way;
        bool replace;
        std::size_t size;
    };
    const Case cases[] = {
        {"copy, anonymous file", TransferMode::Copy, kWays[0], false, 16 << 20},
        {"copy over an old target, named temporary file", TransferMode::Copy, kWays[1], true, 16 << 20},
        {"copy by read and write over an old target", TransferMode::Copy, kWays[2], true, 16 << 20},
        {"move across file systems", TransferMode::Move, kWays[0], false, 16 << 20},
        {"move across, named temporary file", TransferMode::Move, kWays[1], false, 16 << 20},
        {"a file of one chunk", TransferMode::Copy, kWays[0], true, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir src;
        TempDir dst;
        dst.mkdir("S");
        const std::string content = Pattern(c.size, 5);
        src.write("source", content);
        if (c.replace)
            dst.write("S/source", "old");
        TestFileSystem fs;
        Use(fs, c.way);
        if (c.mode == TransferMode::Move)
            fs.noReplaceError = EXDEV;
        int kernelCopies = 0;
        fs.beforeCopyRange = [&] { ++kernelCopies; };
        std::atomic<bool> stop {false};

        // The length is told before any data moves.
        const Sieved done = SieveOne(
            fs, src.path(), dst.path(), "source", 'S', c.mode, [&] { stop.store(true); }, &stop);

        EXPECT_EQ(ReadFile(src / "source"), content);
        EXPECT_EQ(TemporaryLeftovers(dst.path()), std::vector<std::string> {});
        if (c.size < 4096) {
            ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
            EXPECT_EQ(ReadFile(dst / "S/source"), content);
            continue;
        }
        EXPECT_EQ(done.outcome.stage, FileStage::Transfer);
        EXPECT_EQ(done.outcome.status.error, ECANCELED);
        EXPECT_EQ(done.outcome.status.reason, "Stopped by the user");
        EXPECT_LE(kernelCopies, 1) << "one chunk, then the stop is seen";
        if (c.replace)
            EXPECT_EQ(ReadFile(dst / "S/source"), "old");
        else
            EXPECT_FALSE(Exists(dst / "S/source"));
    }
}

} // namespace
} // namespace quillbox::test
