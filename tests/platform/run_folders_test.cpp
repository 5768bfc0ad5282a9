// SPDX-License-Identifier: GPL-3.0-or-later
// A run's folders: which file is looked at and how a failure to look is
// told apart from a failed copy or move, where files may land (inside the
// destination's bucket folders only), how a bucket folder that changes in
// the middle of a run is met, and that a run leaves no descriptor behind.

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/platform/platform_test_tools.h"
#include "tests/support/open_descriptors.h"

namespace quillbox::test {
namespace {

constexpr TransferMode kModes[] = {TransferMode::Copy, TransferMode::Move};

// A copy tells the length before its data moves; a move within one file
// system, one rename, tells it once the name moved.
TEST(Examine, LengthIsToldOnceAndCountsPast32Bits)
{
    for (const TransferMode mode : kModes) {
        SCOPED_TRACE(ModeName(mode));
        TempDir dir;
        dir.mkdir("B");
        WriteSparse(dir / "big", 3ull << 30);
        PosixFileSystem fs;
        const Sieved done = SieveOne(fs, dir.path(), dir.path(), "big", 'B', mode,
                                     [&] { EXPECT_EQ(Exists(dir / "B/big"), mode == TransferMode::Move); });
        ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
        EXPECT_EQ(done.lengthCalls, 1);
        EXPECT_EQ(done.length, 3221225472ull);
        EXPECT_EQ(Facts(dir / "B/big").size, 3221225472ull);
    }
}

// What vanished cannot be looked at; what is no longer a file (a FIFO or a
// folder took its name) is looked at and refused. Nothing is copied or
// moved, and nothing waits for a FIFO's writer. A bucket folder that is not
// there is a failed transfer.
TEST(Examine, WhatIsNotAFileAnyMoreIsRefusedWithoutBlocking)
{
    for (const TransferMode mode : kModes) {
        for (const char* what : {"missing", "FIFO", "folder", "socket"}) {
            SCOPED_TRACE(std::string(ModeName(mode)) + ", " + what);
            TempDir dir;
            dir.mkdir("O");
            const std::string odd = dir / "odd";
            if (std::string(what) == "FIFO") {
                MakeFifo(odd);
            } else if (std::string(what) == "folder") {
                dir.mkdir("odd");
                dir.write("odd/inside", "i");
            } else if (std::string(what) == "socket") {
                MakeSocket(odd);
            }
            TestFileSystem fs;
            Sieved done;
            ASSERT_TRUE(FinishesWithin(10, [&] { done = SieveOne(fs, dir.path(), dir.path(), "odd", 'O', mode); },
                                       {odd, dir / "O/odd"}));

            const bool missing = std::string(what) == "missing";
            EXPECT_EQ(done.outcome.stage, missing ? FileStage::Examine : FileStage::Transfer);
            EXPECT_EQ(done.lengthCalls, missing ? 0 : 1);
            if (missing) {
                EXPECT_EQ(done.outcome.status.error, ENOENT);
                EXPECT_EQ(done.outcome.status.reason, "No such file or directory");
            } else if (mode == TransferMode::Move || std::string(what) != "socket") {
                EXPECT_EQ(done.outcome.status.error, EINVAL);
                EXPECT_EQ(done.outcome.status.reason, "Not a regular file");
            } else {
                EXPECT_EQ(done.outcome.status.error, ENXIO); // a socket cannot be opened
            }
            EXPECT_FALSE(Exists(dir / "O/odd"));
            EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
        }
        SCOPED_TRACE(std::string(ModeName(mode)) + ", no bucket folder");
        TempDir dir;
        dir.write("file", "f");
        PosixFileSystem fs;
        const Sieved done = SieveOne(fs, dir.path(), dir.path(), "file", 'F', mode);
        EXPECT_EQ(done.outcome.stage, FileStage::Transfer);
        EXPECT_EQ(done.outcome.status.error, ENOENT);
        EXPECT_EQ(done.lengthCalls, 1);
        EXPECT_EQ(ReadFile(dir / "file"), "f");
    }
}

// Names are bytes: invalid UTF-8 and newlines go through as they are; a
// name that would lead out of the source folder is refused.
TEST(Names, AreBytesAndStayInTheirFolder)
{
    for (const TransferMode mode : kModes) {
        SCOPED_TRACE(ModeName(mode));
        TempDir src;
        TempDir dst;
        dst.mkdir("#");
        src.mkdir("sub");
        src.write("sub/inner", "inner");
        PosixFileSystem fs;
        for (const std::string name : {"\xff\xfe not utf-8", "new\nline", " lead", "-dash"}) {
            src.write(name, name);
            const Sieved done = SieveOne(fs, src.path(), dst.path(), name, '#', mode);
            ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
            EXPECT_EQ(ReadFile(dst / ("#/" + name)), name);
            EXPECT_EQ(Exists(src / name), mode == TransferMode::Copy);
        }
        for (const std::string& name :
             {std::string("sub/inner"), std::string(".."), std::string("."), std::string(), std::string("a\0b", 3)}) {
            const Sieved done = SieveOne(fs, src.path(), dst.path(), name, '#', mode);
            EXPECT_EQ(done.outcome.stage, FileStage::Examine) << name;
        }
        EXPECT_TRUE(Exists(src / "sub/inner"));
    }
}

// A bucket folder that is a link is not followed: nothing lands where it
// points, and the source stays.
TEST(Buckets, LinkedBucketIsNotFollowed)
{
    for (const TransferMode mode : kModes) {
        SCOPED_TRACE(ModeName(mode));
        TempDir src;
        TempDir dst;
        TempDir elsewhere;
        src.write("cherry", "c");
        MakeSymlink(elsewhere.path(), dst / "C");
        PosixFileSystem fs;
        const Sieved done = SieveOne(fs, src.path(), dst.path(), "cherry", 'C', mode);
        EXPECT_EQ(done.outcome.stage, FileStage::Transfer);
        EXPECT_EQ(done.outcome.status.error, ELOOP);
        EXPECT_EQ(done.outcome.status.reason, "The folder " + dst.path() + "/C is a symbolic link and is not followed");
        EXPECT_EQ(elsewhere.names(), std::set<std::string> {});
        EXPECT_EQ(ReadFile(src / "cherry"), "c");
    }
}

// A bucket folder renamed away in the middle of a run, and another made in
// its place, receives no more files once the handles are looked at again,
// at most kRecheckMs later.
TEST(Buckets, ReplacedBucketGetsNoMoreFilesAfterTheRecheck)
{
    for (const TransferMode mode : kModes) {
        SCOPED_TRACE(ModeName(mode));
        TempDir src;
        TempDir dst;
        dst.mkdir("R");
        for (const char* name : {"r1", "r2", "r3"})
            src.write(name, name);
        TestFileSystem fs;
        fs.clockMs = 1000;
        auto folders = fs.openRun(src.path() + "/", dst.path() + "/");
        ASSERT_TRUE(folders->sieveFile("r1", 'R', mode, {}, nullptr).ok());
        ASSERT_EQ(::rename((dst / "R").c_str(), (dst / "R-away").c_str()), 0);
        dst.mkdir("R");
        // Within the interval the open handle still leads to the folder it was.
        fs.clockMs += 100;
        ASSERT_TRUE(folders->sieveFile("r2", 'R', mode, {}, nullptr).ok());
        fs.clockMs += 150;
        ASSERT_TRUE(folders->sieveFile("r3", 'R', mode, {}, nullptr).ok());
        EXPECT_EQ(dst.names("R-away"), (std::set<std::string> {"r1", "r2"}));
        EXPECT_EQ(dst.names("R"), std::set<std::string> {"r3"});
    }
}

// A bucket folder that is missing makes every file into it fail, and those
// failures must not keep the folder from receiving files once someone makes
// it in the middle of a run, by move or by copy, and from the first file on.
TEST(MissingFolder, FilesReachItAsSoonAsItIsMade)
{
    TempDir src;
    TempDir dst;
    TestFileSystem fs;
    fs.clockMs = 0; // no recheck: the missing folders alone bring them in
    auto folders = fs.openRun(src.path() + "/", dst.path() + "/");
    const auto fail = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::string name = "lost" + std::to_string(i);
            src.write(name, name);
            const FileOutcome moved = folders->sieveFile(name, 'A', TransferMode::Move, {}, nullptr);
            EXPECT_EQ(moved.status.error, ENOENT) << i;
            const FileOutcome copied = folders->sieveFile(name, 'B', TransferMode::Copy, {}, nullptr);
            EXPECT_EQ(copied.status.error, ENOENT) << i;
            EXPECT_TRUE(Exists(src / name));
        }
    };
    for (const int failures : {3, 150}) {
        SCOPED_TRACE(failures);
        fail(failures);
        dst.mkdir("A");
        dst.mkdir("B");
        src.write("kept", "kept");
        const FileOutcome copied = folders->sieveFile("kept", 'B', TransferMode::Copy, {}, nullptr);
        ASSERT_TRUE(copied.ok()) << copied.status.reason;
        const FileOutcome moved = folders->sieveFile("kept", 'A', TransferMode::Move, {}, nullptr);
        ASSERT_TRUE(moved.ok()) << moved.status.reason;
        EXPECT_EQ(ReadFile(dst / "A/kept"), "kept");
        EXPECT_EQ(ReadFile(dst / "B/kept"), "kept");
        EXPECT_FALSE(Exists(src / "kept"));
        RemoveTree(dst / "A");
        RemoveTree(dst / "B");
        fs.clockMs += 1000; // the removed folders' handles go
    }
}

// Once a run's folders go, and its listing ends or goes, the process holds
// nothing open on the folders, whatever the files did meanwhile.
TEST(Handles, NothingStaysOpenAfterTheRun)
{
    TempDir src;
    TempDir dst;
    dst.mkdir("A");
    dst.mkdir("B");
    for (const char* name : {"a1", "a2", "b1"})
        src.write(name, name);
    MakeFifo(src / "fifo");
    TestFileSystem fs;
    fs.noReplaceError = EXDEV;
    {
        auto listing = fs.listFiles(src.path() + "/");
        auto folders = fs.openRun(src.path() + "/", dst.path() + "/");
        EXPECT_GT(OpenDescriptorsUnder(src.path()), 0);
        ASSERT_TRUE(folders->sieveFile("a1", 'A', TransferMode::Copy, {}, nullptr).ok());
        ASSERT_TRUE(folders->sieveFile("a2", 'A', TransferMode::Move, {}, nullptr).ok());
        ASSERT_TRUE(folders->sieveFile("b1", 'B', TransferMode::Move, {}, nullptr).ok());
        EXPECT_FALSE(folders->sieveFile("fifo", 'F', TransferMode::Copy, {}, nullptr).ok());
        EXPECT_FALSE(folders->sieveFile("gone", 'G', TransferMode::Move, {}, nullptr).ok());
        EXPECT_GT(OpenDescriptorsUnder(dst.path()), 0);
        while (!listing->next().empty()) {}
        folders.reset();
        EXPECT_EQ(OpenDescriptorsUnder(src.path()), 0) << "the finished listing closed its folder";
        EXPECT_EQ(OpenDescriptorsUnder(dst.path()), 0);
    }
    {
        auto listing = fs.listFiles(src.path() + "/");
        listing->next();
        listing.reset();
        EXPECT_EQ(OpenDescriptorsUnder(src.path()), 0) << "an unfinished listing closes its folder when it goes";
    }
}

// A move between local folders (the disk the tests run on, memory) goes one
// file at a time: its renames wait for each other in the source folder.
TEST(FilesInFlight, LocalMovesAreHandledOneFileAtATime)
{
    TempDir disk;
    TempDir memory("/dev/shm");
    PosixFileSystem fs;
    const auto workers = [&](const std::string& from, const std::string& to) {
        return fs.filesInFlight(from, to, TransferMode::Move).workers;
    };
    EXPECT_EQ(workers(disk.path() + "/", memory.path() + "/"), 1);
    EXPECT_EQ(workers(memory.path() + "/", disk.path() + "/"), 1);
    EXPECT_EQ(workers(disk.path() + "/gone/", disk.path() + "/"), 1) << "a folder that is not there";
}

} // namespace
} // namespace quillbox::test
