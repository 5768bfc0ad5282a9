// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "core/ports/file_system.h"
#include "platform/listing.h"
#include "platform/system_calls.h"

namespace quillbox {

// The file system of a run on Linux.
//
// - A listing streams the folder and passes over everything that is not a
//   regular file or a link to one (platform/listing.h); listed again, it
//   still gives the links the last listing of the folder gave.
// - A run's folders are held as handles; bucket folders are opened inside
//   the destination and never through a link (platform/folder_handles.h).
// - A copy is written unseen and put in place whole: a new name by a link
//   of an anonymous file, an existing one replaced by a rename
//   (platform/file_copy.h).
// - A move never replaces; across file systems it copies completely before
//   the source goes, and keeps the source if it changed meanwhile
//   (platform/file_move.h).
// - A run is taken back only in the folders it used, and each file only
//   once it proved to be the very file the run left (platform/file_take_back.h).
// - A run has several files in flight where either folder lies on a network
//   share or a user-space file system (FUSE, NFS, SMB/CIFS, 9p, ...), one at
//   a time on every other (a local disk, memory).
//
// Names are bytes, passed to the system as they are.
class PosixFileSystem : public FileSystem {
public:
    PosixFileSystem();
    ~PosixFileSystem() override;
    // With calls a test can make refuse what a file system may refuse.
    explicit PosixFileSystem(SystemCalls& calls);

    std::unique_ptr<FileListing> listFiles(const std::string& folder) override;
    std::unique_ptr<FileListing> listFilesAgain(const std::string& folder) override;
    FsStatus createFolder(const std::string& path) override;
    FsStatus createNotedFolder(const std::string& path,
                               const std::function<void(const std::string& madeAs)>& made) override;
    std::vector<std::string> leftTemporaries(const std::string& destination) override;
    std::unique_ptr<RunFolders> openRun(const std::string& source, const std::string& destination) override;
    InFlight filesInFlight(const std::string& source, const std::string& destination, TransferMode mode) override;
    InFlight takeBacksInFlight(const ResolvedFolder& source, const ResolvedFolder& destination) override;
    FsResult<ResolvedFolder> resolveFolder(const std::string& path) override;
    FsResult<FolderIdentity> folderIdentity(const std::string& path) override;
    std::unique_ptr<RunTakeBack> openTakeBack(const ResolvedFolder& source, const ResolvedFolder& destination) override;

private:
    SystemCalls* m_calls;
    posix::ListedLinks m_listedLinks;
    // The temporaries leftTemporaries gave already, by path.
    std::mutex m_toldMutex;
    std::set<std::string> m_toldTemporaries;
    // Where the run about to start places its files, and whether that lies
    // on a network share or user-space file system, as filesInFlight found.
    std::mutex m_runMutex;
    std::optional<std::string> m_runDestination;
    bool m_runOnShare = false;
};

} // namespace quillbox
