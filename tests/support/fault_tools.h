#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

#include "platform/posix_file_system.h"
#include "platform/system_calls.h"

namespace quillbox::test {

// Takes capabilities out of the effective set while it lives. active() is
// true when the process is without all of them for the duration.
class WithoutCapabilities {
public:
    explicit WithoutCapabilities(std::initializer_list<int> capabilities);
    ~WithoutCapabilities();
    WithoutCapabilities(const WithoutCapabilities&) = delete;
    WithoutCapabilities& operator=(const WithoutCapabilities&) = delete;
    bool active() const { return m_active; }

private:
    bool m_active = false;
    bool m_restore = false;
    std::uint32_t m_saved[2] = {0, 0};
};

// One capability (CAP_CHOWN, say).
class WithoutCapability : public WithoutCapabilities {
public:
    explicit WithoutCapability(int capability) : WithoutCapabilities({capability}) {}
};

// CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH, so that permission bits bind a
// test that runs as root.
class WithoutDacOverride : public WithoutCapabilities {
public:
    WithoutDacOverride();
};

// A tmpfs of `sizeOption` ("1m") mounted on a fresh folder, unmounted and
// removed when it goes; `moreOptions` ("nr_inodes=20") are added to the
// mount's. mounted() is false where mounting is refused.
class TmpfsMount {
public:
    explicit TmpfsMount(const std::string& sizeOption, const std::string& moreOptions = {});
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool mounted() const { return m_mounted; }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
    bool m_mounted = false;
};

// Lowers the process's file-size limit with SIGXFSZ ignored, so a write past
// it fails with EFBIG instead of killing the process; restores both after.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit m_saved {};
    void (*m_savedHandler)(int) = nullptr;
};

// Deterministic, non-repeating-looking content of `size` bytes.
std::string Pattern(std::size_t size, unsigned seed = 1);
// A file of `size` bytes that takes no blocks (holes only).
void WriteSparse(const std::string& path, std::uint64_t size);
void MakeFifo(const std::string& path);
void MakeSocket(const std::string& path); // a bound Unix socket, left behind as a name
void MakeSymlink(const std::string& target, const std::string& link);

struct FileFacts {
    mode_t mode = 0;          // permission bits
    std::int64_t mtimeSec = 0;
    long mtimeNsec = 0;
    std::uint64_t size = 0;
};
FileFacts Facts(const std::string& path);
// Sets the modification time; the access time becomes now.
void SetMtime(const std::string& path, std::int64_t seconds, long nanoseconds);

// Every name under `root`, at any depth, that a copy or move in progress
// would leave behind (".quillbox-*").
std::vector<std::string> TemporaryLeftovers(const std::string& root);

// Runs `work` on a thread and waits up to `seconds` for it. When it does not
// finish, opens each FIFO in `fifos` for writing and closes it again, which
// releases a reader stuck in open() or read(), then waits for the thread;
// returns whether `work` finished in time on its own.
bool FinishesWithin(double seconds, const std::function<void()>& work,
                    const std::vector<std::string>& fifos);

// The Linux file system with its seams open to a test: errnos that calls
// report instead of acting, as a file system that refuses them would, a
// clock the test moves, and hooks that see the names the listings give and
// each file just before it is handled.
class TestFileSystem : public FileSystem {
public:
    TestFileSystem();
    ~TestFileSystem() override;

    // renameat2(RENAME_NOREPLACE) fails with this (EINVAL: the flag is
    // refused; EXDEV: the bucket is on another file system, which is
    // reported only where the two folders differ, as the system would);
    // 0 = the real call.
    int noReplaceError = 0;
    int replaceError = 0;      // renameat
    int linkError = 0;         // linkat (EPERM: no hard links here)
    int anonymousError = 0;    // open(O_TMPFILE) (EOPNOTSUPP: not made here)
    int copyRangeError = 0;    // copy_file_range (EXDEV: copy by read/write)
    int noReplaceCalls = 0;
    int replaceCalls = 0;
    int linkCalls = 0;
    int anonymousCalls = 0;
    // Runs before each renameat2(RENAME_NOREPLACE), with its two names.
    std::function<void(const char* from, const char* to)> beforeNoReplace;
    // Runs before each copy_file_range call, whatever it then does.
    std::function<void()> beforeCopyRange;

    // After `listingErrorAfter` entries of a listing ("." and ".." count),
    // readdir fails with `listingError`.
    int listingError = 0;
    int listingErrorAfter = 0;

    // The coarse clock the run's bucket folders are checked by, in
    // milliseconds; negative = the real one.
    std::int64_t clockMs = -1;

    // The name a listing gave last (the one the run has taken up next).
    std::string lastListed;
    int listings = 0;
    // Runs just before a file is handled (its length is read first), with
    // its path.
    std::function<void(const std::string& path)> beforeLength;

    std::unique_ptr<FileListing> listFiles(const std::string& folder) override;
    std::unique_ptr<FileListing> listFilesAgain(const std::string& folder) override;
    FsStatus createFolder(const std::string& path) override;
    std::unique_ptr<RunFolders> openRun(const std::string& source, const std::string& destination) override;
    FsResult<ResolvedFolder> resolveFolder(const std::string& path) override;
    FsResult<FolderIdentity> folderIdentity(const std::string& path) override;
    std::unique_ptr<RunTakeBack> openTakeBack(const ResolvedFolder& source,
                                              const ResolvedFolder& destination) override;

private:
    class Calls;
    std::unique_ptr<Calls> m_calls;
    std::unique_ptr<PosixFileSystem> m_real;
};

} // namespace quillbox::test
