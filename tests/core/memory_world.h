// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A run and its undo over the file system and the journal store held in
// memory: the jobs' logic (order, stop, counters, journal records) without a
// disk. The observer is the one the runs over real folders use.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/jobs/sieve_job.h"
#include "core/jobs/undo_job.h"
#include "tests/core/run_world.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/memory_journal_store.h"

namespace quillbox::test {

struct MemoryWorld {
    const std::string source = "/home/user/in";
    const std::string destination = "/home/user/out";
    bool move = false;
    bool createDirs = true;
    MemoryFileSystem fs;
    MemoryJournalStore journals;
    FakeClock clock;
    RecordingObserver observer;
    RunControls controls;
    SieveJob job {fs, clock, observer, &journals};
    UndoJob undo {fs, journals, clock, observer};
    int runs = 0;

    MemoryWorld()
    {
        fs.addFolder(source);
        fs.addFolder(destination);
    }

    // Files named as given, each holding its name.
    void Files(const std::vector<std::string>& names)
    {
        for (const std::string& name : names)
            fs.addFile(source + "/" + name, name);
    }

    RunEnd Sieve()
    {
        controls.mode.store(move ? TransferMode::Move : TransferMode::Copy);
        ++runs;
        return job.run(RunSettings {source, destination, createDirs}, controls);
    }

    UndoEnd Undo(const std::string& id = {})
    {
        ++runs;
        return undo.run(id, controls);
    }

    std::vector<std::string> LastMessages(std::size_t count) const
    {
        const std::size_t from = observer.entries.size() > count ? observer.entries.size() - count : 0;
        std::vector<std::string> out;
        for (std::size_t i = from; i < observer.entries.size(); ++i)
            out.push_back(observer.entries[i].message);
        return out;
    }

    std::size_t Count(const std::string& message) const
    {
        return static_cast<std::size_t>(std::count_if(observer.entries.begin(), observer.entries.end(),
                                                      [&](const LogEntry& e) { return e.message == message; }));
    }

    // Every way out of a job: counters back to 0, its end reported once per
    // job after "Cleaning up complete.".
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
    }
};

} // namespace quillbox::test
