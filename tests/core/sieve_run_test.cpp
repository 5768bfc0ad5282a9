#include <gtest/gtest.h>

#include "fake_log.h"
#include "fake_main_window.h"
#include "posix_file_system.h"
#include "sieve.h"
#include "temp_dir.h"

namespace quillbox::test {
namespace {

// A run over real folders, with a fake window and log.
struct RunFixture : ::testing::Test {
    TempDir source;
    TempDir destination;
    FakeMainWindow window;
    FakeLogHost logHost;
    FakeClock clock;
    LocaleFacts locale;
    EventLog log {logHost, clock, locale};
    PosixFileSystem fs;
    Sieve sieve {window, log, fs};

    RunFixture()
    {
        window.source = source.path();
        window.destination = destination.path();
        window.sieve = &sieve;
        logHost.operations = &window.operations;
        log.LogWindow(); // the main window loads the log at start-up
    }
};

TEST_F(RunFixture, CopiesEveryFileIntoItsBucketAndLogsTheRun)
{
    source.write("apple.txt", "a");
    source.write("Zebra.doc", "zz");
    source.write("1st.txt", "111");
    source.mkdir("sub");
    source.write("sub/inner.txt", "x");

    sieve.SieveFiles();

    EXPECT_EQ(ReadFile(destination / "A/apple.txt"), "a");
    EXPECT_EQ(ReadFile(destination / "Z/Zebra.doc"), "zz");
    EXPECT_EQ(ReadFile(destination / "#/1st.txt"), "111");
    EXPECT_EQ(destination.names().size(), 27u);
    EXPECT_TRUE(Exists(source / "apple.txt"));

    const std::vector<std::string> expected = {
        "Quillbox loaded and running.",
        "",
        " -- SIEVING ----",
        "Source directory = " + source.path() + "/",
        "Destination directory = " + destination.path() + "/",
        "Copy Mode = Copy",
        "Creating directories #-Z ..",
        "Found 3 file(s) for processing.",
        "Operation complete. 3 file(s) processed.",
        "Cleaning up complete.",
    };
    EXPECT_EQ(logHost.messages(), expected);
    EXPECT_EQ(window.fileProgressCaption, "3 of 3");
    EXPECT_EQ(window.bytesCaption, "6 bytes ( MB)");
    EXPECT_EQ(window.barValue, 3);
    EXPECT_TRUE(window.sieveEnabled);
    EXPECT_FALSE(window.stopEnabled);
    EXPECT_EQ(sieve.Counters().FilesFound, 0);
}

} // namespace
} // namespace quillbox::test
