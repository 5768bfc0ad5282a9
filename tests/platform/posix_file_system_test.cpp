// The Linux file operations against real folders: what a listing yields,
// lengths past 32 bits, and that copy and move never lose, half-write or
// replace what they must not, on every path they can take.

#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/fault_tools.h"
#include "tests/support/temp_dir.h"

namespace quillbox::test {
namespace {

std::set<std::string> ListAll(FileSystem& fs, const std::string& folder)
{
    std::set<std::string> names;
    auto listing = fs.listFiles(folder);
    for (std::string name = listing->next(); !name.empty(); name = listing->next())
        names.insert(name);
    EXPECT_EQ(listing->next(), "") << "a finished listing stays finished";
    return names;
}

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
    ASSERT_TRUE(FinishesWithin(10, [&] { names = ListAll(fs, dir.path() + "/"); }, {dir / "fifo"}));
    EXPECT_EQ(names, (std::set<std::string> {"plain", ".hidden", "\xff\xfe not utf-8", "new\nline",
                                             "link-to-file", "relative-link"}));
}

TEST(Listing, FolderThatCannotBeReadYieldsNothing)
{
    TempDir dir;
    dir.write("file", "f");
    PosixFileSystem fs;
    EXPECT_EQ(ListAll(fs, dir / "missing/"), std::set<std::string> {});
    EXPECT_EQ(ListAll(fs, dir / "file/"), std::set<std::string> {});

    dir.mkdir("locked");
    dir.write("locked/secret", "s");
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0), 0);
    WithoutDacOverride noOverride;
    if (!noOverride.active())
        GTEST_SKIP() << "cannot drop CAP_DAC_OVERRIDE";
    EXPECT_EQ(ListAll(fs, dir / "locked/"), std::set<std::string> {});
}

TEST(Length, ThreeGiBSparseFileCountsInFull)
{
    TempDir dir;
    WriteSparse(dir / "big", 3ull << 30);
    PosixFileSystem fs;
    const FsLength length = fs.fileLength(dir / "big");
    EXPECT_TRUE(length.status.ok());
    EXPECT_EQ(length.bytes, 3221225472ull);

    const FsLength missing = fs.fileLength(dir / "gone");
    EXPECT_EQ(missing.status.error, ENOENT);
    EXPECT_EQ(missing.status.reason, "No such file or directory");
}

// Mode bits (including those the umask would take away and the special
// ones) and the modification time to the nanosecond travel with the data.
TEST(Copy, ReplacesTheTargetWholeWithModeAndTimeKept)
{
    for (const mode_t mode : {0644, 0640, 0444, 0, 0777, 0707, 04755}) {
        SCOPED_TRACE(std::to_string(mode));
        TempDir dir;
        dir.mkdir("B");
        const std::string content = Pattern(3 << 20, mode);
        dir.write("source", content);
        ASSERT_EQ(::chmod((dir / "source").c_str(), mode), 0);
        SetMtime(dir / "source", 1000000000, 123456789);
        dir.write("B/source", "an older, shorter file");

        PosixFileSystem fs;
        const FsStatus status = fs.copyFile(dir / "source", dir / "B/source", nullptr);

        ASSERT_TRUE(status.ok()) << status.reason;
        EXPECT_EQ(ReadFile(dir / "B/source"), content);
        const FileFacts facts = Facts(dir / "B/source");
        EXPECT_EQ(facts.mode, mode);
        EXPECT_EQ(facts.mtimeSec, 1000000000);
        EXPECT_EQ(facts.mtimeNsec, 123456789);
        EXPECT_EQ(ReadFile(dir / "source"), content);
        EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
    }
}

TEST(Copy, OntoItselfKeepsTheData)
{
    TempDir dir;
    const std::string content = Pattern(100000);
    dir.write("self", content);
    MakeSymlink(dir / "self", dir / "alias");
    PosixFileSystem fs;

    for (const std::string& target : {dir / "self", dir / "./self"}) {
        EXPECT_TRUE(fs.copyFile(dir / "self", target, nullptr).ok());
        EXPECT_EQ(ReadFile(dir / "self"), content);
    }
    // A link whose file is the target: the data survives.
    EXPECT_TRUE(fs.copyFile(dir / "alias", dir / "self", nullptr).ok());
    EXPECT_EQ(ReadFile(dir / "self"), content);
    EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
}

// A copy that cannot finish (file-size limit, or a full file system) keeps
// the old target as it was and leaves no temporary file.
TEST(Copy, FailingHalfWayLeavesTheOldTargetWhole)
{
    const std::string content = Pattern(3 << 20);
    const std::string old = Pattern(100000, 2);
    {
        SCOPED_TRACE("file-size limit");
        TempDir dir;
        dir.write("source", content);
        dir.mkdir("S");
        dir.write("S/source", old);
        PosixFileSystem fs;
        FsStatus status;
        {
            FileSizeLimit limit(1 << 20);
            status = fs.copyFile(dir / "source", dir / "S/source", nullptr);
        }
        EXPECT_EQ(status.error, EFBIG);
        EXPECT_EQ(status.reason, "File too large");
        EXPECT_EQ(ReadFile(dir / "S/source"), old);
        EXPECT_EQ(ReadFile(dir / "source"), content);
        EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
    }
    {
        SCOPED_TRACE("full file system");
        TmpfsMount small("1m");
        if (!small.mounted())
            GTEST_SKIP() << "cannot mount a tmpfs here";
        TempDir dir;
        dir.write("source", content);
        ASSERT_EQ(::mkdir((small / "S").c_str(), 0755), 0);
        PosixFileSystem fs;
        {
            const int fd = ::open((small / "S/source").c_str(), O_WRONLY | O_CREAT, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, old.data(), old.size()), static_cast<ssize_t>(old.size()));
            ::close(fd);
        }
        const FsStatus status = fs.copyFile(dir / "source", small / "S/source", nullptr);
        EXPECT_EQ(status.error, ENOSPC);
        EXPECT_EQ(status.reason, "No space left on device");
        EXPECT_EQ(ReadFile(small / "S/source"), old);
        EXPECT_EQ(TemporaryLeftovers(small.path()), std::vector<std::string> {});
    }
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (::readdir(fds) != nullptr)
            ++count;
        ::closedir(fds);
    }
    return count;
}

// A copy reads the very file whose length was read just before: one opened
// then, whatever happens to its name in between.
TEST(CopyAfterLength, CopiesTheFileThatWasMeasured)
{
    TempDir dir;
    dir.mkdir("B");
    const std::string measured = Pattern(200000, 1);
    const std::string later = Pattern(300000, 2);
    const int descriptors = OpenDescriptors();
    {
        SCOPED_TRACE("replaced between length and copy");
        dir.write("file", measured);
        dir.write("newer", later);
        PosixFileSystem fs;
        const FsLength length = fs.lengthBeforeCopy(dir / "file");
        ASSERT_TRUE(length.status.ok());
        EXPECT_EQ(length.bytes, measured.size());
        ASSERT_EQ(::rename((dir / "newer").c_str(), (dir / "file").c_str()), 0);
        ASSERT_TRUE(fs.copyFile(dir / "file", dir / "B/file", nullptr).ok());
        EXPECT_EQ(ReadFile(dir / "B/file"), measured);
    }
    {
        SCOPED_TRACE("length of another file first");
        dir.write("one", measured);
        dir.write("two", later);
        PosixFileSystem fs;
        EXPECT_EQ(fs.lengthBeforeCopy(dir / "one").bytes, measured.size());
        ASSERT_TRUE(fs.copyFile(dir / "two", dir / "B/two", nullptr).ok());
        EXPECT_EQ(ReadFile(dir / "B/two"), later);
        // The kept file is not used for a later copy of its name either.
        ASSERT_TRUE(fs.copyFile(dir / "one", dir / "B/one", nullptr).ok());
        EXPECT_EQ(ReadFile(dir / "B/one"), measured);
    }
    {
        SCOPED_TRACE("nothing stays open");
        PosixFileSystem fs;
        fs.lengthBeforeCopy(dir / "one");
        fs.fileLength(dir / "two");
        fs.lengthBeforeCopy(dir / "two");
        EXPECT_TRUE(fs.moveFile(dir / "two", dir / "B/moved", nullptr).ok());
        fs.lengthBeforeCopy(dir / "one");
        fs.listFiles(dir.path());
        fs.lengthBeforeCopy(dir / "one");
        fs.createFolder(dir / "C");
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
}

// What cannot be opened, or is not a file, still has its length read as
// before; the copy is what fails, and says why.
TEST(CopyAfterLength, UnreadableOrSpecialFilesFailAtTheCopy)
{
    {
        SCOPED_TRACE("unreadable");
        TempDir dir;
        dir.mkdir("U");
        dir.write("secret", "12345");
        ASSERT_EQ(::chmod((dir / "secret").c_str(), 0), 0);
        WithoutDacOverride noOverride;
        if (noOverride.active()) {
            PosixFileSystem fs;
            const FsLength length = fs.lengthBeforeCopy(dir / "secret");
            ASSERT_TRUE(length.status.ok()) << length.status.reason;
            EXPECT_EQ(length.bytes, 5u);
            const FsStatus status = fs.copyFile(dir / "secret", dir / "U/secret", nullptr);
            EXPECT_EQ(status.error, EACCES);
            EXPECT_FALSE(Exists(dir / "U/secret"));
        }
    }
    {
        SCOPED_TRACE("missing");
        TempDir dir;
        PosixFileSystem fs;
        EXPECT_EQ(fs.lengthBeforeCopy(dir / "gone").status.error, ENOENT);
    }
    {
        SCOPED_TRACE("FIFO");
        TempDir dir;
        dir.mkdir("F");
        MakeFifo(dir / "pipe");
        PosixFileSystem fs;
        FsStatus status;
        FsLength length;
        ASSERT_TRUE(FinishesWithin(10, [&] {
            length = fs.lengthBeforeCopy(dir / "pipe");
            status = fs.copyFile(dir / "pipe", dir / "F/pipe", nullptr);
        }, {dir / "pipe"}));
        EXPECT_TRUE(length.status.ok());
        EXPECT_EQ(status.reason, "Not a regular file");
        EXPECT_FALSE(Exists(dir / "F/pipe"));
        EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
    }
}

// What took a listed file's place (a FIFO, a folder) is neither copied nor
// moved, on any path a move can take, and nothing waits for a FIFO's writer.
TEST(SpecialFile, WhatIsNotAFileIsRefusedWithoutBlocking)
{
    struct Case {
        const char* name;
        int injected; // 0: copy; else the move's path, as in the move tests
        bool move;
    };
    for (const bool folder : {false, true}) {
        for (const Case c : {Case {"copy", 0, false}, Case {"move", 0, true}, Case {"link and unlink", EINVAL, true},
                             Case {"across file systems", EXDEV, true}}) {
            SCOPED_TRACE(std::string(folder ? "folder, " : "FIFO, ") + c.name);
            TempDir dir;
            dir.mkdir("F");
            if (folder) {
                dir.mkdir("odd");
                dir.write("odd/inside", "i");
            } else {
                MakeFifo(dir / "odd");
            }
            TestFileSystem fs;
            fs.noReplaceError = c.injected;

            FsStatus status;
            ASSERT_TRUE(FinishesWithin(10, [&] {
                status = c.move ? fs.moveFile(dir / "odd", dir / "F/odd", nullptr)
                                : fs.copyFile(dir / "odd", dir / "F/odd", nullptr);
            }, {dir / "odd", dir / "F/odd"}));

            EXPECT_EQ(status.error, EINVAL);
            EXPECT_EQ(status.reason, "Not a regular file");
            EXPECT_FALSE(Exists(dir / "F/odd"));
            EXPECT_TRUE(Exists(dir / (folder ? "odd/inside" : "odd")));
            EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
        }
    }
}

// Moving never replaces, whichever way the move goes: renameat2 with
// RENAME_NOREPLACE, link + unlink where the flag is refused (EINVAL), or a
// copy where the target is on another file system (EXDEV).
TEST(Move, NeverReplacesAndKeepsEverythingOnEveryPath)
{
    struct Case {
        const char* name;
        int injected;
    };
    for (const Case c : {Case {"renameat2", 0}, Case {"link and unlink", EINVAL}, Case {"across file systems", EXDEV}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.mkdir("M");
        const std::string content = Pattern(300000, 3);
        dir.write("mine", content);
        ASSERT_EQ(::chmod((dir / "mine").c_str(), 0600), 0);
        SetMtime(dir / "mine", 1200000000, 5);
        dir.write("M/mine", "already there");
        TestFileSystem fs;
        fs.noReplaceError = c.injected;

        const FsStatus refused = fs.moveFile(dir / "mine", dir / "M/mine", nullptr);
        EXPECT_EQ(refused.error, EEXIST);
        EXPECT_EQ(refused.reason, "File exists");
        EXPECT_EQ(ReadFile(dir / "M/mine"), "already there");
        EXPECT_EQ(ReadFile(dir / "mine"), content);

        ASSERT_EQ(::unlink((dir / "M/mine").c_str()), 0);
        const FsStatus moved = fs.moveFile(dir / "mine", dir / "M/mine", nullptr);
        ASSERT_TRUE(moved.ok()) << moved.reason;
        EXPECT_FALSE(Exists(dir / "mine"));
        EXPECT_EQ(ReadFile(dir / "M/mine"), content);
        const FileFacts facts = Facts(dir / "M/mine");
        EXPECT_EQ(facts.mode, 0600u);
        EXPECT_EQ(facts.mtimeSec, 1200000000);
        EXPECT_EQ(facts.mtimeNsec, 5);
        EXPECT_GE(fs.noReplaceCalls, 2);
        EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
    }
}

// Folders are looked up through handles kept between listings; however many
// folders the calls touch, every copy and move still reaches its file.
TEST(Move, RightFilesHoweverManyFoldersAreTouched)
{
    TempDir dir;
    dir.mkdir("first");
    dir.write("first/file", "f");
    PosixFileSystem fs;
    EXPECT_TRUE(fs.fileLength(dir / "first/file").status.ok());
    for (int i = 0; i < 80; ++i) {
        SCOPED_TRACE(i);
        const std::string from = "from" + std::to_string(i);
        const std::string to = "to" + std::to_string(i);
        dir.mkdir(from);
        dir.mkdir(to);
        dir.write(from + "/file", from);
        const FsStatus moved = fs.moveFile(dir / (from + "/file"), dir / (to + "/file"), nullptr);
        ASSERT_TRUE(moved.ok()) << moved.reason;
        const FsStatus copied = fs.copyFile(dir / (to + "/file"), dir / (from + "/back"), nullptr);
        ASSERT_TRUE(copied.ok()) << copied.reason;
        EXPECT_EQ(ReadFile(dir / (from + "/back")), from);
        EXPECT_FALSE(Exists(dir / (from + "/file")));
    }
}

// A bucket folder that is missing makes every file into it fail, and those
// failures must not keep the folder from receiving files once someone makes
// it in the middle of a run, by move or by copy, and from the first file on.
TEST(MissingFolder, FilesReachItAsSoonAsItIsMade)
{
    TempDir dir;
    dir.mkdir("source");
    PosixFileSystem fs;
    const auto fail = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::string name = "lost" + std::to_string(i);
            dir.write("source/" + name, name);
            EXPECT_TRUE(fs.fileLength(dir / ("source/" + name)).status.ok());
            const FsStatus moved = fs.moveFile(dir / ("source/" + name), dir / ("A/" + name), nullptr);
            EXPECT_EQ(moved.error, ENOENT) << i;
            const FsStatus copied = fs.copyFile(dir / ("source/" + name), dir / ("B/" + name), nullptr);
            EXPECT_EQ(copied.error, ENOENT) << i;
            EXPECT_TRUE(Exists(dir / ("source/" + name)));
        }
    };
    // A few failures, then well past the point where the folder is tried again.
    for (const int failures : {3, 150}) {
        SCOPED_TRACE(failures);
        fail(failures);
        dir.mkdir("A");
        dir.mkdir("B");
        dir.write("source/kept", "kept");
        ASSERT_TRUE(fs.lengthBeforeCopy(dir / "source/kept").status.ok());
        const FsStatus copied = fs.copyFile(dir / "source/kept", dir / "B/kept", nullptr);
        ASSERT_TRUE(copied.ok()) << copied.reason;
        ASSERT_TRUE(fs.fileLength(dir / "source/kept").status.ok());
        const FsStatus moved = fs.moveFile(dir / "source/kept", dir / "A/kept", nullptr);
        ASSERT_TRUE(moved.ok()) << moved.reason;
        EXPECT_EQ(ReadFile(dir / "A/kept"), "kept");
        EXPECT_EQ(ReadFile(dir / "B/kept"), "kept");
        EXPECT_FALSE(Exists(dir / "source/kept"));

        // Gone again: the handle kept for it must not lead files astray.
        RemoveTree(dir / "A");
        RemoveTree(dir / "B");
        dir.write("source/after", "after");
        ASSERT_TRUE(fs.fileLength(dir / "source/after").status.ok());
        EXPECT_FALSE(fs.moveFile(dir / "source/after", dir / "A/after", nullptr).ok());
        EXPECT_TRUE(Exists(dir / "source/after"));
        ASSERT_EQ(::unlink((dir / "source/after").c_str()), 0);
        // The listing of a new pass drops whatever the last one knew.
        fs.listFiles(dir.path());
    }
}

// Across file systems the target appears only when complete, and the
// source goes only after that.
TEST(Move, AcrossFileSystemsTheTargetIsCompleteBeforeTheSourceGoes)
{
    TmpfsMount other("64m");
    TempDir dir;
    const std::string bucket = other.mounted() ? other / "Q" : dir / "Q";
    ASSERT_EQ(::mkdir(bucket.c_str(), 0755), 0);
    const std::string content = Pattern(20 << 20, 4);
    dir.write("quill", content);
    TestFileSystem fs;
    if (!other.mounted())
        fs.noReplaceError = EXDEV; // the same code path, on one file system

    int chunks = 0;
    const FsStatus status = fs.moveFile(dir / "quill", bucket + "/quill", [&] {
        ++chunks;
        EXPECT_EQ(Facts(dir / "quill").size, content.size());
        EXPECT_FALSE(Exists(bucket + "/quill"));
    });

    ASSERT_TRUE(status.ok()) << status.reason;
    EXPECT_GE(chunks, 2);
    EXPECT_EQ(ReadFile(bucket + "/quill"), content);
    EXPECT_FALSE(Exists(dir / "quill"));
    EXPECT_EQ(TemporaryLeftovers(bucket), std::vector<std::string> {});
}

TEST(Move, AcrossFileSystemsFailingHalfWayKeepsTheSource)
{
    const std::string content = Pattern(3 << 20, 5);
    {
        SCOPED_TRACE("file-size limit");
        TempDir dir;
        dir.mkdir("S");
        dir.write("source", content);
        TestFileSystem fs;
        fs.noReplaceError = EXDEV;
        FsStatus status;
        {
            FileSizeLimit limit(1 << 20);
            status = fs.moveFile(dir / "source", dir / "S/source", nullptr);
        }
        EXPECT_EQ(status.error, EFBIG);
        EXPECT_EQ(ReadFile(dir / "source"), content);
        EXPECT_FALSE(Exists(dir / "S/source"));
        EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
    }
    {
        SCOPED_TRACE("source that cannot be removed");
        TempDir dir;
        dir.mkdir("from");
        dir.mkdir("S");
        dir.write("from/source", content);
        TestFileSystem fs;
        fs.noReplaceError = EXDEV;
        FsStatus status;
        bool bound = false;
        ASSERT_EQ(::chmod((dir / "from").c_str(), 0555), 0);
        {
            WithoutDacOverride permissions;
            bound = permissions.active();
            if (bound)
                status = fs.moveFile(dir / "from/source", dir / "S/source", nullptr);
        }
        ::chmod((dir / "from").c_str(), 0755);
        // Nothing moved, so nothing may stand in the bucket either. (Where
        // the permission bits cannot be made to bind, the case is left out.)
        if (bound) {
            EXPECT_EQ(status.error, EACCES);
            EXPECT_EQ(ReadFile(dir / "from/source"), content);
            EXPECT_FALSE(Exists(dir / "S/source"));
            EXPECT_EQ(TemporaryLeftovers(dir / "S"), std::vector<std::string> {});
        }
    }
    {
        SCOPED_TRACE("full file system");
        TmpfsMount small("1m");
        if (!small.mounted())
            GTEST_SKIP() << "cannot mount a tmpfs here";
        TempDir dir;
        dir.write("source", content);
        ASSERT_EQ(::mkdir((small / "S").c_str(), 0755), 0);
        PosixFileSystem fs;
        const FsStatus status = fs.moveFile(dir / "source", small / "S/source", nullptr);
        EXPECT_EQ(status.error, ENOSPC);
        EXPECT_EQ(ReadFile(dir / "source"), content);
        EXPECT_FALSE(Exists(small / "S/source"));
        EXPECT_EQ(TemporaryLeftovers(small.path()), std::vector<std::string> {});
    }
}

} // namespace
} // namespace quillbox::test
