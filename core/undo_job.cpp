#include "core/undo_job.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>
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

// Files a worker takes back between two looks at what is left to do: a
// file is a few system calls, too little to wake a thread for each.
constexpr std::uint64_t kClaim = 16;

// One file of the run, as it is handed to a worker and back.
struct UndoJob::FileToTakeBack {
    JournalFile file;
    bool act = false; // false: it stays, for a reason known before any work
    TakeBackOutcome outcome;
    bool skipped = false;
    std::atomic<bool> begun {false};
    bool finished = false;
};

// One pass over a run's journal, taking back each file as its record is
// read: on the job's thread, or by workers with several files in flight,
// their outcomes settled in the journal's order either way.
class UndoJob::Pass final : public JournalVisitor {
public:
    Pass(UndoJob& job, const JournalHeader& header, std::vector<std::unique_ptr<RunTakeBack>>& folders,
         const RunControls& controls)
        : m_job(job), m_header(header), m_folders(folders), m_controls(controls)
    {
        if (m_folders.size() > 1)
            m_workers = std::make_unique<InOrderWorkers<FileToTakeBack>>(
                m_folders.size(), controls.stop,
                [this](FileToTakeBack& item, std::size_t worker) {
                    if (item.act)
                        item.outcome = m_folders[worker]->takeBack(item.file.mode, item.file.bucket, item.file.name,
                                                                   item.file.placed);
                },
                kClaim);
    }

    bool file(const JournalFile& file) override
    {
        if (m_controls.stop.load(std::memory_order_relaxed))
            stopped = true;
        if (stopped)
            return false;
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

    bool stopped = false;
    bool unknownLoss = false;
    std::uint64_t putBack = 0, removed = 0, kept = 0, unreadable = 0;
    std::array<std::optional<FolderIdentity>, 256> made {};

private:
    void settle(const FileToTakeBack& item)
    {
        // A file Stop kept the workers from: nothing was done with it.
        if (item.skipped)
            stopped = true;
        else
            settle(item.file, item.act, item.outcome);
    }

    void settle(const JournalFile& file, bool act, const TakeBackOutcome& outcome)
    {
        RunCounters& counters = m_job.m_report.counters();
        counters.addProcessed();
        counters.addBytes(file.placed.size);
        std::string& target = m_target;
        target.assign(m_header.destination.path).append(1, file.bucket).append(1, '/').append(file.name);
        m_job.m_report.observer().fileStarted(target);
        if (file.mode == TransferMode::Copy && file.replaced) {
            ++kept;
            m_job.log(LogIcon::Exclamation, LeftInPlaceMessage(target));
            return;
        }
        if (!act) {
            ++kept;
            counters.addFailed();
            return;
        }
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
    }

    UndoJob& m_job;
    const JournalHeader& m_header;
    std::vector<std::unique_ptr<RunTakeBack>>& m_folders;
    const RunControls& m_controls;
    std::unique_ptr<InOrderWorkers<FileToTakeBack>> m_workers; // several files in flight
    std::string m_target;                                      // where the file in hand was put, its storage reused
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

    // A worker for each file in flight, each with the run's folders opened
    // for its own; the first one's tell what the take-back found.
    std::vector<std::unique_ptr<RunTakeBack>> workers;
    const int inFlight = std::clamp(m_fs.takeBacksInFlight(header.source, header.destination), 1, kMostWorkers);
    for (int i = 0; i < inFlight; ++i)
        workers.push_back(m_fs.openTakeBack(header.source, header.destination));
    RunTakeBack* const folders = workers.front().get();
    if (const FsStatus& why = folders->destinationStatus(); !why.ok()) {
        m_report.error(NothingTakenBackMessage(header.destination.path, why.reason));
    } else if (const FsStatus& away = folders->sourceStatus(); !away.ok() && header.mode == TransferMode::Move) {
        m_report.error(MovedFilesStayMessage(header.destination.path, header.source.path, away.reason));
    }

    Pass pass(*this, header, workers, controls);
    const FsStatus read = m_journals.read(run.id, pass);
    pass.drain();
    if (!read.ok()) {
        m_report.error(JournalUnreadableMessage(read.reason));
        return finish(RunEnd::Failed, UndoEnd::Unreadable);
    }
    if (pass.stopped) {
        log(LogIcon::Exclamation, std::string(kUndoStopped));
        return finish(RunEnd::StoppedWhileProcessing, UndoEnd::Stopped);
    }
    if (folders->destinationStatus().ok()) {
        for (std::size_t letter = 0; letter < pass.made.size(); ++letter) {
            if (!pass.made[letter] || letter == static_cast<unsigned char>(kMadeDestination))
                continue;
            const FsStatus removed = folders->removeMadeBucket(static_cast<char>(letter), *pass.made[letter]);
            if (removed.error == ESTALE)
                log(LogIcon::Exclamation,
                    LeftFolderMessage(header.destination.path + static_cast<char>(letter), removed.reason));
        }
        // The destination made for the run goes last, once its buckets are.
        if (const auto& made = pass.made[static_cast<unsigned char>(kMadeDestination)]) {
            const FsStatus removed = folders->removeMadeDestination(*made);
            if (removed.error == ESTALE)
                log(LogIcon::Exclamation, LeftFolderMessage(header.destination.path, removed.reason));
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
