// SPDX-License-Identifier: GPL-3.0-or-later
// What a listing of a folder yields, and how it tells that it ended early.

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>

#include "tests/platform/platform_test_tools.h"

namespace quillbox::test {
namespace {

TEST(Listing, YieldsFilesAndLinksToFilesOnlyWithoutBlocking)
{
    TempDir dir;
    dir.write("plain", "p");
    dir.write(".hidden", "h");
    dir.write("\xff\xfe not utf-8", "u");
    dir.write("new\nline", "n");
    dir.mkdir("folder");
    dir.write("folder/inside", "i");
    MakeSymlink(dir / "plain", dir / "link-to-file");
    MakeSymlink("plain", dir / "relative-link");
    MakeSymlink(dir / "folder", dir / "link-to-folder");
    MakeSymlink(dir / "missing", dir / "dangling");
    MakeFifo(dir / "fifo");
    MakeSocket(dir / "sock");
    MakeSymlink(dir / "fifo", dir / "link-to-fifo");

    PosixFileSystem fs;
    std::set<std::string> names;
    FsStatus status;
    ASSERT_TRUE(FinishesWithin(10, [&] { names = ListAll(fs, dir.path() + "/", &status); }, {dir / "fifo"}));
    EXPECT_EQ(names,
              (std::set<std::string> {"plain", ".hidden", "\xff\xfe not utf-8", "new\nline", "link-to-file",
                                      "relative-link"}));
    EXPECT_TRUE(status.ok());
}

// Where the listing gives no file types, the look at each name tells a
// file from a link, so that only links have to wait for the files before
// them; the names are those a listing with types gives.
TEST(Listing, WithoutTypesTellsFilesFromLinks)
{
    TempDir dir;
    dir.write("plain", "p");
    dir.write("other", "o");
    dir.mkdir("folder");
    MakeSymlink(dir / "plain", dir / "link-to-file");
    MakeSymlink(dir / "folder", dir / "link-to-folder");
    MakeSymlink(dir / "missing", dir / "dangling");

    TestFileSystem fs;
    fs.listingWithoutTypes = true;
    std::map<std::string, bool> mayBeLink;
    auto listing = fs.listFiles(dir.path() + "/");
    for (std::string name = listing->next(); !name.empty(); name = listing->next())
        mayBeLink[name] = listing->lastMayBeLink();
    EXPECT_EQ(mayBeLink, (std::map<std::string, bool> {{"plain", false}, {"other", false}, {"link-to-file", true}}));
    EXPECT_TRUE(listing->status().ok());
}

// A folder that cannot be opened yields nothing, and says why: it is not
// known to hold no files.
TEST(Listing, FolderThatCannotBeOpenedYieldsNothing)
{
    TempDir dir;
    dir.write("file", "f");
    dir.mkdir("locked");
    dir.write("locked/secret", "s");
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0), 0);
    PosixFileSystem fs;
    FsStatus status;
    EXPECT_EQ(ListAll(fs, dir / "missing/", &status), std::set<std::string> {});
    EXPECT_EQ(status.error, ENOENT);
    EXPECT_EQ(ListAll(fs, dir / "file/", &status), std::set<std::string> {});
    EXPECT_EQ(status.error, ENOTDIR);

    WithoutDacOverride noOverride;
    ASSERT_TRUE(noOverride.active());
    EXPECT_EQ(ListAll(fs, dir / "locked/", &status), std::set<std::string> {});
    EXPECT_EQ(status.error, EACCES);
    EXPECT_EQ(status.reason, "Permission denied");
}

// A folder whose reading fails part-way (EIO from a failing disk, ESTALE on
// a network share) gives what it read, then says why it stopped.
TEST(Listing, ReadFailingPartWayIsReported)
{
    TempDir dir;
    for (const char* name : {"a", "b", "c", "d", "e", "f"})
        dir.write(name, name);
    TestFileSystem fs;
    fs.listingError = EIO;
    fs.listingErrorAfter = 4; // in the folder's order, "." and ".." among them
    FsStatus status;
    const std::set<std::string> names = ListAll(fs, dir.path() + "/", &status);
    EXPECT_GE(names.size(), 2u);
    EXPECT_LE(names.size(), 4u);
    EXPECT_EQ(status.error, EIO);
    EXPECT_EQ(status.reason, "Input/output error");
}

// The listing of the pass that handles the files: a folder listed a moment
// before that cannot be opened again (gone, or failing) fails the listing
// with the reason, as a first listing of it does.
TEST(Listing, FolderThatCannotBeOpenedAgainFailsTheListing)
{
    TempDir dir;
    dir.write("file", "f");
    TestFileSystem fs;
    fs.openDirectoryError = EIO;
    FsStatus status;
    EXPECT_EQ(ListAll(fs, dir.path() + "/", &status), std::set<std::string> {});
    EXPECT_EQ(status.error, EIO);
    const auto again = fs.listFilesAgain(dir.path() + "/");
    EXPECT_EQ(again->next(), "");
    EXPECT_EQ(again->status().error, EIO);

    fs.openDirectoryError = 0;
    PosixFileSystem posix;
    const auto gone = posix.listFilesAgain(dir / "missing/");
    EXPECT_EQ(gone->next(), "");
    EXPECT_EQ(gone->status().error, ENOENT);
}

// A look the listing takes (at its folder, to remember the links it gives;
// at a link, whether it leads to a file; at a link given before, whether it
// still is one) is taken once more where it fails for a reason that may
// pass; where it fails again, the listing ends with the reason rather than
// pass over what may be a file.
TEST(Listing, ALookThatFailsIsTakenAgainThenEndsTheListing)
{
    struct Case {
        const char* name;
        std::string looked; // the name looked at ("" for the folder)
        int flags;
        bool again;  // the listing of the pass that handles the files
        int failing; // looks that fail: 1 passes, 2 for good
    };
    const Case cases[] = {
        {"the folder", "", AT_EMPTY_PATH, false, 1},
        {"the folder", "", AT_EMPTY_PATH, false, 2},
        {"the folder, again", "", AT_EMPTY_PATH, true, 2},
        {"a link's target", "link", 0, false, 1},
        {"a link's target", "link", 0, false, 2},
        {"a link given before", "link", AT_SYMLINK_NOFOLLOW, true, 1},
        {"a link given before", "link", AT_SYMLINK_NOFOLLOW, true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.failing == 1 ? ", once" : ", for good"));
        TempDir dir;
        dir.write("plain", "p");
        dir.write("target", "t");
        MakeSymlink("target", dir / "link");
        MakeSymlink("missing", dir / "dangling");
        TestFileSystem fs;
        FsStatus status;
        if (c.again) {
            // Counted with the link, whose target is moved away before the
            // files are handled.
            ASSERT_EQ(ListAll(fs, dir.path() + "/", &status), (std::set<std::string> {"plain", "target", "link"}));
            ASSERT_EQ(::rename((dir / "target").c_str(), (dir / "moved").c_str()), 0);
        }
        int failed = 0;
        fs.lookFault = [&](const std::string& name, int flags) {
            if (name != c.looked || flags != c.flags || failed == c.failing)
                return 0;
            ++failed;
            return EIO;
        };
        std::set<std::string> names;
        const auto listing = c.again ? fs.listFilesAgain(dir.path() + "/") : fs.listFiles(dir.path() + "/");
        for (std::string name = listing->next(); !name.empty(); name = listing->next())
            names.insert(name);
        EXPECT_EQ(failed, c.failing) << "every failing look was taken";
        if (c.failing == 1) {
            EXPECT_TRUE(listing->status().ok());
            const std::set<std::string> all = c.again ? std::set<std::string> {"plain", "moved", "link"}
                                                      : std::set<std::string> {"plain", "target", "link"};
            EXPECT_EQ(names, all);
        } else {
            EXPECT_EQ(listing->status().error, EIO);
            EXPECT_EQ(names.count("link"), 0u);
        }
    }
}

} // namespace
} // namespace quillbox::test
