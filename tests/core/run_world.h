#pragma once

// A run over real temporary folders, with a fake main window, a fake log
// window and a fixed clock; shared by the run tests and the fault tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/fake_log.h"
#include "tests/support/fake_main_window.h"
#include "tests/support/fault_tools.h"
#include "core/sieve.h"
#include "tests/support/temp_dir.h"

namespace quillbox::test {

struct RunWorld {
    TempDir source;
    TempDir destination;
    FakeMainWindow window;
    FakeLogHost logHost;
    FakeClock clock;
    LocaleFacts locale;
    EventLog log {logHost, clock, locale};
    TestFileSystem fs;
    Sieve sieve {window, log, fs};

    RunWorld()
    {
        window.source = source.path();
        window.destination = destination.path();
        window.sieve = &sieve;
        logHost.operations = &window.operations;
        log.LogWindow(); // the main window loads the log at start-up
    }

    // How a log row reads in `window.operations`.
    static std::string Row(const std::string& message) { return "log:12:34:56 - " + message; }

    std::vector<std::string> LastMessages(std::size_t count) const
    {
        const std::vector<std::string> all = logHost.messages();
        const std::size_t from = all.size() > count ? all.size() - count : 0;
        return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
    }

    // Log messages that start with `prefix`, sorted (listing order is the
    // file system's).
    std::vector<std::string> MessagesStartingWith(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const std::string& m : logHost.messages())
            if (m.rfind(prefix, 0) == 0)
                out.push_back(m);
        std::sort(out.begin(), out.end());
        return out;
    }

    long Count(const std::string& operation) const
    {
        return std::count(window.operations.begin(), window.operations.end(), operation);
    }

    // The state every way out of a run leaves: the window as before the
    // run, counters back to 0, FinishRun run once, nothing half-written.
    void ExpectEndedCleanly(long runs = 1) const
    {
        EXPECT_FALSE(sieve.IsRunning());
        EXPECT_TRUE(window.sourcePickerEnabled);
        EXPECT_TRUE(window.destinationPickerEnabled);
        EXPECT_TRUE(window.sieveEnabled);
        EXPECT_TRUE(window.aboutEnabled);
        EXPECT_FALSE(window.stopEnabled);
        EXPECT_FALSE(window.stopPressed);
        EXPECT_TRUE(window.sourceEnabled);
        EXPECT_TRUE(window.destinationEnabled);
        EXPECT_TRUE(window.createDirsEnabled);
        EXPECT_FALSE(window.countTimerEnabled);
        EXPECT_FALSE(window.progressTimerEnabled);
        EXPECT_EQ(sieve.Counters().FilesFound, 0);
        EXPECT_EQ(sieve.Counters().FilesProcessed, 0);
        EXPECT_EQ(sieve.Counters().BytesProcessed, 0);
        EXPECT_EQ(Count("_stop.pressed=0"), runs) << "FinishRun runs exactly once per run";
        ASSERT_FALSE(logHost.messages().empty());
        EXPECT_EQ(logHost.messages().back(), "Cleaning up complete.");
        EXPECT_EQ(TemporaryLeftovers(source.path()), std::vector<std::string>{});
        EXPECT_EQ(TemporaryLeftovers(destination.path()), std::vector<std::string>{});
    }
};

struct RunFixture : ::testing::Test, RunWorld {};

} // namespace quillbox::test
