// SPDX-License-Identifier: GPL-3.0-or-later
// What a watch batch says, run by a real run over real folders: nothing but
// its warnings when the files it was given went meanwhile, everything when
// it found some.
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include "core/jobs/batch_report.h"
#include "core/jobs/sieve_job.h"
#include "core/log/run_messages.h"
#include "platform/journal_files.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "tests/support/temp_dir.h"

namespace quillbox::test {
namespace {

struct Recorded final : RunObserver {
    std::vector<LogEntry> entries;
    std::vector<RunPhase> phases;
    int ends = 0;
    void entryLogged(const LogEntry& entry) override { entries.push_back(entry); }
    void logWindowWanted() override {}
    void phaseChanged(RunPhase phase, const RunFigures&) override { phases.push_back(phase); }
    void fileStarted(const std::string&) override {}
    void ended(RunEnd, const RunFigures&) override { ++ends; }
    bool said(std::string_view text) const
    {
        for (const LogEntry& entry : entries)
            if (entry.message.find(text) != std::string::npos)
                return true;
        return false;
    }
};

RunEnd Batch(Recorded& seen, const TempDir& dir, std::vector<std::string> names, JournalStore* journals = nullptr)
{
    PosixFileSystem fs;
    SystemClock clock;
    BatchReport batch(seen);
    SieveJob job(fs, clock, batch, journals);
    RunControls controls;
    controls.mode.store(TransferMode::Move);
    return job.run({dir / "in", dir / "out", false, std::move(names)}, controls);
}

TEST(BatchReport, ABatchWhoseFilesWentSaysOnlyItsWarnings)
{
    TempDir dir;
    dir.mkdir("in");
    dir.mkdir("out");
    Recorded gone;
    EXPECT_EQ(Batch(gone, dir, {"taken-meanwhile"}), RunEnd::NoFiles);
    EXPECT_TRUE(gone.entries.empty()) << gone.entries.front().message;
    EXPECT_EQ(gone.ends, 1) << "the run still ends";

    // A warning of its own is said all the same: its journal cannot be
    // written, as its folder is reached through a link.
    dir.mkdir("elsewhere");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "runs").c_str()), 0);
    JournalFolder journals(dir / "runs");
    Recorded warned;
    EXPECT_EQ(Batch(warned, dir, {"taken-meanwhile"}, &journals), RunEnd::NoFiles);
    ASSERT_EQ(warned.entries.size(), 1u);
    EXPECT_EQ(warned.entries.front().icon, LogIcon::Exclamation);
    EXPECT_FALSE(warned.said(kNoFilesFound));

    // With a file found, all is said, in order, what was held back first.
    dir.write("in/apple", "a");
    dir.mkdir("out/A");
    Recorded found;
    EXPECT_EQ(Batch(found, dir, {"apple"}), RunEnd::Completed);
    std::vector<std::string> said;
    for (const LogEntry& entry : found.entries)
        said.push_back(entry.message);
    const auto at = [&](std::string_view text) {
        return std::find_if(said.begin(), said.end(),
                            [&](const std::string& line) { return line.find(text) != std::string::npos; }) -
            said.begin();
    };
    EXPECT_LT(at("Source directory = "), at("Found 1 file(s)"));
    EXPECT_LT(at("Found 1 file(s)"), static_cast<long>(said.size()));
    EXPECT_TRUE(Exists(dir / "out/A/apple"));
}

} // namespace
} // namespace quillbox::test
