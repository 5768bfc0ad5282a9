// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/sieve_job.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "core/bucket.h"
#include "core/jobs/files_in_flight.h"
#include "core/jobs/named_listings.h"
#include "core/log/number_format.h"
#include "core/log/run_messages.h"

namespace quillbox {

namespace {

constexpr char kBucketLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ#";
// However many files in flight a file system asks for.

} // namespace

SieveJob::SieveJob(FileSystem& fs, Clock& clock, RunObserver& observer, JournalStore* journals)
    : m_fs(fs), m_journals(journals), m_report(clock, observer)
{
}

bool SieveJob::startJournal(const std::string& source, const std::string& destination, TransferMode mode)
{
    m_journal.reset();
    m_journalFailed = false;
    m_cannotTakeBack = false;
    if (m_journals == nullptr)
        return true;
    // The journal names the folders as they can be found again from
    // anywhere, and which folders they are.
    JournalHeader header {m_report.clock().wallSeconds(), 0, mode, {}, {}};
    for (auto [given, resolved] :
         {std::pair {&source, &header.source}, std::pair {&destination, &header.destination}}) {
        FsResult<ResolvedFolder> found = m_fs.resolveFolder(*given);
        if (!found.ok()) {
            m_report.error(NotFullPathMessage(*given, found.status().reason));
            return false;
        }
        *resolved = std::move(found.value());
        // Which folder it is could not be read (a passing fault, say): once
        // more, and where that fails too, the run is said at once not to
        // be one an undo could take back. A folder not there holds nothing
        // an undo would look for.
        if (resolved->identity.known())
            continue;
        FsResult<FolderIdentity> again = m_fs.folderIdentity(resolved->path);
        if (again.ok()) {
            resolved->identity = again.value();
        } else if (again.status().error != ENOENT && !m_cannotTakeBack) {
            m_cannotTakeBack = true;
            log(LogIcon::Exclamation, FolderNotLookedAtMessage(resolved->path, again.status().reason));
        }
    }
    FsResult<std::unique_ptr<JournalWriter>> started = m_journals->startRun(header);
    if (!started.ok()) {
        checkJournal(started.status());
        return true;
    }
    m_journal = std::move(started.value());
    return true;
}

void SieveJob::journalMadeFolder(char bucket, const std::string& folder, const std::string& madeAs)
{
    // Undo removes it only while it is this very folder: which folder it is
    // is looked at once more where the first look fails (a passing fault),
    // and where that fails too, the run says that it stays.
    FsResult<FolderIdentity> made = m_fs.folderIdentity(madeAs);
    if (!made.ok())
        made = m_fs.folderIdentity(madeAs);
    if (made.ok())
        checkJournal(m_journal->bucket({bucket, made.value()}));
    else
        log(LogIcon::Exclamation, MadeFolderNotLookedAtMessage(folder, made.status().reason));
}

void SieveJob::checkJournal(const FsStatus& status)
{
    if (status.ok() || m_journalFailed)
        return;
    m_journalFailed = true;
    // Kept to the run's end: its folders may still tell it of files.
    m_failedJournal = std::move(m_journal);
    log(LogIcon::Exclamation, JournalNotWrittenMessage(status.reason));
}

std::unique_ptr<FileListing> SieveJob::restricted(std::unique_ptr<FileListing> listing)
{
    if (m_only == nullptr)
        return listing;
    m_counted.clear();
    return std::make_unique<OnlyListing>(std::move(listing), *m_only, m_onlyIndex, &m_counted);
}

RunEnd SieveJob::run(const RunSettings& settings, const RunControls& controls)
{
    m_only = settings.only.empty() ? nullptr : &settings.only;
    m_onlyIndex.clear();
    m_counted.clear();
    m_report.begin(kSievingTitle);

    const std::string source = WithTrailingSeparator(settings.source);
    const std::string destination = WithTrailingSeparator(settings.destination);
    const bool copyAtStart = controls.mode.load() == TransferMode::Copy;
    log(LogIcon::Information, "Source directory = " + source);
    log(LogIcon::Information, "Destination directory = " + destination);
    log(LogIcon::Information, std::string("Copy Mode = ") + (copyAtStart ? "Copy" : "Move"));
    if (!startJournal(source, destination, copyAtStart ? TransferMode::Copy : TransferMode::Move))
        return finish(RunEnd::Failed);
    if (settings.destinationMade && m_journal) {
        const std::string folder = destination.size() > 1 ? destination.substr(0, destination.size() - 1) : destination;
        journalMadeFolder(kMadeDestination, folder, folder);
    }

    // Bucket folders; one that cannot be made (usually: already there) shows
    // later as failed copies or moves into it. A journaled run notes each
    // before it has its name, so that a run killed at any moment has every
    // folder it made on record.
    if (settings.createFolders) {
        log(LogIcon::Information, std::string(kCreatingBuckets));
        for (const char* letter = kBucketLetters; *letter != '\0'; ++letter) {
            const std::string folder = destination + *letter;
            if (!m_journal)
                m_fs.createFolder(folder);
            else
                m_fs.createNotedFolder(folder,
                                       [&](const std::string& madeAs) { journalMadeFolder(*letter, folder, madeAs); });
        }
    }

    // Copies earlier runs did not finish are named, never removed: a share
    // may be written from other machines too.
    for (const std::string& left : m_fs.leftTemporaries(destination))
        log(LogIcon::Exclamation, LeftTemporaryMessage(destination + left));

    if (const std::optional<RunEnd> early = countFiles(source, controls))
        return finish(*early);

    if (m_report.counters().found() == 0) {
        log(LogIcon::Exclamation, std::string(kNoFilesFound));
        m_report.phase(RunPhase::NoFiles);
        return finish(RunEnd::NoFiles);
    }
    const RunFigures counted = m_report.counters().figures();
    log(LogIcon::Information, "Found " + CounterText(counted.filesFound) + " file(s) for processing.");
    return finish(processFiles(source, destination, controls));
}

std::optional<RunEnd> SieveJob::countFiles(const std::string& source, const RunControls& controls)
{
    m_report.phase(RunPhase::Counting);
    const auto listing = restricted(m_fs.listFiles(source));
    for (const std::string* name = &listing->next(); !name->empty(); name = &listing->next()) {
        if (controls.stop.load(std::memory_order_relaxed)) {
            log(LogIcon::Exclamation, std::string(kCountingStopped));
            return RunEnd::StoppedWhileCounting;
        }
        m_report.counters().addFound();
    }
    if (!listing->status().ok()) {
        // A folder that cannot be listed, or only in part, holds no file the
        // run could count on: the run ends as it ends without files, with
        // the reason before, as an error of the run.
        m_report.error(ErrorWhileSieving(listing->status()));
        log(LogIcon::Exclamation, std::string(kNoFilesFound));
        m_report.phase(RunPhase::NoFiles);
        return RunEnd::Failed;
    }
    m_report.phase(RunPhase::Counted);
    return std::nullopt;
}

RunEnd SieveJob::processFiles(const std::string& source, const std::string& destination, const RunControls& controls)
{
    RunCounters& counters = m_report.counters();
    m_report.phase(RunPhase::Processing);
    m_attributesNoted = false;
    {
        // The folders are held for this pass only: released before the run
        // reports its end.
        // A run over named files (a watch's batch, just looked at) takes
        // those the counting pass found, without listing the folder again.
        const std::unique_ptr<FileListing> listing =
            m_only == nullptr ? m_fs.listFilesAgain(source) : std::make_unique<GivenListing>(*m_only, m_counted);
        InFlight inFlight = m_fs.filesInFlight(source, destination, controls.mode.load());
        inFlight.workers = std::clamp(inFlight.workers, 1, kMostWorkers);
        const bool stopped = inFlight.workers == 1
            ? processOneByOne(*listing, *noticing(m_fs.openRun(source, destination)), controls)
            : processInFlight(*listing, source, destination, inFlight, controls);
        if (stopped) {
            log(LogIcon::Exclamation, std::string(kProcessingStopped));
            return RunEnd::StoppedWhileProcessing;
        }
        if (!listing->status().ok()) {
            m_report.error(ErrorWhileSieving(listing->status()));
            return RunEnd::Failed;
        }
    }
    const RunFigures final = counters.figures();
    m_report.phase(RunPhase::Processed);
    log(LogIcon::Information, "Operation complete. " + CounterText(final.filesFound) + " file(s) processed.");
    return RunEnd::Completed;
}

bool SieveJob::processOneByOne(FileListing& listing, RunFolders& folders, const RunControls& controls)
{
    RunCounters& counters = m_report.counters();
    const LengthFn addLength = [&counters](std::uint64_t bytes) { counters.addBytes(bytes); };
    for (const std::string* name = &listing.next(); !name->empty(); name = &listing.next()) {
        if (controls.stop.load(std::memory_order_relaxed))
            return true;
        counters.addProcessed();
        m_report.observer().fileStarted(*name);
        const TransferMode mode = controls.mode.load(std::memory_order_relaxed);
        const char letter = BucketLetter(*name);
        const FileOutcome outcome = folders.sieveFile(*name, letter, mode, addLength, &controls.stop);
        settleFile(*name, letter, mode, outcome);
        // A copy abandoned for Stop ends the run here, after the last file
        // too.
        if (!outcome.ok() && controls.stop.load(std::memory_order_relaxed))
            return true;
    }
    return false;
}

bool SieveJob::processInFlight(FileListing& listing, const std::string& source, const std::string& destination,
                               InFlight inFlight, const RunControls& controls)
{
    std::vector<std::unique_ptr<RunFolders>> folders;
    for (int i = 0; i < inFlight.workers; ++i)
        folders.push_back(noticing(m_fs.openRun(source, destination)));
    FilesInFlight files(std::move(folders), controls, static_cast<std::uint64_t>(inFlight.claim));
    RunCounters& counters = m_report.counters();
    bool listed = false; // the listing ended, or Stop ended it
    bool stopped = false;
    bool linkInFlight = false;
    std::optional<std::string> heldLink; // waits until nothing is in flight
    for (;;) {
        if (files.empty())
            linkInFlight = false;
        while (!listed && !heldLink && !linkInFlight && !files.full()) {
            if (controls.stop.load(std::memory_order_relaxed)) {
                listed = stopped = true;
                break;
            }
            const std::string& name = listing.next();
            if (name.empty())
                listed = true;
            else if (listing.lastMayBeLink())
                heldLink = name;
            else
                files.handOver(name, BucketLetter(name));
        }
        if (files.empty()) {
            // After Stop a link held back is left where it is, as the files
            // after it are.
            if (!heldLink || stopped)
                break;
            // A link goes alone, after every file before it, so that it
            // sees their moves done, as one file at a time would.
            files.handOver(*heldLink, BucketLetter(*heldLink));
            heldLink.reset();
            linkInFlight = true;
        }
        // Results are settled in listing order, whichever finished first;
        // a file is told as started once a worker began it and every file
        // before it is settled, as one file at a time would tell it.
        if (const FileInFlight& next = files.oldestBegun(); next.begun) {
            counters.addProcessed();
            m_report.observer().fileStarted(next.name);
        }
        const FileInFlight& file = files.oldest();
        if (file.skipped) {
            listed = stopped = true;
        } else {
            counters.addBytes(file.bytes);
            settleFile(file.name, file.bucket, file.mode, file.outcome);
            if (!file.outcome.ok() && controls.stop.load(std::memory_order_relaxed))
                listed = stopped = true;
        }
        files.takeBack();
    }
    return stopped;
}

void SieveJob::settleFile(const std::string& name, char bucket, TransferMode mode, const FileOutcome& outcome)
{
    if (outcome.ok()) {
        if (!outcome.attributesNotKept.ok() && !m_attributesNoted) {
            m_attributesNoted = true;
            log(LogIcon::Exclamation, AttributesNotKeptMessage(outcome.attributesNotKept.reason));
        }
        if (m_journal) {
            checkJournal(m_journal->file({mode, bucket, name, outcome.replaced, outcome.placed}));
            if (!outcome.placed.known() && !m_cannotTakeBack && m_journal)
                log(LogIcon::Exclamation, PlacedNotLookedAtMessage(name));
        }
        return;
    }
    if (m_journal)
        m_journal->unplaced(bucket, name);
    m_report.counters().addFailed();
    if (outcome.leftPlaced && m_journal)
        checkJournal(m_journal->file({mode, bucket, name, false, outcome.placed}));
    m_message.clear();
    AppendFailureMessage(m_message, name, outcome);
    log(LogIcon::Exclamation, m_message);
    // A file that went away after it was listed is an error of the run: the
    // log window shows it. The run goes on.
    if (outcome.stage == FileStage::Examine)
        m_report.observer().logWindowWanted();
}

std::unique_ptr<RunFolders> SieveJob::noticing(std::unique_ptr<RunFolders> folders)
{
    // Each file is noted in the journal before it is placed.
    if (m_journal)
        folders->noticePlacements(m_journal->notice());
    return folders;
}

RunEnd SieveJob::finish(RunEnd how)
{
    if (m_journal) {
        checkJournal(m_journal->flush());
        m_journal.reset();
    }
    m_failedJournal.reset();
    m_only = nullptr; // the caller's, no longer there to point at
    m_onlyIndex.clear();
    m_counted = {};
    m_report.finish(how);
    return how;
}

} // namespace quillbox
