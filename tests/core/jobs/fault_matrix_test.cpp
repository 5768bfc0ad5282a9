// SPDX-License-Identifier: GPL-3.0-or-later
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
    ASSERT_TRUE(FinishesWithin(
        60, [&] { w.Sieve(); }, fifos))
        << "the run blocked";
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
        {"unreadable source, copy", false, [](RunWorld& w) { ::chmod((w.source / "apple").c_str(), 0); },
         "Could not copy/move file apple. Permission denied.", true},
        {"bucket not writable, copy", false,
         [](RunWorld& w) {
             w.destination.mkdir("A");
             ::chmod((w.destination / "A").c_str(), 0555);
         },
         "Could not copy/move file apple. Permission denied.", true},
        {"bucket not writable, move", true,
         [](RunWorld& w) {
             w.destination.mkdir("A");
             ::chmod((w.destination / "A").c_str(), 0555);
         },
         "Could not copy/move file apple. Permission denied.", true},
        {"target is a folder, copy", false,
         [](RunWorld& w) {
             w.destination.mkdir("A");
             w.destination.mkdir("A/apple");
         },
         "Could not copy/move file apple. Is a directory.", false},
        {"target is a folder, move", true,
         [](RunWorld& w) {
             w.destination.mkdir("A");
             w.destination.mkdir("A/apple");
         },
         "Could not copy/move file apple. File exists.", false},
    };
    std::string skipped;
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
            if (c.needsNoOverride && !noOverride.active()) {
                skipped += std::string(skipped.empty() ? "" : ", ") + c.name;
                continue;
            }
            RunBounded(w);
        }
        EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {c.entry});
        EXPECT_EQ(ReadFile(w.source / "apple"), content);
        EXPECT_EQ(ReadFile(w.destination / "B/berry"), "b");
        EXPECT_EQ(w.LastMessages(2)[0], "Operation complete. 2 file(s) processed.");
        w.ExpectEndedCleanly();
    }
    if (!skipped.empty())
        GTEST_SKIP() << "cannot drop CAP_DAC_OVERRIDE for: " << skipped;
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
        const std::string destination = std::string(c.destination).empty() ? w.source.path() : w.source / c.destination;
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
