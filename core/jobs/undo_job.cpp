// SPDX-License-Identifier: GPL-3.0-or-later
// An undo job: it finds and holds the run's journal, opens the run's
// folders, runs the pass over the journal and removes the folders it made.
#include "core/jobs/undo_job.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>

#include "core/jobs/undo_pass.h"
#include "core/log/run_messages.h"
#include "core/log/undo_messages.h"

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

    UndoPass pass(m_report, m_journals, run, workers, static_cast<std::uint64_t>(std::max(asked.claim, 1)), controls);
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

void UndoJob::removeMadeFolders(RunTakeBack& folders, const JournalHeader& header, const UndoPass& pass,
                                JournalLeft& left)
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
