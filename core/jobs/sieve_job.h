// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/jobs/job_report.h"
#include "core/jobs/named_listings.h"
#include "core/jobs/run_observer.h"
#include "core/jobs/run_settings.h"
#include "core/journal/journal.h"
#include "core/ports/clock.h"
#include "core/ports/file_system.h"
#include "core/ports/run_counters.h"

namespace quillbox {

// The sieve run: sorts the files directly inside the source folder into the
// bucket folders "A".."Z" and "#" of the destination, by copy or by move,
// and reports what it does to its observer. It knows no window; it runs on
// whatever thread calls run(). Where the file system asks for several files
// in flight (FileSystem::filesInFlight), the files are handled by workers of
// the run's own, and everything the observer and the journal are told still
// comes from the run's thread, in listing order.
class SieveJob {
public:
    // With a journal store, every run keeps a journal of what it placed, so
    // that it can be taken back.
    SieveJob(FileSystem& fs, Clock& clock, RunObserver& observer, JournalStore* journals = nullptr);

    // The whole run, start to end. Every way out logs "Cleaning up
    // complete." and ends with observer.ended().
    RunEnd run(const RunSettings& settings, const RunControls& controls);

    // Zero outside a run.
    const RunCounters& counters() const { return m_report.counters(); }

private:
    void log(LogIcon icon, std::string message) { m_report.log(icon, std::move(message)); }
    // The run's end, or none yet when every file was counted.
    std::optional<RunEnd> countFiles(const std::string& source, const RunControls& controls);
    RunEnd processFiles(const std::string& source, const std::string& destination, const RunControls& controls);
    // The files of the listing, one at a time or `inFlight` at a time; true
    // when Stop ended the pass.
    bool processOneByOne(FileListing& listing, RunFolders& folders, const RunControls& controls);
    bool processInFlight(FileListing& listing, const std::string& source, const std::string& destination,
                         InFlight inFlight, const RunControls& controls);
    // What became of one file, in the log, the counters and the journal.
    void settleFile(const std::string& name, char bucket, TransferMode mode, const FileOutcome& outcome);
    RunEnd finish(RunEnd how);
    // False when the run cannot keep a journal that could be taken back
    // from anywhere: it is refused.
    bool startJournal(const std::string& source, const std::string& destination, TransferMode mode);
    // A folder the run made (bucket `bucket`, or kMadeDestination), in the
    // journal, so that an undo removes it once empty again; it is looked at
    // as `madeAs` (the name it has until it is noted).
    void journalMadeFolder(char bucket, const std::string& folder, const std::string& madeAs);
    // A journal that cannot be written is reported once; the run goes on.
    void checkJournal(const FsStatus& status);
    // `folders`, telling the journal of each file before it is placed.
    std::unique_ptr<RunFolders> noticing(std::unique_ptr<RunFolders> folders);
    // The listing as the run sees it: only the names it was asked for.
    std::unique_ptr<FileListing> restricted(std::unique_ptr<FileListing> listing);

    FileSystem& m_fs;
    JournalStore* m_journals;
    std::unique_ptr<JournalWriter> m_journal;
    std::unique_ptr<JournalWriter> m_failedJournal; // one that failed, kept to the run's end
    bool m_journalFailed = false;
    // The run was said at once not to be one that can be taken back.
    bool m_cannotTakeBack = false;
    bool m_attributesNoted = false; // once a run
    std::string m_message;          // reused for every failure
    JobReport m_report;
    // The names the run is restricted to, while it runs; empty: every file.
    const std::vector<std::string>* m_only = nullptr;
    // Where each of them stands, made once a listing gives them out of order.
    std::unordered_map<std::string_view, std::size_t> m_onlyIndex;
    // Those the counting pass found, in its order.
    std::vector<ListedName> m_counted;
};

} // namespace quillbox
