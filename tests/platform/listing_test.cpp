// What a listing of a folder yields, and how it tells that it ended early.

#include <cerrno>
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

} // namespace
} // namespace quillbox::test
