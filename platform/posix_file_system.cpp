#include "platform/posix_file_system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <thread>
#include <unistd.h>

#include "core/bucket.h"
#include "platform/error_text.h"
#include "platform/file_copy.h"
#include "platform/file_move.h"
#include "platform/file_preview.h"
#include "platform/file_take_back.h"
#include "platform/folder_handles.h"
#include "platform/listing.h"

namespace quillbox {

namespace {

// Files in flight at once where every call is a round trip.
constexpr int kRemoteFilesInFlight = 8;
// Files a worker takes up at a time where a file is little work.
constexpr int kLocalClaim = 16;

// Whether the folder `path` lies on a file system whose every call goes
// over a network or through a user-space process, by its statfs type.
bool RoundTripFolder(const std::string& path)
{
    struct statfs st; // filled by the call
    if (::statfs(path.c_str(), &st) != 0)
        return false;
    switch (static_cast<unsigned long>(st.f_type)) {
    case 0x65735546UL: // FUSE (sshfs, rclone, ntfs-3g, gvfs, ...)
    case 0x6969UL:     // NFS
    case 0x517bUL:     // SMB
    case 0xff534d42UL: // CIFS
    case 0xfe534d42UL: // SMB2
    case 0x01021997UL: // 9p
    case 0x00c36400UL: // Ceph
    case 0x5346414fUL: // AFS
    case 0x6b414653UL: // kAFS
    case 0x73757245UL: // Coda
    case 0x47504653UL: // GPFS
    case 0x0bd00bd0UL: // Lustre
        return true;
    default:
        return false;
    }
}

class PosixRunFolders final : public RunFolders {
public:
    PosixRunFolders(const std::string& source, const std::string& destination, SystemCalls& calls)
        : m_folders(source, destination, calls), m_state(calls)
    {
    }

    FileOutcome sieveFile(const std::string& name, char bucket, TransferMode mode, const LengthFn& length,
                          const std::atomic<bool>* stop) override
    {
        const FsResult<int> source = sourceFolder(name);
        if (!source.ok())
            return {FileStage::Examine, source.status()};
        m_state.stop = stop;
        m_state.placingMode = mode;
        m_state.placingBucket = bucket;
        if (mode == TransferMode::Move)
            return posix::MoveFile(m_state, m_folders, source.value(), name.c_str(), bucket, length);
        return posix::CopyFile(m_state, m_folders, source.value(), name.c_str(), bucket, length);
    }

    void noticePlacements(PlacementNotice* notice) override { m_state.notice = notice; }

    FileOutcome previewFile(const std::string& name, char bucket, TransferMode mode, bool bucketsWillBeMade,
                            const LengthFn& length) override
    {
        const FsResult<int> source = sourceFolder(name);
        if (!source.ok())
            return {FileStage::Examine, source.status()};
        return posix::PreviewFile(m_preview, m_folders, source.value(), name.c_str(), bucket, mode, bucketsWillBeMade,
                                  length);
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
                                                     posix::DirectoryListing::LinkMemory::Recall,
                                                     posix::DirectoryListing::Unopened::Fails);
}

FsStatus PosixFileSystem::createFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0777) != 0)
        return posix::Failure(errno);
    return FsStatus::success();
}

std::unique_ptr<RunFolders> PosixFileSystem::openRun(const std::string& source, const std::string& destination)
{
    return std::make_unique<PosixRunFolders>(source, destination, *m_calls);
}

InFlight PosixFileSystem::filesInFlight(const std::string& source, const std::string& destination, TransferMode mode)
{
    if (RoundTripFolder(source) || RoundTripFolder(destination))
        return {kRemoteFilesInFlight, 1};
    // A local copy is work for a core (opening, reading, writing, naming);
    // a second core halves it. Files are claimed a few at a time.
    if (mode == TransferMode::Copy && std::thread::hardware_concurrency() > 1)
        return {2, kLocalClaim};
    return {};
}

int PosixFileSystem::takeBacksInFlight(const ResolvedFolder& source, const ResolvedFolder& destination)
{
    if (RoundTripFolder(source.path) || RoundTripFolder(destination.path))
        return kRemoteFilesInFlight;
    // Two: the renames home all pass through the source folder's lock.
    return std::thread::hardware_concurrency() > 1 ? 2 : 1;
}

FsResult<ResolvedFolder> PosixFileSystem::resolveFolder(const std::string& path)
{
    ResolvedFolder folder;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        folder.path = real;
        std::free(real);
        posix::FolderIdentityAt(AT_FDCWD, folder.path.c_str(), 0, folder.identity);
    } else if (errno != ENOENT && errno != ENOTDIR) {
        return posix::Failure(errno);
    } else if (!path.empty() && path[0] == '/') {
        folder.path = path; // not there (yet): nothing will be placed in it
    } else {
        char* cwd = ::getcwd(nullptr, 0);
        if (cwd == nullptr)
            return posix::Failure(errno);
        folder.path = WithTrailingSeparator(cwd) + path;
        std::free(cwd);
    }
    folder.path = WithTrailingSeparator(std::move(folder.path));
    return folder;
}

FsResult<FolderIdentity> PosixFileSystem::folderIdentity(const std::string& path)
{
    FolderIdentity identity;
    if (!posix::FolderIdentityAt(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, identity))
        return posix::Failure(errno);
    return identity;
}

std::unique_ptr<RunTakeBack> PosixFileSystem::openTakeBack(const ResolvedFolder& source,
                                                           const ResolvedFolder& destination)
{
    return posix::OpenTakeBack(*m_calls, source, destination);
}

} // namespace quillbox
