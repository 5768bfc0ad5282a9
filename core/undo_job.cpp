#include "core/undo_job.h"

#include <ctime>

#include "core/number_format.h"
#include "core/run_messages.h"

namespace quillbox {

std::string RunDescription(const JournalHeader& header)
{
    const std::time_t started = static_cast<std::time_t>(header.startedAt);
    std::tm local {};
    ::localtime_r(&started, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(when) + ", " + (header.mode == TransferMode::Move ? "Move" : "Copy") + " from " +
           header.source + " to " + header.destination;
}

UndoJob::UndoJob(FileSystem& fs, JournalStore& journals, Clock& clock, RunObserver& observer)
    : m_fs(fs), m_journals(journals), m_clock(clock), m_observer(observer)
{
}

void UndoJob::log(LogIcon icon, std::string message)
{
    LogEntry entry;
    entry.icon = message.empty() ? LogIcon::None : icon;
    entry.time = m_clock.now();
    entry.message = std::move(message);
    m_observer.entryLogged(entry);
}

RunEnd UndoJob::finish(RunEnd how)
{
    const RunFigures last = m_counters.figures();
    m_counters.reset();
    log(LogIcon::Information, "Cleaning up complete.");
    m_observer.ended(how, last);
    return how;
}

RunEnd UndoJob::run(const std::string& id, const RunControls& controls)
{
    m_counters.reset();
    log(LogIcon::None, {});
    log(LogIcon::Information, " -- UNDO ----");

    std::string which = id;
    if (which.empty()) {
        const std::optional<JournalSummary> last = m_journals.newest();
        if (!last) {
            log(LogIcon::Exclamation, "No run to take back.");
            return finish(RunEnd::NoFiles);
        }
        which = last->id;
    }
    FsResult<Journal> read = m_journals.read(which);
    if (!read.ok()) {
        log(LogIcon::Exclamation, "The journal of the run could not be read: " + read.status().reason + ".");
        m_observer.logWindowWanted();
        return finish(RunEnd::Failed);
    }
    const Journal& journal = read.value();
    log(LogIcon::Information, "Taking back the run of " + RunDescription(journal.header));
    for (std::size_t i = 0; i < journal.files.size(); ++i)
        m_counters.addFound();
    m_observer.phaseChanged(RunPhase::Processing, m_counters.figures());

    std::uint64_t putBack = 0, removed = 0, kept = 0;
    // The last file placed goes back first.
    for (auto file = journal.files.rbegin(); file != journal.files.rend(); ++file) {
        if (controls.stop.load(std::memory_order_relaxed)) {
            log(LogIcon::Exclamation, "Undo aborted by user.");
            return finish(RunEnd::StoppedWhileProcessing);
        }
        m_counters.addProcessed();
        m_counters.addBytes(file->placed.size);
        m_observer.fileStarted(file->target);
        if (file->mode == TransferMode::Copy && file->replaced) {
            ++kept;
            log(LogIcon::Exclamation, "Left in place: " + file->target +
                                          " replaced a file of the same name, which cannot be brought back.");
            continue;
        }
        const TakeBackOutcome outcome = m_fs.takeBack(file->mode, file->source, file->target, file->placed);
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
            m_counters.addFailed();
            log(LogIcon::Exclamation, "Could not take back file " + file->target + ". " + outcome.why.reason + ".");
            break;
        }
    }
    for (auto folder = journal.folders.rbegin(); folder != journal.folders.rend(); ++folder)
        m_fs.removeEmptyFolder(*folder);
    if (FsStatus marked = m_journals.markTakenBack(journal.id); !marked.ok())
        log(LogIcon::Exclamation, "The journal could not note that the run was taken back: " + marked.reason + ".");

    m_observer.phaseChanged(RunPhase::Processed, m_counters.figures());
    log(LogIcon::Information, "Undo complete. " + CounterText(static_cast<double>(putBack)) + " file(s) put back, " +
                                  CounterText(static_cast<double>(removed)) + " copies removed, " +
                                  CounterText(static_cast<double>(kept)) + " left as they were.");
    return finish(RunEnd::Completed);
}

} // namespace quillbox
