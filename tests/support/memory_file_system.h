// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ports/file_system.h"

namespace quillbox::test {

// A file system held in memory, behind the core's ports: folders by their
// absolute paths, each with its files in the order they came (the order a
// listing gives), each file with its bytes and an identity that a rename
// keeps and every change moves on. For the jobs' logic (order, stop,
// counters, journal records) without a disk; the file layer itself is
// tested on real folders. Safe to use from the workers of a run.
class MemoryFileSystem final : public FileSystem {
public:
    MemoryFileSystem();
    ~MemoryFileSystem() override;

    // --- The folders and files, for the test. Paths are absolute; a
    // trailing '/' is ignored. A folder's parent need not be there.
    void addFolder(const std::string& path);
    // Creates or replaces a file of an existing folder.
    void addFile(const std::string& path, const std::string& bytes);
    void removeFile(const std::string& path);
    bool hasFolder(const std::string& path) const;
    bool hasFile(const std::string& path) const;
    // The bytes of a file; "" where it is not there.
    std::string bytes(const std::string& path) const;
    FileIdentity identity(const std::string& path) const;
    // The files of a folder, in listing order.
    std::vector<std::string> names(const std::string& folder) const;
    // How many files lie in the folder's subfolders ("A".."Z", "#").
    std::size_t filesInBuckets(const std::string& folder) const;

    // --- Faults and hooks. A file fails with the errno given for its name:
    // when looked at (the run reports it as an error of the run) or when
    // copied or moved.
    std::map<std::string, int> examineErrors;
    std::map<std::string, int> transferErrors;
    // The listing of the pass that handles files (listFilesAgain) ends with
    // `listingError` after this many names; negative: never.
    int failListingAgainAfter = -1;
    int listingError = 5; // EIO
    // Listings made so far, by either pass.
    int listings = 0;
    // After each name the counting listing (listFiles) yields: 1, 2...
    std::function<void(int counted)> afterCounted;
    // Before each file a run copies or moves: its name and index (1, 2...).
    std::function<void(const std::string& name, int index)> beforeFile;
    // Before each file an undo takes back: 1, 2...
    std::function<void(int index)> beforeTakeBack;
    // What the runs are told to have in flight, and the undos.
    InFlight inFlight {};
    int takeBackWorkers = 1;
    // Copies and moves asked for, done or not.
    std::atomic<int> transfers {0};

    // --- The ports.
    std::unique_ptr<FileListing> listFiles(const std::string& folder) override;
    std::unique_ptr<FileListing> listFilesAgain(const std::string& folder) override;
    FsStatus createFolder(const std::string& path) override;
    std::unique_ptr<RunFolders> openRun(const std::string& source, const std::string& destination) override;
    InFlight filesInFlight(const std::string&, const std::string&, TransferMode) override { return inFlight; }
    FsResult<ResolvedFolder> resolveFolder(const std::string& path) override;
    FsResult<FolderIdentity> folderIdentity(const std::string& path) override;
    InFlight takeBacksInFlight(const ResolvedFolder&, const ResolvedFolder&) override { return {takeBackWorkers, 16}; }
    std::unique_ptr<RunTakeBack> openTakeBack(const ResolvedFolder& source, const ResolvedFolder& destination) override;

private:
    struct File {
        std::string name;
        std::string bytes;
        FileIdentity identity;
    };
    struct Folder {
        FolderIdentity identity;
        std::vector<File> files;
    };
    class Listing;
    class Run;
    class TakeBack;

    // All under m_mutex.
    Folder* folder(const std::string& path);
    const Folder* folder(const std::string& path) const;
    static File* find(Folder& folder, const std::string& name);
    static const File* find(const Folder& folder, const std::string& name);
    static void remove(Folder& folder, const std::string& name);
    // Moves the change time of `file` on, as any change does.
    void touch(FileIdentity& identity) { identity.ctimeNs = ++m_tick * 1000; }
    FileOutcome sieve(const std::string& source, const std::string& destination, const std::string& name, char bucket,
                      TransferMode mode, bool preview, bool bucketsWillBeMade, const LengthFn& length,
                      const std::atomic<bool>* stop);
    FsStatus folderStatus(const ResolvedFolder& folder) const;

    mutable std::mutex m_mutex;
    std::map<std::string, Folder> m_folders;
    std::uint64_t m_nextInode = 100;
    std::int64_t m_tick = 0;
    int m_transferIndex = 0;
    int m_takeBackIndex = 0;
};

} // namespace quillbox::test
