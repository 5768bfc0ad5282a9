// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/undo_job.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <map>
#include <optional>

#include "core/in_order_workers.h"

#include "core/run_messages.h"
#include "core/undo_messages.h"

namespace quillbox {

std::string RunDescription(const JournalHeader& header)
{
    const std::time_t started = static_cast<std::time_t>(header.startedAt);
    std::tm local {};
    ::localtime_r(&started, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(when) + ", " + (header.mode == TransferMode::Move ? "Move" : "Copy") + " from " +
        header.source.path + " to " + header.destination.path;
}

// One file of the run, as it is handed to a worker and back.
struct UndoJob::FileToTakeBack {
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
class UndoJob::Pass final : public JournalVisitor {
public:
    Pass(UndoJob& job, const JournalSummary& run, std::vector<std::unique_ptr<RunTakeBack>>& folders,
         std::uint64_t claim, const RunControls& controls)
        : m_job(job)
        , m_header(run.header)
        , m_only(run.left ? &*run.left : nullptr)
        , m_folders(folders)
        , m_controls(controls)
    {
        m_toTakeBack[0] = m_only ? m_only->moved : run.moved;
        m_toTakeBack[1] = m_only ? m_only->copied : run.copied;
        m_intents = m_only ? m_only->intended : run.intended;
        if (m_folders.size() > 1)
            m_workers = std::make_unique<InOrderWorkers<FileToTakeBack>>(
                m_folders.size(), controls.stop,
                [this](FileToTakeBack& item, std::size_t worker) {
                    if (item.act)
                        item.outcome = m_folders[worker]->takeBack(item.file.mode, item.file.bucket, item.file.name,
                                                                   item.file.placed);
                },
                claim);
    }

    // The files this pass is to take back.
    std::uint64_t toTakeBack() const { return m_toTakeBack[0] + m_toTakeBack[1] + m_intents; }

    bool file(const JournalFile& file) override
    {
        if (m_controls.stop.load(std::memory_order_relaxed))
            stopped = true;
        if (stopped)
            return false;
        // An earlier undo took the others back, or left them for good.
        if (m_only != nullptr && !m_only->holds(file.number))
            return true;
        m_lastRead = file.number;
        RunTakeBack& folders = *m_folders.front();
        // A folder that is not the one the run used was named once, at the
        // start: its files stay.
        const bool act = !(file.mode == TransferMode::Copy && file.replaced) && folders.destinationStatus().ok() &&
            (file.mode == TransferMode::Copy || folders.sourceStatus().ok());
        if (!m_workers) {
            settle(file, act,
                   act ? folders.takeBack(file.mode, file.bucket, file.name, file.placed) : TakeBackOutcome {});
            return true;
        }
        if (m_workers->full()) {
            settle(m_workers->oldest());
            m_workers->takeBack();
        }
        // A file that stays goes through the workers too, to keep its place
        // in the order.
        FileToTakeBack& item = m_workers->next();
        item.file = file;
        item.act = act;
        item.outcome = {};
        m_workers->handOver();
        return !stopped;
    }

    // Settles every file still in flight.
    void drain()
    {
        while (m_workers && !m_workers->empty()) {
            settle(m_workers->oldest());
            m_workers->takeBack();
        }
    }

    // Once every other file is settled: the names of hard-linked files that
    // another name's take-back (the run's or this one's) seemed to change.
    void settleLinked()
    {
        std::vector<JournalFile> linked;
        linked.swap(m_linked);
        for (const JournalFile& file : linked) {
            if (stopped || m_controls.stop.load(std::memory_order_relaxed)) {
                stopped = true;
                later.add(file);
                continue;
            }
            RunTakeBack& folders = *m_folders.front();
            TakeBackOutcome outcome = folders.takeBack(file.mode, file.bucket, file.name, file.placed);
            if (outcome.result == TakeBackResult::Skipped && outcome.lasting && outcome.seen.inode != 0 &&
                outcome.seen.sameContentOf(file.placed) && ChangedByTheRun(file.placed, outcome.seen.ctimeNs)) {
                FileIdentity now = file.placed;
                now.ctimeNs = outcome.seen.ctimeNs;
                outcome = folders.takeBack(file.mode, file.bucket, file.name, now);
            }
            noteLinks(file, outcome);
            record(file, outcome);
        }
    }

    // A file the run was about to place when it was killed: taken back
    // where it is still the very file the run placed. They come last, each
    // once every file before it is settled.
    void intended(const JournalIntent& intent) override
    {
        drain();
        // An earlier undo settled every one of them.
        if (m_only != nullptr && m_only->intended == 0)
            return;
        if (stopped || m_controls.stop.load(std::memory_order_relaxed)) {
            stopped = true;
            return;
        }
        ++m_intentsSettled;
        RunCounters& counters = m_job.m_report.counters();
        counters.addProcessed();
        counters.addBytes(intent.before.size);
        m_target.assign(m_header.destination.path).append(1, intent.bucket).append(1, '/').append(intent.name);
        m_job.m_report.observer().fileStarted(m_target);
        if (intent.mode == TransferMode::Copy && intent.replacing) {
            ++kept;
            m_job.log(LogIcon::Exclamation, LeftInPlaceMessage(m_target));
            return;
        }
        const TakeBackOutcome outcome =
            m_folders.front()->takeBackIntended(intent.mode, intent.bucket, intent.name, intent.before);
        if (count(outcome, m_target, intent.name))
            later.addIntended();
    }

    void bucket(const JournalBucket& bucket) override
    {
        made[static_cast<unsigned char>(bucket.bucket)] = bucket.identity;
    }

    void damaged(const JournalDamage& damage) override
    {
        // What came before the damage is told before it.
        drain();
        unreadable += damage.files;
        m_job.log(LogIcon::Exclamation, DamagedRecordMessage(damage));
        if (damage.files == 0)
            unknownLoss = true;
        m_job.m_report.observer().logWindowWanted();
    }

    // What is left for a later undo: the files skipped for a reason that
    // may pass, and those a Stop kept the pass from.
    JournalLeft& left()
    {
        if (stopped) {
            for (const JournalFile& file : m_linked)
                later.add(file);
            m_linked.clear();
            later.addTail(m_lastRead + 1, m_toTakeBack[0] - m_settled[0], m_toTakeBack[1] - m_settled[1], m_only);
            if (m_intents > m_intentsSettled)
                later.addIntended(m_intents - m_intentsSettled);
        }
        return later.finish();
    }

    std::uint64_t madeFolders() const
    {
        return static_cast<std::uint64_t>(
            std::count_if(made.begin(), made.end(), [](const auto& m) { return m.has_value(); }));
    }

    bool stopped = false;
    bool unknownLoss = false;
    std::uint64_t putBack = 0, removed = 0, kept = 0, unreadable = 0;
    LeftFiles later;
    std::array<std::optional<FolderIdentity>, 256> made {};

private:
    void settle(const FileToTakeBack& item)
    {
        // A file Stop kept the workers from: nothing was done with it.
        if (item.skipped) {
            stopped = true;
            ++m_settled[item.file.mode == TransferMode::Move ? 0 : 1];
            later.add(item.file);
        } else {
            settle(item.file, item.act, item.outcome);
        }
    }

    void settle(const JournalFile& file, bool act, const TakeBackOutcome& outcome)
    {
        RunCounters& counters = m_job.m_report.counters();
        counters.addProcessed();
        counters.addBytes(file.placed.size);
        ++m_settled[file.mode == TransferMode::Move ? 0 : 1];
        m_job.m_report.observer().fileStarted(target(file));
        if (file.mode == TransferMode::Copy && file.replaced) {
            ++kept;
            m_job.log(LogIcon::Exclamation, LeftInPlaceMessage(m_target));
            return;
        }
        if (!act) {
            ++kept;
            counters.addFailed();
            const FsStatus& why = file.mode == TransferMode::Copy || !m_folders.front()->destinationStatus().ok()
                ? m_folders.front()->destinationStatus()
                : m_folders.front()->sourceStatus();
            if (why.error != ESTALE)
                later.add(file);
            return;
        }
        noteLinks(file, outcome);
        // A name of a hard-linked file that seems changed, or was in the way
        // of another name's take-back: it is tried again at the end.
        if (outcome.result == TakeBackResult::Skipped && outcome.links > 1 &&
            (!outcome.lasting || (outcome.seen.inode != 0 && outcome.seen.sameContentOf(file.placed)))) {
            m_linked.push_back(file);
            return;
        }
        record(file, outcome);
    }

    // Counts and tells what became of a file.
    void record(const JournalFile& file, const TakeBackOutcome& outcome)
    {
        if (count(outcome, target(file), file.name))
            later.add(file);
    }

    // Counts and tells the outcome of taking back the file the run put at
    // `target`, `name` in the source; true where it is left for a later undo.
    bool count(const TakeBackOutcome& outcome, const std::string& target, const std::string& name)
    {
        switch (outcome.result) {
        case TakeBackResult::PutBack:
            ++putBack;
            break;
        case TakeBackResult::CopyRemoved:
            ++putBack;
            m_job.log(LogIcon::Information, CopyRemovedMessage(target, m_header.source.path + name));
            break;
        case TakeBackResult::Removed:
            ++removed;
            break;
        case TakeBackResult::AlreadyBack:
            break;
        case TakeBackResult::Skipped:
            ++kept;
            m_job.m_report.counters().addFailed();
            m_job.log(LogIcon::Exclamation, NotTakenBackMessage(target, outcome.why.reason));
            return !outcome.lasting;
        }
        return false;
    }

    // The change times the run and this take-back gave a file with several
    // names: a look at one name after another name moved finds one of them.
    void noteLinks(const JournalFile& file, const TakeBackOutcome& outcome)
    {
        if (outcome.links <= 1)
            return;
        std::vector<std::int64_t>& times = m_linkTimes[{file.placed.device, file.placed.inode}];
        times.push_back(file.placed.ctimeNs);
        if (outcome.left.inode != 0)
            times.push_back(outcome.left.ctimeNs);
    }

    bool ChangedByTheRun(const FileIdentity& placed, std::int64_t ctimeNs) const
    {
        const auto found = m_linkTimes.find({placed.device, placed.inode});
        return found != m_linkTimes.end() &&
            std::find(found->second.begin(), found->second.end(), ctimeNs) != found->second.end();
    }

    // Where the run put `file`, in storage reused from file to file.
    const std::string& target(const JournalFile& file)
    {
        m_target.assign(m_header.destination.path).append(1, file.bucket).append(1, '/').append(file.name);
        return m_target;
    }

    UndoJob& m_job;
    const JournalHeader& m_header;
    const JournalLeft* m_only; // where an earlier undo left some: those
    std::vector<std::unique_ptr<RunTakeBack>>& m_folders;
    const RunControls& m_controls;
    std::unique_ptr<InOrderWorkers<FileToTakeBack>> m_workers; // several files in flight
    std::string m_target;
    std::uint64_t m_toTakeBack[2] = {0, 0}; // moved, copied
    std::uint64_t m_settled[2] = {0, 0};
    std::uint64_t m_lastRead = 0; // the number of the last file handed on
    std::uint64_t m_intents = 0;  // files the run was about to place, to look at
    std::uint64_t m_intentsSettled = 0;
    std::vector<JournalFile> m_linked;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::int64_t>> m_linkTimes;
};

UndoJob::UndoJob(FileSystem& fs, JournalStore& journals, Clock& clock, RunObserver& observer)
    : m_fs(fs), m_journals(journals), m_report(clock, observer)
{
}

UndoEnd UndoJob::finish(RunEnd how, UndoEnd end)
{
    m_report.finish(how);
    return end;
}

UndoEnd UndoJob::run(const std::string& id, const RunControls& controls)
{
    m_report.begin(kUndoTitle);

    std::string runId = id;
    if (runId.empty()) {
        std::optional<JournalSummary> newest = m_journals.newestToTakeBack();
        if (!newest) {
            log(LogIcon::Exclamation, std::string(kNoRunToTakeBack));
            return finish(RunEnd::NoFiles, UndoEnd::NothingToTakeBack);
        }
        runId = newest->id;
    }
    // The journal is held from here to the end: its run has ended, and no
    // other undo takes it back at the same time. What it says is read once
    // it is held.
    FsResult<std::unique_ptr<JournalHold>> held = m_journals.hold(runId);
    FsResult<JournalSummary> found = m_journals.summary(runId);
    if (!found.ok()) {
        m_report.error(JournalUnreadableMessage(found.status().reason));
        return finish(RunEnd::Failed, UndoEnd::Unreadable);
    }
    const JournalSummary& run = found.value();
    const JournalHeader& header = run.header;
    if (!held.ok()) {
        m_report.error(held.status().error == EBUSY ? RunInProgressMessage(RunDescription(header))
                                                    : JournalUnreadableMessage(held.status().reason));
        return finish(RunEnd::Failed, held.status().error == EBUSY ? UndoEnd::InProgress : UndoEnd::Unreadable);
    }
    if (run.takenBack) {
        log(LogIcon::Exclamation, AlreadyTakenBackMessage(RunDescription(header)));
        return finish(RunEnd::NoFiles, UndoEnd::NothingToTakeBack);
    }
    log(LogIcon::Information, TakingBackMessage(RunDescription(header)));
    m_report.phase(RunPhase::Processing);

    // A worker for each file in flight, each with the run's folders opened
    // for its own; the first one's tell what the take-back found.
    std::vector<std::unique_ptr<RunTakeBack>> workers;
    const InFlight asked = m_fs.takeBacksInFlight(header.source, header.destination);
    const int inFlight = std::clamp(asked.workers, 1, kMostWorkers);
    for (int i = 0; i < inFlight; ++i)
        workers.push_back(m_fs.openTakeBack(header.source, header.destination));
    RunTakeBack* const folders = workers.front().get();
    if (const FsStatus& why = folders->destinationStatus(); !why.ok()) {
        m_report.error(NothingTakenBackMessage(header.destination.path, why.reason));
    } else if (const FsStatus& away = folders->sourceStatus(); !away.ok() && header.mode == TransferMode::Move) {
        m_report.error(MovedFilesStayMessage(header.destination.path, header.source.path, away.reason));
    }

    Pass pass(*this, run, workers, static_cast<std::uint64_t>(std::max(asked.claim, 1)), controls);
    m_report.counters().addFound(static_cast<std::int64_t>(pass.toTakeBack()));
    const FsStatus read = m_journals.read(run.id, pass);
    pass.drain();
    if (read.ok())
        pass.settleLinked();
    if (!read.ok()) {
        m_report.error(JournalUnreadableMessage(read.reason));
        return finish(RunEnd::Failed, UndoEnd::Unreadable);
    }
    JournalLeft& left = pass.left();
    const bool changed = pass.putBack + pass.removed > 0;
    if (pass.stopped) {
        left.folders = pass.madeFolders();
        if (changed || run.left)
            noteLeft(run.id, left);
        log(LogIcon::Exclamation, std::string(kUndoStopped));
        return finish(RunEnd::StoppedWhileProcessing, UndoEnd::Stopped);
    }
    removeMadeFolders(*folders, header, pass, left);
    // A run is marked taken back once nothing is left that a later undo
    // could take back; otherwise what is left is noted, where this undo
    // changed anything.
    if (left.empty()) {
        if (FsStatus marked = m_journals.markTakenBack(run.id); !marked.ok())
            log(LogIcon::Exclamation, NotMarkedMessage(marked.reason));
    } else if (changed || run.left || left.folders > 0) {
        noteLeft(run.id, left);
    }

    m_report.phase(RunPhase::Processed);
    log(LogIcon::Information, UndoCompleteMessage(pass.putBack, pass.removed, pass.kept));
    if (pass.unreadable > 0 || pass.unknownLoss)
        log(LogIcon::Exclamation, DamagedJournalMessage(pass.unreadable));
    if (left.files() > 0)
        log(LogIcon::Exclamation, LeftForLaterMessage(left.files()));
    else if (left.folders > 0)
        log(LogIcon::Exclamation, FoldersLeftForLaterMessage(left.folders));
    const bool whole = pass.kept == 0 && pass.unreadable == 0 && !pass.unknownLoss && left.folders == 0;
    return finish(RunEnd::Completed, whole ? UndoEnd::TakenBack : UndoEnd::SomeLeft);
}

void UndoJob::removeMadeFolders(RunTakeBack& folders, const JournalHeader& header, const Pass& pass, JournalLeft& left)
{
    // A folder that could not be removed for a reason that may pass (an I/O
    // error, a destination away for a while) is left for a later undo; one
    // that is another folder now, or holds files, stays for good.
    const auto settle = [&](const std::string& folder, const FsStatus& removed) {
        if (removed.ok() || removed.error == ENOTEMPTY || removed.error == EEXIST)
            return;
        log(LogIcon::Exclamation, LeftFolderMessage(folder, removed.reason));
        if (removed.error != ESTALE) {
            ++left.folders;
            m_report.counters().addFailed();
        }
    };
    if (!folders.destinationStatus().ok()) {
        if (folders.destinationStatus().error != ESTALE)
            left.folders += pass.madeFolders();
        return;
    }
    for (std::size_t letter = 0; letter < pass.made.size(); ++letter) {
        if (!pass.made[letter] || letter == static_cast<unsigned char>(kMadeDestination))
            continue;
        settle(header.destination.path + static_cast<char>(letter),
               folders.removeMadeBucket(static_cast<char>(letter), *pass.made[letter]));
    }
    // The destination made for the run goes last, once its buckets are.
    if (const auto& made = pass.made[static_cast<unsigned char>(kMadeDestination)]) {
        if (left.folders > 0)
            ++left.folders; // it holds what stays
        else
            settle(header.destination.path, folders.removeMadeDestination(*made));
    }
}

void UndoJob::noteLeft(const std::string& id, const JournalLeft& left)
{
    if (FsStatus noted = m_journals.markLeft(id, left); !noted.ok())
        log(LogIcon::Exclamation, NotMarkedMessage(noted.reason));
}

} // namespace quillbox
