#include "core/sieve_job.h"

#include <ctime>

#include "core/bucket.h"
#include "core/number_format.h"
#include "core/run_messages.h"

namespace quillbox {

namespace {

constexpr char kBucketLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ#";

// A listing that passes over every name not in `only`.
class OnlyListing final : public FileListing {
public:
    OnlyListing(std::unique_ptr<FileListing> all, const std::unordered_set<std::string>& only)
        : m_all(std::move(all)), m_only(only)
    {
    }
    const std::string& next() override
    {
        for (;;) {
            const std::string& name = m_all->next();
            if (name.empty() || m_only.contains(name))
                return name;
        }
    }
    const FsStatus& status() const override { return m_all->status(); }

private:
    std::unique_ptr<FileListing> m_all;
    const std::unordered_set<std::string>& m_only;
};

} // namespace

SieveJob::SieveJob(FileSystem& fs, Clock& clock, RunObserver& observer, JournalStore* journals)
    : m_fs(fs), m_clock(clock), m_observer(observer), m_journals(journals)
{
}

bool SieveJob::startJournal(const std::string& source, const std::string& destination, TransferMode mode)
{
    m_journal.reset();
    m_journalFailed = false;
    if (m_journals == nullptr)
        return true;
    // The journal names the folders as they can be found again from
    // anywhere, and which folders they are.
    JournalHeader header {static_cast<std::int64_t>(std::time(nullptr)), 0, mode, {}, {}};
    for (auto [given, resolved] : {std::pair {&source, &header.source}, std::pair {&destination, &header.destination}}) {
        FsResult<ResolvedFolder> found = m_fs.resolveFolder(*given);
        if (!found.ok()) {
            log(LogIcon::Exclamation, "The folder " + *given + " cannot be told as a full path (" +
                                          found.status().reason + "), so this run could not be taken back. Aborting.");
            m_observer.logWindowWanted();
            return false;
        }
        *resolved = std::move(found.value());
    }
    FsResult<std::unique_ptr<JournalWriter>> started = m_journals->startRun(header);
    if (!started.ok()) {
        checkJournal(started.status());
        return true;
    }
    m_journal = std::move(started.value());
    return true;
}

void SieveJob::checkJournal(const FsStatus& status)
{
    if (status.ok() || m_journalFailed)
        return;
    m_journalFailed = true;
    m_journal.reset();
    log(LogIcon::Exclamation,
        "The journal of this run could not be written (" + status.reason + "): it cannot be taken back.");
}

std::unique_ptr<FileListing> SieveJob::restricted(std::unique_ptr<FileListing> listing) const
{
    if (m_only.empty())
        return listing;
    return std::make_unique<OnlyListing>(std::move(listing), m_only);
}

void SieveJob::log(LogIcon icon, std::string message)
{
    m_entry.icon = message.empty() ? LogIcon::None : icon;
    m_entry.time = m_clock.now();
    m_entry.message = std::move(message);
    m_observer.entryLogged(m_entry);
}

void SieveJob::logListingFailure(const FsStatus& status)
{
    log(LogIcon::Exclamation, ErrorWhileSieving(status));
    m_observer.logWindowWanted();
}

RunEnd SieveJob::run(const RunSettings& settings, const RunControls& controls)
{
    m_counters.reset();
    m_only = {settings.only.begin(), settings.only.end()};

    log(LogIcon::None, {});
    log(LogIcon::Information, " -- SIEVING ----");

    const std::string source = WithTrailingSeparator(settings.source);
    const std::string destination = WithTrailingSeparator(settings.destination);
    const bool copyAtStart = controls.mode.load() == TransferMode::Copy;
    log(LogIcon::Information, "Source directory = " + source);
    log(LogIcon::Information, "Destination directory = " + destination);
    log(LogIcon::Information, std::string("Copy Mode = ") + (copyAtStart ? "Copy" : "Move"));
    if (!startJournal(source, destination, copyAtStart ? TransferMode::Copy : TransferMode::Move))
        return finish(RunEnd::Failed);

    // Bucket folders; one that cannot be made (usually: already there) shows
    // later as failed copies or moves into it.
    if (settings.createFolders) {
        log(LogIcon::Information, "Creating directories #-Z ..");
        for (const char* letter = kBucketLetters; *letter != '\0'; ++letter) {
            const std::string folder = destination + *letter;
            if (!m_fs.createFolder(folder).ok() || !m_journal)
                continue;
            // Undo removes it only while it is this very folder.
            if (FsResult<FolderIdentity> made = m_fs.folderIdentity(folder); made.ok())
                checkJournal(m_journal->bucket({*letter, made.value()}));
        }
    }

    RunEnd how = RunEnd::Completed;
    if (!countFiles(source, controls, how))
        return finish(how);

    if (m_counters.found() == 0) {
        log(LogIcon::Exclamation, "No files found in the selected directory. Aborting.");
        m_observer.phaseChanged(RunPhase::NoFiles, m_counters.figures());
        return finish(RunEnd::NoFiles);
    }
    const RunFigures counted = m_counters.figures();
    log(LogIcon::Information, "Found " + CounterText(counted.filesFound) + " file(s) for processing.");
    return finish(processFiles(source, destination, controls));
}

bool SieveJob::countFiles(const std::string& source, const RunControls& controls, RunEnd& how)
{
    m_observer.phaseChanged(RunPhase::Counting, m_counters.figures());
    const auto listing = restricted(m_fs.listFiles(source));
    for (const std::string* name = &listing->next(); !name->empty(); name = &listing->next()) {
        if (controls.stop.load(std::memory_order_relaxed)) {
            log(LogIcon::Exclamation, "File count processing aborted by user.");
            how = RunEnd::StoppedWhileCounting;
            return false;
        }
        m_counters.addFound();
    }
    if (!listing->status().ok()) {
        // Counting only part of the folder would report a wrong total.
        logListingFailure(listing->status());
        how = RunEnd::Failed;
        return false;
    }
    m_observer.phaseChanged(RunPhase::Counted, m_counters.figures());
    return true;
}

RunEnd SieveJob::processFiles(const std::string& source, const std::string& destination,
                              const RunControls& controls)
{
    m_observer.phaseChanged(RunPhase::Processing, m_counters.figures());
    {
        // The folders are held for this pass only: released before the run
        // reports its end.
        const auto listing = restricted(m_fs.listFilesAgain(source));
        const auto folders = m_fs.openRun(source, destination);
        const LengthFn addLength = [this](std::uint64_t bytes) { m_counters.addBytes(bytes); };
        std::string message;
        bool attributesNoted = false;
        for (const std::string* name = &listing->next(); !name->empty(); name = &listing->next()) {
            if (controls.stop.load(std::memory_order_relaxed)) {
                log(LogIcon::Exclamation, "Processing aborted by user.");
                return RunEnd::StoppedWhileProcessing;
            }
            m_counters.addProcessed();
            m_observer.fileStarted(*name);
            const TransferMode mode = controls.mode.load(std::memory_order_relaxed);
            const char letter = BucketLetter(*name);
            const FileOutcome outcome = folders->sieveFile(*name, letter, mode, addLength, &controls.stop);
            if (outcome.ok()) {
                if (!outcome.attributesNotKept.ok() && !attributesNoted) {
                    attributesNoted = true;
                    log(LogIcon::Exclamation, "Extended attributes could not be kept on some files (" +
                                                  outcome.attributesNotKept.reason + "); the files were placed.");
                }
                if (m_journal)
                    checkJournal(m_journal->file({mode, letter, *name, outcome.replaced, outcome.placed}));
                continue;
            }
            m_counters.addFailed();
            message.clear();
            AppendFailureMessage(message, *name, outcome);
            log(LogIcon::Exclamation, message);
            // A file that went away after it was listed is an error of the
            // run: the log window shows it. The run goes on.
            if (outcome.stage == FileStage::Examine)
                m_observer.logWindowWanted();
            // A copy abandoned for Stop ends the run here, after the last
            // file too.
            if (controls.stop.load(std::memory_order_relaxed)) {
                log(LogIcon::Exclamation, "Processing aborted by user.");
                return RunEnd::StoppedWhileProcessing;
            }
        }
        if (!listing->status().ok()) {
            logListingFailure(listing->status());
            return RunEnd::Failed;
        }
    }
    const RunFigures final = m_counters.figures();
    m_observer.phaseChanged(RunPhase::Processed, final);
    log(LogIcon::Information, "Operation complete. " + CounterText(final.filesFound) + " file(s) processed.");
    return RunEnd::Completed;
}

RunEnd SieveJob::finish(RunEnd how)
{
    if (m_journal) {
        checkJournal(m_journal->flush());
        m_journal.reset();
    }
    const RunFigures last = m_counters.figures();
    m_counters.reset();
    log(LogIcon::Information, "Cleaning up complete.");
    m_observer.ended(how, last);
    return how;
}

} // namespace quillbox
