// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A run over real temporary folders, with an observer that records what the
// run reports and a fixed clock; shared by the run tests and the fault tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "core/jobs/sieve_job.h"
#include "core/log/statistics_text.h"
#include "tests/support/fake_log.h"
#include "tests/support/fault_tools.h"
#include "tests/support/open_descriptors.h"
#include "tests/support/temp_dir.h"

namespace quillbox::test {

// Everything a run reported, in order, as text: "entry:message" (the blank
// row is "entry:"), "phase:N" with the files found, "log.show", "ended:N".
class RecordingObserver final : public RunObserver {
public:
    std::vector<std::string> events;
    std::vector<LogEntry> entries;
    std::vector<std::string> started;
    RunFigures processed; // the figures of the Processed phase
    bool anyFolderOpenAtEnd = false;
    std::string watchedFolder; // checked for open descriptors when the run ends

    void entryLogged(const LogEntry& entry) override
    {
        entries.push_back(entry);
        events.push_back("entry:" + entry.message);
    }
    void logWindowWanted() override { events.push_back("log.show"); }
    void phaseChanged(RunPhase phase, const RunFigures& figures) override
    {
        static const char* const kNames[] = {"Counting", "Counted", "NoFiles", "Processing", "Processed"};
        events.push_back(std::string("phase:") + kNames[static_cast<int>(phase)] + ":" +
                         std::to_string(static_cast<long long>(figures.filesFound)));
        if (phase == RunPhase::Processed)
            processed = figures;
    }
    void fileStarted(const std::string& name) override
    {
        started.push_back(name);
        ++startedCount;
    }
    std::atomic<std::size_t> startedCount {0}; // for other threads to read
    void ended(RunEnd how, const RunFigures&) override
    {
        events.push_back("ended:" + std::to_string(static_cast<int>(how)));
        if (!watchedFolder.empty())
            anyFolderOpenAtEnd = OpenDescriptorsUnder(watchedFolder) > 0;
    }
};

struct RunWorld {
    TempDir source;
    TempDir destination;
    std::string sourcePath = source.path();
    std::string destinationPath = destination.path();
    bool move = false;
    bool createDirs = true;
    std::vector<std::string> only;
    FakeClock clock;
    RecordingObserver observer;
    TestFileSystem fs;
    RunControls controls;
    SieveJob job {fs, clock, observer};
    int runs = 0;

    RunEnd Sieve()
    {
        controls.mode.store(move ? TransferMode::Move : TransferMode::Copy);
        ++runs;
        return job.run(RunSettings {sourcePath, destinationPath, createDirs, only}, controls);
    }

    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        for (const LogEntry& entry : observer.entries)
            out.push_back(entry.message);
        return out;
    }

    std::vector<std::string> LastMessages(std::size_t count) const
    {
        const std::vector<std::string> all = messages();
        const std::size_t from = all.size() > count ? all.size() - count : 0;
        return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
    }

    // Log messages that start with `prefix`, sorted (listing order is the
    // file system's).
    std::vector<std::string> MessagesStartingWith(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const std::string& m : messages())
            if (m.rfind(prefix, 0) == 0)
                out.push_back(m);
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string FileProgress() const { return FileProgressText(observer.processed, ","); }
    std::string BytesCaption() const { return BytesText(observer.processed, ","); }

    // The state every way out of a run leaves: counters back to 0, the end
    // reported once per run after "Cleaning up complete.", nothing
    // half-written left behind.
    void ExpectEndedCleanly() const
    {
        const RunFigures figures = job.counters().figures();
        EXPECT_EQ(figures.filesFound, 0);
        EXPECT_EQ(figures.filesProcessed, 0);
        EXPECT_EQ(figures.bytesProcessed, 0);
        EXPECT_EQ(std::count_if(observer.events.begin(), observer.events.end(),
                                [](const std::string& e) { return e.rfind("ended:", 0) == 0; }),
                  runs);
        ASSERT_GE(observer.events.size(), 2u);
        EXPECT_EQ(observer.events[observer.events.size() - 2], "entry:Cleaning up complete.");
        EXPECT_EQ(TemporaryLeftovers(source.path()), std::vector<std::string> {});
        EXPECT_EQ(TemporaryLeftovers(destination.path()), std::vector<std::string> {});
    }
};

struct RunFixture : ::testing::Test, RunWorld {};

} // namespace quillbox::test
