#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/file_system.h"

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

// A file system that forwards to the real one (or to `inner`) and lets a
// test see, and act at, each step of a run. Every hook runs on the run's
// thread, in the order the run takes the steps.
class HookedFileSystem final : public FileSystem {
public:
    explicit HookedFileSystem(FileSystem* inner = nullptr);
    ~HookedFileSystem() override;

    // After each name a listing of listFiles (a run's counting pass) yields: 1, 2...
    std::function<void(int counted)> afterCounted;
    // Before and after each file is handled: 1, 2...
    std::function<void(const std::string& name, int index)> beforeFile;
    std::function<void(int handled)> afterFile;
    // When >= 0, the listing of listFilesAgain (a run's second pass) fails
    // with `listingError` after that many names.
    int failListingAfter = -1;
    int listingError = 5; // EIO

    std::atomic<int> listings {0};

    std::unique_ptr<FileListing> listFiles(const std::string& folder) override;
    std::unique_ptr<FileListing> listFilesAgain(const std::string& folder) override;
    FsStatus createFolder(const std::string& path) override;
    std::unique_ptr<RunFolders> openRun(const std::string& source, const std::string& destination) override;
    FsResult<ResolvedFolder> resolveFolder(const std::string& path) override { return m_inner->resolveFolder(path); }
    FsResult<FolderIdentity> folderIdentity(const std::string& path) override
    {
        return m_inner->folderIdentity(path);
    }
    std::unique_ptr<RunTakeBack> openTakeBack(const ResolvedFolder& source,
                                              const ResolvedFolder& destination) override;

    // Before each file an undo takes back: 1, 2...
    std::function<void(int index)> beforeTakeBack;

private:
    std::unique_ptr<FileSystem> m_own;
    FileSystem* m_inner;
    int m_handled = 0;
    int m_takenBack = 0;
};

} // namespace quillbox::test
