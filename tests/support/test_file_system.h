// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/ports/file_system.h"
#include "platform/posix_file_system.h"

namespace quillbox::test {

// Holds a run's thread at one point until the test lets it go on, so that a
// test can act while a run is known to be in progress. Bounded both ways:
// nothing waits for ever on a test that went wrong.
class Gate {
public:
    // On the run's thread: marks the gate reached and waits to be released.
    void pass();
    // On the test's thread.
    bool reached() const { return m_reached.load(); }
    void release();

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    std::atomic<bool> m_reached {false};
    bool m_open = false;
};

// The Linux file system with its seams open to a test. Below the file
// layer: errnos that system calls report instead of acting, as a file
// system that refuses them would, and a clock the test moves. Above it:
// hooks that see, and may act at, each step a job takes. Every hook runs on
// the job's thread, in the order the job takes the steps, except that with
// several files in flight the file hooks run on the workers, as they take
// the files up.
class TestFileSystem final : public FileSystem {
public:
    TestFileSystem();
    ~TestFileSystem() override;

    // --- System calls.
    // renameat2(RENAME_NOREPLACE) fails with this (EINVAL: the flag is
    // refused; EXDEV: the bucket is on another file system, which is
    // reported only where the two folders differ, as the system would);
    // 0 = the real call.
    int noReplaceError = 0;
    int replaceError = 0;   // renameat
    int linkError = 0;      // linkat (EPERM: no hard links here)
    int anonymousError = 0; // open(O_TMPFILE) (EOPNOTSUPP: not made here)
    int copyRangeError = 0; // copy_file_range (EXDEV: copy by read/write)
    std::atomic<int> noReplaceCalls {0};
    std::atomic<int> replaceCalls {0};
    std::atomic<int> linkCalls {0};
    std::atomic<int> anonymousCalls {0};
    // Runs before each renameat2(RENAME_NOREPLACE), with its two names.
    std::function<void(const char* from, const char* to)> beforeNoReplace;
    // Runs before each copy_file_range call, whatever it then does.
    std::function<void()> beforeCopyRange;
    // opendir fails with this; 0 = the real call.
    int openDirectoryError = 0;
    // A listing's look (fstatat) at `name` ("" for its folder itself) with
    // these flags: the errno to fail it with, 0 for the real call.
    std::function<int(const std::string& name, int flags)> lookFault;
    // fsync: the errno to fail the sync of `fd` with, 0 for the real call;
    // how many syncs were asked for, and how many real ones failed.
    std::function<int(int fd)> syncFault;
    std::atomic<int> syncCalls {0};
    std::atomic<int> syncsFailed {0};
    // The clock the run's bucket folders are checked by, in milliseconds;
    // negative = the real one.
    std::int64_t clockMs = -1;

    // --- Listings. A failed listing reports `listingError`: either after
    // `listingErrorAfter` entries of any listing, as readdir gives them ("."
    // and ".." count), or after `failListingAfter` names of the listing a
    // run handles files from (listFilesAgain). Negative = never.
    int listingError = 5; // EIO
    // Every listing gives no file types (DT_UNKNOWN), as many user-space
    // file systems give none.
    bool listingWithoutTypes = false;
    int listingErrorAfter = -1;
    int failListingAfter = -1;
    // How many listings were asked for, and the name one gave last (the one
    // the run has taken up next).
    std::atomic<int> listings {0};
    std::string lastListed;
    // After each name a listFiles listing (a run's counting pass) yields: 1, 2...
    std::function<void(int counted)> afterCounted;
    // The same for a listFilesAgain listing (the pass that handles files).
    std::function<void(int listed)> afterListedAgain;

    // --- Folders of a run. The next `identityFailures` looks at which
    // folder a path names (resolveFolder, folderIdentity) fail with
    // `identityError`.
    int identityFailures = 0;
    int identityError = 5; // EIO
    // After those: the errno to fail folderIdentity(`path`) with, 0 for
    // the real look.
    std::function<int(const std::string& path)> identityFault;
    // A folder a journaled run makes (createNotedFolder): before it is
    // noted, with the path it is to have and the private one it has; and
    // once noted, before it takes its name.
    std::function<void(const std::string& path, const std::string& madeAs)> beforeFolderNoted;
    std::function<void(const std::string& path, const std::string& madeAs)> afterFolderNoted;

    // --- Files of a run. How many a run has in flight at once (1: the
    // files one by one on the run's own thread).
    int inFlight = 1;
    int claim = 1; // files a worker takes up at a time
    // Before each is handled: its name and index (1,
    // 2...), then its path; after it: how many were handled so far.
    std::function<void(const std::string& name, int index)> beforeFile;
    std::function<void(const std::string& path)> beforeLength;
    std::function<void(int handled)> afterFile;
    // What became of each file, before the run sees it, to change it.
    std::function<void(const std::string& name, FileOutcome& outcome)> outcomeOf;
    // How many files an undo takes back at once (1: one by one on its own
    // thread), and how many a worker takes up at a time.
    int takeBackWorkers = 1;
    int takeBackClaim = 16;
    // Before each file an undo takes back: 1, 2..., in the order the
    // files are taken up (on the workers with several at once).
    std::function<void(int index)> beforeTakeBack;
    // The errno an undo's removal of a folder the run made fails with,
    // by its letter (kMadeDestination: the destination); 0 = the real call.
    std::function<int(char letter)> removeFolderFault;

    std::unique_ptr<FileListing> listFiles(const std::string& folder) override;
    std::unique_ptr<FileListing> listFilesAgain(const std::string& folder) override;
    FsStatus createFolder(const std::string& path) override;
    FsStatus createNotedFolder(const std::string& path,
                               const std::function<void(const std::string& madeAs)>& made) override;
    std::unique_ptr<RunFolders> openRun(const std::string& source, const std::string& destination) override;
    InFlight filesInFlight(const std::string& source, const std::string& destination, TransferMode mode) override;
    InFlight takeBacksInFlight(const ResolvedFolder&, const ResolvedFolder&) override
    {
        return {takeBackWorkers, takeBackClaim};
    }
    FsResult<ResolvedFolder> resolveFolder(const std::string& path) override;
    FsResult<FolderIdentity> folderIdentity(const std::string& path) override;
    std::unique_ptr<RunTakeBack> openTakeBack(const ResolvedFolder& source, const ResolvedFolder& destination) override;

private:
    class Calls;
    std::unique_ptr<Calls> m_calls;
    std::unique_ptr<PosixFileSystem> m_real;
    std::atomic<int> m_handled {0};
    std::atomic<int> m_takenBack {0};
};

} // namespace quillbox::test
