// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/posix_file_system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <thread>
#include <unistd.h>

#include "core/bucket.h"
#include "core/jobs/run_request.h"
#include "core/ports/fs_try.h"
#include "platform/error_text.h"
#include "platform/file_copy.h"
#include "platform/file_move.h"
#include "platform/file_preview.h"
#include "platform/file_take_back.h"
#include "platform/folder_handles.h"
#include "platform/left_temporaries.h"
#include "platform/listing.h"
#include "platform/name_moves.h"
#include "platform/share_identity.h"
#include "platform/unique_fd.h"
#include "platform/working_folder.h"

namespace quillbox {

namespace {

// Files in flight at once where every call is a round trip.
constexpr int kRemoteFilesInFlight = 8;
// Where each file is written over the network (a copy, a move onto a
// share), its round trips are many and its files wait for no common lock.
constexpr int kRemoteWritesInFlight = 16;
// Files a worker takes up at a time where a file is little work.
constexpr int kLocalClaim = 16;

// Whether the folder `path` lies on a file system whose every call goes
// over a network or through a user-space process, by its statfs type.
bool RoundTripFolder(const std::string& path)
{
    struct statfs st; // filled by the call
    return ::statfs(path.c_str(), &st) == 0 && posix::RoundTripType(static_cast<unsigned long>(st.f_type));
}

// What a journal keeps of the folder `path` (see JournalFolderIdentity).
bool JournalFolderIdentityAt(const std::string& path, bool followLink, FolderIdentity& identity)
{
    const posix::UniqueFd folder(
        ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
    return folder.valid() && posix::JournalFolderIdentity(folder.get(), identity);
}

class PosixRunFolders final : public RunFolders {
public:
    // `onShare`: whether the destination lies on a share, where the run
    // found that out already; otherwise it is asked here.
    PosixRunFolders(const std::string& source, const std::string& destination, SystemCalls& calls,
                    std::optional<bool> onShare)
        : m_folders(source, destination, calls), m_state(calls)
    {
        // Told once, while the share still answers.
        if (onShare) {
            m_onShare = *onShare;
        } else {
            const FsResult<int> folder = m_folders.destination();
            m_onShare = folder.ok() && posix::OnRoundTripFileSystem(folder.value());
        }
        m_state.toShare = m_onShare;
    }

    FileOutcome sieveFile(const std::string& name, char bucket, TransferMode mode, const LengthFn& length,
                          const std::atomic<bool>* stop) override
    {
        QB_TRY_ASSIGN_AT(FileStage::Examine, const int source, sourceFolder(name));
        m_state.stop = stop;
        m_state.placingMode = mode;
        m_state.placingBucket = bucket;
        m_state.checksumKnown = false;
        FileOutcome done = mode == TransferMode::Move
            ? posix::MoveFile(m_state, m_folders, source, name.c_str(), bucket, length)
            : posix::CopyFile(m_state, m_folders, source, name.c_str(), bucket, length);
        // On a share the journal keeps what holds there across mounts, and
        // for a copy the checksum of the bytes it wrote.
        if ((done.ok() || done.leftPlaced) && m_onShare && done.placed.known())
            done.placed = posix::ShareFileIdentity(
                done.placed, mode == TransferMode::Copy && m_state.checksumKnown ? m_state.checksum.value() : 0);
        return done;
    }

    void noticePlacements(PlacementNotice* notice) override { m_state.notice = notice; }

    FileOutcome previewFile(const std::string& name, char bucket, TransferMode mode, bool bucketsWillBeMade,
                            const LengthFn& length) override
    {
        QB_TRY_ASSIGN_AT(FileStage::Examine, const int source, sourceFolder(name));
        return posix::PreviewFile(m_preview, m_folders, source, name.c_str(), bucket, mode, bucketsWillBeMade, length);
    }

private:
    // The source folder's handle, for a bare name of it: nothing that leads
    // elsewhere.
    FsResult<int> sourceFolder(const std::string& name)
    {
        if (name.empty() || name == "." || name == ".." || std::memchr(name.data(), '/', name.size()) != nullptr ||
            std::strlen(name.c_str()) != name.size())
            return posix::Failure(EINVAL, "Not a file name");
        return m_folders.source();
    }

    posix::RunFolderHandles m_folders;
    bool m_onShare = false; // the destination is on a network share
    posix::CopyState m_state;
    posix::PreviewState m_preview;
};

} // namespace

PosixFileSystem::PosixFileSystem() : m_calls(&SystemCalls::real())
{
}

PosixFileSystem::~PosixFileSystem() = default;

PosixFileSystem::PosixFileSystem(SystemCalls& calls) : m_calls(&calls)
{
}

std::unique_ptr<FileListing> PosixFileSystem::listFiles(const std::string& folder)
{
    return std::make_unique<posix::DirectoryListing>(folder, *m_calls, &m_listedLinks,
                                                     posix::DirectoryListing::LinkMemory::Remember);
}

std::unique_ptr<FileListing> PosixFileSystem::listFilesAgain(const std::string& folder)
{
    return std::make_unique<posix::DirectoryListing>(folder, *m_calls, &m_listedLinks,
                                                     posix::DirectoryListing::LinkMemory::Recall);
}

FsStatus PosixFileSystem::createFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0777) != 0)
        return posix::Failure(errno);
    return FsStatus::success();
}

FsStatus PosixFileSystem::createNotedFolder(const std::string& path,
                                            const std::function<void(const std::string& madeAs)>& made)
{
    // A folder there already (the buckets of most runs) costs one look.
    struct stat there; // filled by the call
    if (::lstat(path.c_str(), &there) == 0)
        return posix::Failure(EEXIST);
    if (errno != ENOENT)
        return posix::Failure(errno);
    const std::size_t slash = path.find_last_of('/');
    const std::string parentPath = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const posix::UniqueFd parent(::open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid())
        return posix::Failure(errno);
    // Under a name of the process's own, which nothing else takes, until it
    // is noted; then it takes its name, or goes again where that is taken.
    const posix::CopyState names(*m_calls);
    std::string hidden;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        hidden = names.privateName();
        error = ::mkdirat(parent.get(), hidden.c_str(), 0777) == 0 ? 0 : errno;
    }
    if (error != 0)
        return posix::Failure(error);
    made(parentPath + hidden);
    error = posix::MoveNameNoReplace(*m_calls, parent.get(), hidden.c_str(), parent.get(), name.c_str());
    if (error == 0)
        return FsStatus::success();
    ::unlinkat(parent.get(), hidden.c_str(), AT_REMOVEDIR);
    if (error == EEXIST)
        return posix::Failure(error);
    // A file system that will not rename this folder: made under its own
    // name, and noted right after (as it is there, a second note of it
    // counts).
    if (::mkdirat(parent.get(), name.c_str(), 0777) != 0)
        return posix::Failure(errno);
    made(path);
    return FsStatus::success();
}

std::vector<std::string> PosixFileSystem::leftTemporaries(const std::string& destination)
{
    std::vector<std::string> found = posix::FindLeftTemporaries(destination, RoundTripFolder(destination));
    const std::lock_guard lock(m_toldMutex);
    std::erase_if(found, [&](const std::string& left) { return !m_toldTemporaries.insert(destination + left).second; });
    return found;
}

std::unique_ptr<RunFolders> PosixFileSystem::openRun(const std::string& source, const std::string& destination)
{
    std::optional<bool> onShare;
    {
        const std::lock_guard lock(m_runMutex);
        if (m_runDestination && *m_runDestination == destination)
            onShare = m_runOnShare;
    }
    return std::make_unique<PosixRunFolders>(source, destination, *m_calls, onShare);
}

InFlight PosixFileSystem::filesInFlight(const std::string& source, const std::string& destination, TransferMode mode)
{
    // Each of the run's sets of folders (one a file in flight) is told where
    // the destination lies rather than asking the share once more.
    const bool destinationOnShare = RoundTripFolder(destination);
    {
        const std::lock_guard lock(m_runMutex);
        m_runDestination = destination;
        m_runOnShare = destinationOnShare;
    }
    if (destinationOnShare || RoundTripFolder(source)) {
        // A move within one share renames: those wait for each other there.
        struct stat from, to; // filled by the calls
        if (mode == TransferMode::Move && ::stat(source.c_str(), &from) == 0 && ::stat(destination.c_str(), &to) == 0 &&
            from.st_dev == to.st_dev)
            return {kRemoteFilesInFlight, 1};
        return {kRemoteWritesInFlight, 1};
    }
    // A local copy is work for a core (opening, reading, writing, naming);
    // a second core halves it. Files are claimed a few at a time.
    if (mode == TransferMode::Copy && std::thread::hardware_concurrency() > 1)
        return {2, kLocalClaim};
    return {};
}

InFlight PosixFileSystem::takeBacksInFlight(const ResolvedFolder& source, const ResolvedFolder& destination)
{
    if (RoundTripFolder(source.path) || RoundTripFolder(destination.path))
        return {kRemoteFilesInFlight, 1};
    // Two: the renames home all pass through the source folder's lock. A
    // file is a few system calls, too little to wake a thread for each.
    return {std::thread::hardware_concurrency() > 1 ? 2 : 1, kLocalClaim};
}

FsResult<ResolvedFolder> PosixFileSystem::resolveFolder(const std::string& path)
{
    ResolvedFolder folder;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        JournalFolderIdentityAt(real, true, folder.identity);
        folder.path = RequestFolder(real, {});
        std::free(real);
        return folder;
    }
    if (errno != ENOENT && errno != ENOTDIR)
        return posix::Failure(errno);
    // Not there (yet): nothing will be placed in it.
    std::string working;
    if (path.empty() || path[0] != '/') {
        QB_TRY_ASSIGN(working, WorkingFolder());
    }
    folder.path = RequestFolder(path, working);
    return folder;
}

FsResult<FolderIdentity> PosixFileSystem::folderIdentity(const std::string& path)
{
    FolderIdentity identity;
    if (!JournalFolderIdentityAt(path, false, identity))
        return posix::Failure(errno);
    return identity;
}

std::unique_ptr<RunTakeBack> PosixFileSystem::openTakeBack(const ResolvedFolder& source,
                                                           const ResolvedFolder& destination)
{
    return posix::OpenTakeBack(*m_calls, source, destination);
}

} // namespace quillbox
