// SPDX-License-Identifier: GPL-3.0-or-later
// What a file system refuses is learnt once a run: on a share where every
// call is a round trip, a call that fails for every file doubles the run's
// time. The guarantees stay those of the way that works there.

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/folder_handles.h"
#include "tests/platform/platform_test_tools.h"

namespace quillbox::test {
namespace {

struct Case {
    const char* name;
    TransferMode mode;
    bool otherFileSystem; // the destination on a tmpfs of its own
    // Calls over the whole run on a file system that refuses RENAME_NOREPLACE,
    // hard links and O_TMPFILE.
    int noReplaceCalls;
    int linkCalls;
    int anonymousCalls;
    // Plain renames: one a placed file, none for a source that lies on
    // another file system than its bucket.
    int replaceCalls;
};
constexpr Case kCases[] = {
    // A copy tries an anonymous file, then places its named one by a
    // rename that must not replace unseen.
    {"copy, one file system", TransferMode::Copy, false, 1, 0, 1, 6},
    // A move tries the flag, then a link, then looks and renames.
    {"move, one file system", TransferMode::Move, false, 1, 1, 0, 5},
    // Across file systems no rename of the source is tried at all; the
    // copy is made as a named file and placed never replacing.
    {"move across file systems", TransferMode::Move, true, 1, 1, 1, 5},
    {"copy across file systems", TransferMode::Copy, true, 1, 0, 1, 6},
};

constexpr const char* kNames[] = {"apple", "avocado", "banana", "blueberry", "cherry", "coconut"};

TEST(Refusals, AreLearntOncePerRunAndFileSystemWithTheSameGuarantees)
{
    TmpfsMount other("4m");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        if (c.otherFileSystem && !other.mounted()) {
            QUILLBOX_NEED_TMPFS(other);
        }
        TempDir src;
        TempDir dst(c.otherFileSystem ? other.path() : std::string {});
        for (const char* bucket : {"A", "B", "C"})
            dst.mkdir(bucket);
        for (const char* name : kNames)
            src.write(name, std::string(name) + " content");
        dst.write("C/coconut", "already there");

        TestFileSystem fs;
        fs.noReplaceError = EINVAL;
        fs.linkError = EPERM;
        fs.anonymousError = EOPNOTSUPP;
        // Every file after the first finds its bucket due for a look.
        fs.clockMs = 1000;
        auto folders = fs.openRun(src.path() + "/", dst.path() + "/");
        for (const char* name : kNames) {
            SCOPED_TRACE(name);
            const std::string n = name;
            const char bucket = static_cast<char>(n[0] - 'a' + 'A');
            const FileOutcome outcome = folders->sieveFile(n, bucket, c.mode, {}, nullptr);
            fs.clockMs += posix::RunFolderHandles::kRecheckMs;
            const std::string target = dst / (std::string(1, bucket) + "/" + n);
            if (n == "coconut" && c.mode == TransferMode::Move) {
                EXPECT_EQ(outcome.status.error, EEXIST);
                EXPECT_EQ(ReadFile(target), "already there");
                EXPECT_EQ(ReadFile(src / n), n + " content");
                continue;
            }
            ASSERT_TRUE(outcome.ok()) << outcome.status.reason;
            EXPECT_EQ(outcome.replaced, n == "coconut");
            EXPECT_EQ(ReadFile(target), n + " content");
            EXPECT_EQ(Exists(src / n), c.mode == TransferMode::Copy);
            const struct stat placed = LinkStat(target);
            EXPECT_EQ(outcome.placed.inode, static_cast<std::uint64_t>(placed.st_ino));
            EXPECT_EQ(outcome.placed.ctimeNs, placed.st_ctim.tv_sec * 1'000'000'000 + placed.st_ctim.tv_nsec);
        }
        folders.reset();
        EXPECT_EQ(fs.noReplaceCalls, c.noReplaceCalls);
        EXPECT_EQ(fs.linkCalls, c.linkCalls);
        EXPECT_EQ(fs.anonymousCalls, c.anonymousCalls);
        EXPECT_EQ(fs.replaceCalls, c.replaceCalls);
        EXPECT_EQ(TemporaryLeftovers(dst.path()), std::vector<std::string> {});
    }
}

// A folder that took a listed file's name is no lesson: any file system
// refuses a hard link of a folder (EPERM), one that has hard links too. The
// refusal is learnt only from a link of a file; until then every move of a
// file where the flag is refused goes by a link, which never replaces.
TEST(Refusals, ALinkOfAFolderRefusedTeachesNothing)
{
    for (const bool linksRefused : {false, true}) {
        SCOPED_TRACE(linksRefused ? "no hard links here" : "hard links made here");
        TempDir dir;
        dir.mkdir("O");
        dir.mkdir("P");
        dir.write("odd", "file");
        dir.write("plum", "plum");
        dir.write("pear", "pear");
        TestFileSystem fs;
        fs.noReplaceError = EINVAL;
        fs.linkError = linksRefused ? EPERM : 0;
        bool swapped = false;
        fs.beforeNoReplace = [&](const char* from, const char*) {
            if (std::string(from) == "odd" && !swapped) {
                swapped = true;
                ::unlink((dir / "odd").c_str());
                dir.mkdir("odd");
                dir.write("odd/inside", "inside");
            }
        };
        auto folders = fs.openRun(dir.path() + "/", dir.path() + "/");

        const FileOutcome odd = folders->sieveFile("odd", 'O', TransferMode::Move, {}, nullptr);
        ASSERT_TRUE(swapped);
        EXPECT_EQ(odd.status.reason, "Not a regular file");
        EXPECT_EQ(ReadFile(dir / "odd/inside"), "inside");
        EXPECT_EQ(dir.names("O"), std::set<std::string> {});
        const int linksBefore = fs.linkCalls;
        const int renamesBefore = fs.replaceCalls;
        for (const char* name : {"plum", "pear"}) {
            const FileOutcome moved = folders->sieveFile(name, 'P', TransferMode::Move, {}, nullptr);
            ASSERT_TRUE(moved.ok()) << moved.status.reason;
        }
        EXPECT_EQ(dir.names("P"), (std::set<std::string> {"plum", "pear"}));
        if (linksRefused) {
            // Learnt from the first file: the second goes straight to the look.
            EXPECT_EQ(fs.linkCalls - linksBefore, 1);
            EXPECT_EQ(fs.replaceCalls - renamesBefore, 2);
        } else {
            EXPECT_EQ(fs.linkCalls - linksBefore, 2);
            EXPECT_EQ(fs.replaceCalls - renamesBefore, 0) << "no plain rename where links are made";
        }
    }
}

} // namespace
} // namespace quillbox::test
