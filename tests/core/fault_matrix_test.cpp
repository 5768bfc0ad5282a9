// Whole runs against folders that go wrong on purpose. Whatever happens,
// the run ends through its usual ending, no file is lost
// or cut short, no temporary file is left, every failure is logged with the
// platform's reason, and nothing hangs.

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/core/run_world.h"

namespace quillbox::test {
namespace {

// Runs the sieve, failing the test rather than hanging when it blocks; a
// blocked reader of one of `fifos` is let go.
void RunBounded(RunWorld& w, const std::vector<std::string>& fifos = {})
{
    ASSERT_TRUE(FinishesWithin(60, [&] { w.Sieve(); }, fifos)) << "the run blocked";
}

TEST_F(RunFixture, MoveOntoAnExistingFileKeepsBoth)
{
    source.write("apple", "new");
    source.write("berry", "b");
    destination.mkdir("A");
    destination.write("A/apple", "old");
    move = true;

    RunBounded(*this);

    EXPECT_EQ(ReadFile(source / "apple"), "new");
    EXPECT_EQ(ReadFile(destination / "A/apple"), "old");
    EXPECT_EQ(ReadFile(destination / "B/berry"), "b");
    EXPECT_EQ(MessagesStartingWith("Could not"),
              std::vector<std::string> {"Could not copy/move file apple. File exists."});
    ExpectEndedCleanly();
}

TEST_F(RunFixture, CopyReplacesAnExistingFileWhole)
{
    const std::string content = Pattern(20 << 20);
    source.write("apple", content);
    destination.mkdir("A");
    destination.write("A/apple", "old and short");

    RunBounded(*this);

    EXPECT_EQ(ReadFile(destination / "A/apple"), content);
    EXPECT_EQ(MessagesStartingWith("Could not"), std::vector<std::string> {});
    ExpectEndedCleanly();
}

TEST_F(RunFixture, CopyThatCannotFinishLeavesTheOldFileAndGoesOn)
{
    const std::string big = Pattern(3 << 20);
    const std::string old = Pattern(1000, 9);
    source.write("big", big);
    source.write("small", "s");
    destination.mkdir("B");
    destination.write("B/big", old);

    {
        FileSizeLimit limit(1 << 20);
        RunBounded(*this);
    }

    EXPECT_EQ(ReadFile(destination / "B/big"), old);
    EXPECT_EQ(ReadFile(source / "big"), big);
    EXPECT_EQ(ReadFile(destination / "S/small"), "s");
    EXPECT_EQ(MessagesStartingWith("Could not"),
              std::vector<std::string> {"Could not copy/move file big. File too large."});
    ExpectEndedCleanly();
}

// The bucket folder is the source folder: "apple" inside "A" lands on itself.
TEST(FaultSelf, FileOntoItselfIsUnchanged)
{
    for (const bool move : {false, true}) {
        SCOPED_TRACE(move ? "move" : "copy");
        RunWorld w;
        w.destination.mkdir("A");
        const std::string content = Pattern(500000);
        w.destination.write("A/apple", content);
        w.destination.write("A/berry", "b");
        w.sourcePath = w.destination / "A";
        w.move = move;

        RunBounded(w);

        EXPECT_EQ(ReadFile(w.destination / "A/apple"), content);
        EXPECT_EQ(ReadFile(w.destination / "B/berry"), "b");
        EXPECT_EQ(Exists(w.destination / "A/berry"), !move);
        EXPECT_EQ(w.MessagesStartingWith("Could not"),
                  move ? std::vector<std::string> {"Could not copy/move file apple. File exists."}
                       : std::vector<std::string> {});
        w.ExpectEndedCleanly();
    }
}

// Move into a bucket folder on another file system: what fits arrives whole
// and its source goes; what does not fit keeps its source and leaves no
// partial copy.
TEST(FaultCrossDevice, MoveKeepsTheSourceOfWhatCouldNotBeCopied)
{
    RunWorld w;
    TmpfsMount other("1m");
    if (!other.mounted())
        GTEST_SKIP() << "needs a tmpfs of its own (run as root)";
    w.destinationPath = other.path();
    const std::string destination = other.mounted() ? other.path() : w.destination.path();
    const std::string big = Pattern(2 << 20, 3);
    w.source.write("apple", "a");
    w.source.write("big", big);
    w.move = true;

    RunBounded(w);

    EXPECT_EQ(ReadFile(destination + "/A/apple"), "a");
    EXPECT_FALSE(Exists(w.source / "apple"));
    EXPECT_EQ(ReadFile(w.source / "big"), big);
    EXPECT_FALSE(Exists(destination + "/B/big"));
    EXPECT_EQ(w.MessagesStartingWith("Could not"),
              std::vector<std::string> {std::string("Could not copy/move file big. ") +
                                        "No space left on device."});
    EXPECT_EQ(TemporaryLeftovers(destination), std::vector<std::string> {});
    w.ExpectEndedCleanly();
}

// Permission and shape problems of single files: one entry each, with the
// platform's reason, and the other files are still handled.
TEST(FaultPermissions, EachFailingFileGetsOneEntryAndTheRunGoesOn)
{
    struct Case {
        const char* name;
        bool move;
        std::function<void(RunWorld&)> arrange;
        std::string entry;
        bool needsNoOverride;
    };
    const Case cases[] = {
        {"unreadable source, copy", false,
         [](RunWorld& w) { ::chmod((w.source / "apple").c_str(), 0); },
         "Could not copy/move file apple. Permission denied.", true},
        {"bucket not writable, copy", false,
         [](RunWorld& w) { w.destination.mkdir("A"); ::chmod((w.destination / "A").c_str(), 0555); },
         "Could not copy/move file apple. Permission denied.", true},
        {"bucket not writable, move", true,
         [](RunWorld& w) { w.destination.mkdir("A"); ::chmod((w.destination / "A").c_str(), 0555); },
         "Could not copy/move file apple. Permission denied.", true},
        {"target is a folder, copy", false,
         [](RunWorld& w) { w.destination.mkdir("A"); w.destination.mkdir("A/apple"); },
         "Could not copy/move file apple. Is a directory.", false},
        {"target is a folder, move", true,
         [](RunWorld& w) { w.destination.mkdir("A"); w.destination.mkdir("A/apple"); },
         "Could not copy/move file apple. File exists.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunWorld w;
        const std::string content = Pattern(10000);
        w.source.write("apple", content);
        w.source.write("berry", "b");
        w.move = c.move;
        c.arrange(w);
        {
            WithoutDacOverride noOverride;
            if (c.needsNoOverride && !noOverride.active())
                GTEST_SKIP() << "cannot drop CAP_DAC_OVERRIDE";
            RunBounded(w);
        }
        EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {c.entry});
        EXPECT_EQ(ReadFile(w.source / "apple"), content);
        EXPECT_EQ(ReadFile(w.destination / "B/berry"), "b");
        EXPECT_EQ(w.LastMessages(2)[0], "Operation complete. 2 file(s) processed.");
        w.ExpectEndedCleanly();
    }
}

// What is not a file is passed over by both passes; a link to a file is
// handled like one (copied as its data, moved as the link).
TEST(FaultSpecialFiles, NothingBlocksAndOnlyFilesAreHandled)
{
    for (const bool move : {false, true}) {
        SCOPED_TRACE(move ? "move" : "copy");
        RunWorld w;
        TempDir elsewhere;
        elsewhere.write("real", "linked data");
        elsewhere.mkdir("folder");
        w.source.write("plain", "p");
        MakeFifo(w.source / "fifo");
        MakeSocket(w.source / "sock");
        MakeSymlink(elsewhere / "folder", w.source / "link-folder");
        MakeSymlink(elsewhere / "gone", w.source / "dangling");
        MakeSymlink(elsewhere / "real", w.source / "link-file");
        w.move = move;

        RunBounded(w, {w.source / "fifo"});

        EXPECT_EQ(w.MessagesStartingWith("Found"), std::vector<std::string> {"Found 2 file(s) for processing."});
        EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {});
        EXPECT_EQ(ReadFile(w.destination / "P/plain"), "p");
        EXPECT_EQ(ReadFile(w.destination / "L/link-file"), "linked data");
        EXPECT_EQ(ReadFile(elsewhere / "real"), "linked data");
        struct stat st {};
        ASSERT_EQ(::lstat((w.destination / "L/link-file").c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), move);
        std::set<std::string> left {"fifo", "sock", "link-folder", "dangling"};
        if (!move)
            left.insert({"plain", "link-file"});
        EXPECT_EQ(w.source.names(), left);
        EXPECT_EQ(w.destination.names("F"), std::set<std::string> {});
        EXPECT_EQ(w.destination.names("S"), std::set<std::string> {});
        EXPECT_EQ(w.destination.names("D"), std::set<std::string> {});
        w.ExpectEndedCleanly();
    }
}

// A listed file that turns into a FIFO or a folder before it is handled is
// left where it is, by copy and by move.
TEST(FaultSwappedIn, NotAFileAnyMoreIsRefused)
{
    for (const bool move : {false, true}) {
        for (const bool folder : {false, true}) {
            SCOPED_TRACE(std::string(move ? "move, " : "copy, ") + (folder ? "folder" : "FIFO"));
            RunWorld w;
            w.source.write("apple", "a");
            w.source.write("fig", "f");
            w.move = move;
            w.fs.beforeFile = [&](const std::string& name, int) {
                const std::string path = w.source / name;
                if (name != "fig" || !Exists(path))
                    return;
                ::unlink(path.c_str());
                if (folder) {
                    w.source.mkdir("fig");
                    w.source.write("fig/inside", "i");
                } else {
                    MakeFifo(path);
                }
            };

            RunBounded(w, {w.source / "fig", w.destination / "F/fig"});

            EXPECT_EQ(w.MessagesStartingWith("Could not"),
                      std::vector<std::string> {"Could not copy/move file fig. Not a regular file."});
            EXPECT_FALSE(Exists(w.destination / "F/fig"));
            EXPECT_TRUE(Exists(w.source / (folder ? "fig/inside" : "fig")));
            EXPECT_EQ(ReadFile(w.destination / "A/apple"), "a");
            w.ExpectEndedCleanly();
        }
    }
}

// Names are bytes from listing to copy or move, and a failure entry names
// the file exactly.
TEST(FaultNames, EveryNameReachesItsBucketIntact)
{
    struct Case {
        std::string name;
        char bucket;
    };
    const Case cases[] = {
        {"\xff\xfe not utf-8", '#'},
        {"new\nline", 'N'},
        {"back\\slash", 'B'},
        {"-rf", '#'},
        {" lead.txt", '#'},
        {std::string(255, 'x'), 'X'},
        {"\xC3\xA9t\xC3\xA9.txt", '#'},
        {"\xC4\xB1spanak", 'I'},
        {"@home", '#'},
        {"[bracket", '#'},
    };
    RunWorld w;
    for (const Case& c : cases)
        w.source.write(c.name, "data of " + c.name);

    RunBounded(w); // copy
    w.move = true;
    RunBounded(w); // move onto the copies: each one refused, by name
    TempDir fresh;
    w.destinationPath = fresh.path();
    RunBounded(w); // move into empty buckets

    std::vector<std::string> refused;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = std::string(1, c.bucket) + "/" + c.name;
        EXPECT_EQ(ReadFile(w.destination / target), "data of " + c.name);
        EXPECT_EQ(ReadFile(fresh / target), "data of " + c.name);
        refused.push_back("Could not copy/move file " + c.name + ". File exists.");
    }
    std::sort(refused.begin(), refused.end());
    EXPECT_EQ(w.MessagesStartingWith("Could not"), refused);
    EXPECT_EQ(w.source.names(), std::set<std::string> {});
    w.ExpectEndedCleanly();
}

TEST(FaultSparse, ThreeGiBCountInFull)
{
    for (const bool move : {false, true}) {
        SCOPED_TRACE(move ? "moved within the file system" : "copy into missing buckets");
        RunWorld w;
        WriteSparse(w.source / "huge", 3ull << 30);
        w.move = move;
        w.createDirs = move; // a copy would write 3 GiB: let it fail at once

        RunBounded(w);

        EXPECT_EQ(w.BytesCaption(), "3,221,225,472 bytes (3,072 MB)");
        if (move)
            EXPECT_EQ(Facts(w.destination / "H/huge").size, 3ull << 30);
        else
            EXPECT_EQ(Facts(w.source / "huge").size, 3ull << 30);
        w.ExpectEndedCleanly();
    }
}

// Bucket folders inside the source are folders, so neither pass lists them
// and no file is handled twice.
TEST(FaultNesting, DestinationInsideOrEqualToTheSource)
{
    struct Case {
        const char* name;
        const char* destination; // relative to the source
        bool move;
    };
    for (const Case c : {Case {"inside, copy", "out", false}, Case {"inside, move", "out", true},
                         Case {"equal, copy", "", false}, Case {"equal, move", "", true}}) {
        SCOPED_TRACE(c.name);
        RunWorld w;
        const std::string destination = std::string(c.destination).empty() ? w.source.path()
                                                                             : w.source / c.destination;
        w.source.mkdir("out");
        w.destinationPath = destination;
        w.move = c.move;
        for (const char* name : {"apple", "avocado", "berry", "9"})
            w.source.write(name, name);

        RunBounded(w);

        EXPECT_EQ(w.MessagesStartingWith("Found"), std::vector<std::string> {"Found 4 file(s) for processing."});
        EXPECT_EQ(w.FileProgress(), "4 of 4");
        EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {});
        EXPECT_EQ(w.source.names(std::string(c.destination).empty() ? "A" : std::string(c.destination) + "/A"),
                  (std::set<std::string> {"apple", "avocado"}));
        EXPECT_EQ(ReadFile(destination + "/#/9"), "9");
        EXPECT_EQ(Exists(w.source / "apple"), !c.move);
        w.ExpectEndedCleanly();
    }
}

// Someone renames a bucket folder away and makes a new one while the run
// is between two files. Wherever the next files land, each is somewhere
// whole, and each that did not arrive is still in the source and logged.
TEST(FaultFoldersChanging, BucketReplacedDuringTheRunLosesNothing)
{
    for (const bool move : {false, true}) {
        SCOPED_TRACE(move ? "move" : "copy");
        RunWorld w;
        const std::vector<std::string> names = {"apple", "avocado", "azalea"};
        for (const std::string& name : names)
            w.source.write(name, "data of " + name);
        w.move = move;
        w.fs.afterFile = [&](int) {
            if (!Exists(w.destination / "A-old")) {
                ASSERT_EQ(::rename((w.destination / "A").c_str(), (w.destination / "A-old").c_str()), 0);
                w.destination.mkdir("A");
            }
        };

        RunBounded(w);

        std::size_t arrived = 0;
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            const bool inNew = Exists(w.destination / ("A/" + name));
            const bool inOld = Exists(w.destination / ("A-old/" + name));
            EXPECT_FALSE(inNew && inOld);
            if (inNew || inOld) {
                ++arrived;
                EXPECT_EQ(ReadFile(w.destination / ((inNew ? "A/" : "A-old/") + name)), "data of " + name);
            }
            if (!move || !(inNew || inOld)) {
                EXPECT_EQ(ReadFile(w.source / name), "data of " + name);
            }
        }
        EXPECT_EQ(w.MessagesStartingWith("Could not").size(), names.size() - arrived);
        w.ExpectEndedCleanly();
    }
}

// With no bucket folder at all, every one of 20,000 files fails and every
// failure row is kept.
TEST(FaultMany, TwentyThousandFailuresAreAllKept)
{
    constexpr int kFiles = 20000;
    RunWorld w;
    TmpfsMount fast("256m");
    const std::string folder = fast.mounted() ? fast.path() : w.source.path();
    for (int i = 0; i < kFiles; ++i) {
        const std::string path = folder + "/f" + std::to_string(i);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << path;
        ::close(fd);
    }
    w.sourcePath = folder;
    w.createDirs = false;

    RunBounded(w);

    std::size_t failures = 0;
    for (const std::string& message : w.messages())
        if (message.starts_with("Could not copy/move file f") && message.ends_with(". No such file or directory."))
            ++failures;
    EXPECT_EQ(failures, static_cast<std::size_t>(kFiles));
    EXPECT_EQ(w.LastMessages(2)[0], "Operation complete. 20000 file(s) processed.");
    EXPECT_EQ(w.FileProgress(), "20,000 of 20,000");
    w.ExpectEndedCleanly();
}

} // namespace
} // namespace quillbox::test
