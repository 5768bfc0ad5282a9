// SPDX-License-Identifier: GPL-3.0-or-later
// An undo's pass over a run's journal: the visitor that takes back each file
// as its record is read, and the files it leaves for a later undo.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/jobs/in_order_workers.h"
#include "core/jobs/job_report.h"
#include "core/jobs/run_settings.h"
#include "core/journal/journal.h"
#include "core/ports/file_system.h"

namespace quillbox {

// One file of the run, as it is handed to a worker and back.
struct UndoFileToTakeBack {
    JournalFile file;
    bool act = false; // false: it stays, for a reason known before any work
    TakeBackOutcome outcome;
    bool skipped = false;
    std::atomic<bool> begun {false};
    bool finished = false;
};

// The files an undo leaves for a later one, as ranges of their numbers.
class LeftFiles {
public:
    void add(const JournalFile& file)
    {
        ++(file.mode == TransferMode::Move ? m_left.moved : m_left.copied);
        addRange(file.number, file.number);
    }
    // Files not reached, of each kind, with the first number not reached;
    // `only` the files that were to be taken back, where not all were.
    void addTail(std::uint64_t from, std::uint64_t moved, std::uint64_t copied, const JournalLeft* only)
    {
        m_left.moved += moved;
        m_left.copied += copied;
        if (moved + copied == 0)
            return;
        if (only == nullptr) {
            addRange(from, UINT64_MAX);
            return;
        }
        for (const auto& [first, last] : only->ranges) {
            if (last >= from)
                addRange(std::max(first, from), last);
        }
    }
    // In order, joined where they touch.
    JournalLeft& finish()
    {
        std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges = m_left.ranges;
        std::sort(ranges.begin(), ranges.end());
        std::size_t kept = 0;
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            if (kept > 0 && (ranges[kept - 1].second == UINT64_MAX || ranges[i].first <= ranges[kept - 1].second + 1))
                ranges[kept - 1].second = std::max(ranges[kept - 1].second, ranges[i].second);
            else
                ranges[kept++] = ranges[i];
        }
        ranges.resize(kept);
        return m_left;
    }
    std::uint64_t files() const { return m_left.files(); }
    void addIntended(std::uint64_t count = 1) { m_left.intended += count; }

private:
    void addRange(std::uint64_t first, std::uint64_t last)
    {
        std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges = m_left.ranges;
        if (!ranges.empty() && ranges.back().second != UINT64_MAX && ranges.back().second + 1 == first)
            ranges.back().second = last;
        else
            ranges.emplace_back(first, last);
    }

    JournalLeft m_left;
};

// One pass over a run's journal, taking back each file as its record is
// read: on the job's thread, or by workers with several files in flight,
// their outcomes settled in the journal's order either way.
class UndoPass final : public JournalVisitor {
public:
    UndoPass(JobReport& report, JournalStore& journals, const JournalSummary& run,
             std::vector<std::unique_ptr<RunTakeBack>>& folders, std::uint64_t claim, const RunControls& controls);

    // The files this pass is to take back.
    std::uint64_t toTakeBack() const { return m_toTakeBack[0] + m_toTakeBack[1] + m_intents; }

    bool file(const JournalFile& file) override;

    // Settles every file still in flight.
    void drain();

    // Once every other file is settled: the names of hard-linked files that
    // another name's take-back (the run's or this one's) seemed to change.
    void settleLinked();

    // A file the run was about to place when it was killed: taken back
    // where it is still the very file the run placed. They come last, each
    // once every file before it is settled.
    void intended(const JournalIntent& intent) override;

    void bucket(const JournalBucket& bucket) override;

    void damaged(const JournalDamage& damage) override;

    // What is left for a later undo: the files skipped for a reason that
    // may pass, and those a Stop kept the pass from.
    JournalLeft& left();

    std::uint64_t madeFolders() const;

    bool stopped = false;
    bool unknownLoss = false;
    std::uint64_t putBack = 0, removed = 0, kept = 0, unreadable = 0;
    LeftFiles later;
    std::array<std::optional<FolderIdentity>, 256> made {};

private:
    void settle(const UndoFileToTakeBack& item);

    void settle(const JournalFile& file, bool act, const TakeBackOutcome& outcome);

    // The file as the take-back is to find it: as the run left it, or as an
    // earlier undo's own renames left it (JournalKeptAs). Reuses storage.
    const JournalFile& asLeft(const JournalFile& file);

    // Notes a file this take-back left where it was after renaming it.
    void noteKeptAs(const JournalFile& file, const TakeBackOutcome& outcome);

    // Counts and tells what became of a file.
    void record(const JournalFile& file, const TakeBackOutcome& outcome);

    // Counts and tells the outcome of taking back the file the run put at
    // `target`, `name` in the source; true where it is left for a later undo.
    bool count(const TakeBackOutcome& outcome, const std::string& target, const std::string& name);

    // The change times the run and this take-back gave a file with several
    // names: a look at one name after another name moved finds one of them.
    void noteLinks(const JournalFile& file, const TakeBackOutcome& outcome);

    bool ChangedByTheRun(const FileIdentity& placed, std::int64_t ctimeNs) const;

    // Where the run put `file`, in storage reused from file to file.
    const std::string& target(const JournalFile& file);

    JobReport& m_report;
    JournalStore& m_journals;
    const JournalHeader& m_header;
    const std::string& m_runId;
    const std::map<std::uint64_t, FileIdentity>& m_keptAs; // by earlier undos
    JournalFile m_asLeft;
    const JournalLeft* m_only; // where an earlier undo left some: those
    std::vector<std::unique_ptr<RunTakeBack>>& m_folders;
    const RunControls& m_controls;
    std::unique_ptr<InOrderWorkers<UndoFileToTakeBack>> m_workers; // several files in flight
    std::string m_target;
    std::uint64_t m_toTakeBack[2] = {0, 0}; // moved, copied
    std::uint64_t m_settled[2] = {0, 0};
    std::uint64_t m_lastRead = 0; // the number of the last file handed on
    std::uint64_t m_intents = 0;  // files the run was about to place, to look at
    std::uint64_t m_intentsSettled = 0;
    std::vector<JournalFile> m_linked;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::int64_t>> m_linkTimes;
};

} // namespace quillbox
