#include "core/undo_job.h"

#include <array>
#include <cerrno>
#include <ctime>
#include <optional>

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

// One pass over a run's journal, taking back each file as its record is
// read.
class UndoJob::Pass final : public JournalVisitor {
public:
    Pass(UndoJob& job, const JournalHeader& header, RunTakeBack& folders, const RunControls& controls)
        : m_job(job), m_header(header), m_folders(folders), m_controls(controls)
    {
    }

    bool file(const JournalFile& file) override
    {
        if (m_controls.stop.load(std::memory_order_relaxed)) {
            stopped = true;
            return false;
        }
        RunCounters& counters = m_job.m_report.counters();
        counters.addProcessed();
        counters.addBytes(file.placed.size);
        std::string& target = m_target;
        target.assign(m_header.destination.path).append(1, file.bucket).append(1, '/').append(file.name);
        m_job.m_report.observer().fileStarted(target);
        if (file.mode == TransferMode::Copy && file.replaced) {
            ++kept;
            m_job.log(LogIcon::Exclamation, LeftInPlaceMessage(target));
            return true;
        }
        // A folder that is not the one the run used was named once, at the
        // start: its files stay.
        if (!m_folders.destinationStatus().ok() ||
            (file.mode == TransferMode::Move && !m_folders.sourceStatus().ok())) {
            ++kept;
            counters.addFailed();
            return true;
        }
        const TakeBackOutcome outcome = m_folders.takeBack(file.mode, file.bucket, file.name, file.placed);
        switch (outcome.result) {
        case TakeBackResult::PutBack:
            ++putBack;
            break;
        case TakeBackResult::Removed:
            ++removed;
            break;
        case TakeBackResult::AlreadyBack:
            break;
        case TakeBackResult::Skipped:
            ++kept;
            counters.addFailed();
            m_job.log(LogIcon::Exclamation, NotTakenBackMessage(target, outcome.why.reason));
            break;
        }
        return true;
    }

    void bucket(const JournalBucket& bucket) override
    {
        made[static_cast<unsigned char>(bucket.bucket)] = bucket.identity;
    }

    void damaged(const JournalDamage& damage) override
    {
        unreadable += damage.files;
        m_job.log(LogIcon::Exclamation, DamagedRecordMessage(damage));
        if (damage.files == 0)
            unknownLoss = true;
        m_job.m_report.observer().logWindowWanted();
    }

    bool stopped = false;
    bool unknownLoss = false;
    std::uint64_t putBack = 0, removed = 0, kept = 0, unreadable = 0;
    std::array<std::optional<FolderIdentity>, 256> made {};

private:
    UndoJob& m_job;
    const JournalHeader& m_header;
    RunTakeBack& m_folders;
    const RunControls& m_controls;
    std::string m_target; // where the file in hand was put, its storage reused
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

    JournalSummary run;
    if (id.empty()) {
        std::optional<JournalSummary> newest = m_journals.newestToTakeBack();
        if (!newest) {
            log(LogIcon::Exclamation, std::string(kNoRunToTakeBack));
            return finish(RunEnd::NoFiles, UndoEnd::NothingToTakeBack);
        }
        run = std::move(*newest);
    } else {
        FsResult<JournalSummary> found = m_journals.summary(id);
        if (!found.ok()) {
            m_report.error(JournalUnreadableMessage(found.status().reason));
            return finish(RunEnd::Failed, UndoEnd::Unreadable);
        }
        run = std::move(found.value());
        if (run.takenBack) {
            log(LogIcon::Exclamation, AlreadyTakenBackMessage(RunDescription(run.header)));
            return finish(RunEnd::NoFiles, UndoEnd::NothingToTakeBack);
        }
    }
    const JournalHeader& header = run.header;
    log(LogIcon::Information, TakingBackMessage(RunDescription(header)));
    m_report.counters().addFound(run.files);
    m_report.phase(RunPhase::Processing);

    const std::unique_ptr<RunTakeBack> folders = m_fs.openTakeBack(header.source, header.destination);
    if (const FsStatus& why = folders->destinationStatus(); !why.ok()) {
        m_report.error(NothingTakenBackMessage(header.destination.path, why.reason));
    } else if (const FsStatus& away = folders->sourceStatus(); !away.ok() && header.mode == TransferMode::Move) {
        m_report.error(MovedFilesStayMessage(header.destination.path, header.source.path, away.reason));
    }

    Pass pass(*this, header, *folders, controls);
    if (FsStatus read = m_journals.read(run.id, pass); !read.ok()) {
        m_report.error(JournalUnreadableMessage(read.reason));
        return finish(RunEnd::Failed, UndoEnd::Unreadable);
    }
    if (pass.stopped) {
        log(LogIcon::Exclamation, std::string(kUndoStopped));
        return finish(RunEnd::StoppedWhileProcessing, UndoEnd::Stopped);
    }
    if (folders->destinationStatus().ok()) {
        for (std::size_t letter = 0; letter < pass.made.size(); ++letter) {
            if (!pass.made[letter])
                continue;
            const FsStatus removed = folders->removeMadeBucket(static_cast<char>(letter), *pass.made[letter]);
            if (removed.error == ESTALE)
                log(LogIcon::Exclamation,
                    LeftFolderMessage(header.destination.path + static_cast<char>(letter), removed.reason));
        }
    }
    if (FsStatus marked = m_journals.markTakenBack(run.id); !marked.ok())
        log(LogIcon::Exclamation, NotMarkedMessage(marked.reason));

    m_report.phase(RunPhase::Processed);
    log(LogIcon::Information, UndoCompleteMessage(pass.putBack, pass.removed, pass.kept));
    if (pass.unreadable > 0 || pass.unknownLoss)
        log(LogIcon::Exclamation, DamagedJournalMessage(pass.unreadable));
    const bool whole = pass.kept == 0 && pass.unreadable == 0 && !pass.unknownLoss;
    return finish(RunEnd::Completed, whole ? UndoEnd::TakenBack : UndoEnd::SomeLeft);
}

} // namespace quillbox
