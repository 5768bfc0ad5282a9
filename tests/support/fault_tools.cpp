#include "tests/support/fault_tools.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <linux/capability.h>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace quillbox::test {

namespace {

bool CapGet(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool CapSet(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

WithoutCapabilities::WithoutCapabilities(std::initializer_list<int> capabilities)
{
    __user_cap_data_struct data[2] {};
    if (!CapGet(data))
        return;
    std::uint32_t mask[2] = {0, 0};
    for (const int capability : capabilities)
        mask[capability / 32] |= 1u << (capability % 32);
    if ((data[0].effective & mask[0]) == 0 && (data[1].effective & mask[1]) == 0) {
        m_active = true; // already without them
        return;
    }
    m_saved[0] = data[0].effective;
    m_saved[1] = data[1].effective;
    data[0].effective &= ~mask[0];
    data[1].effective &= ~mask[1];
    m_active = CapSet(data);
    m_restore = m_active;
}

WithoutCapabilities::~WithoutCapabilities()
{
    if (!m_restore)
        return;
    __user_cap_data_struct data[2] {};
    if (!CapGet(data))
        return;
    data[0].effective = m_saved[0];
    data[1].effective = m_saved[1];
    CapSet(data);
}

WithoutDacOverride::WithoutDacOverride() : WithoutCapabilities({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {}

TmpfsMount::TmpfsMount(const std::string& sizeOption, const std::string& moreOptions)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quillbox-mnt-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a mount point");
    m_path = pattern;
    const std::string options = "size=" + sizeOption + ",mode=0700" + (moreOptions.empty() ? "" : "," + moreOptions);
    m_mounted = ::mount("tmpfs", m_path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TmpfsMount::~TmpfsMount()
{
    if (m_mounted)
        ::umount2(m_path.c_str(), MNT_DETACH);
    ::rmdir(m_path.c_str());
}

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    struct rlimit lowered = m_saved;
    lowered.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &lowered) != 0)
        throw std::runtime_error("cannot lower RLIMIT_FSIZE");
}

FileSizeLimit::~FileSizeLimit()
{
    ::setrlimit(RLIMIT_FSIZE, &m_saved);
    std::signal(SIGXFSZ, m_savedHandler);
}

std::string Pattern(std::size_t size, unsigned seed)
{
    std::string out(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : out) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return out;
}

void WriteSparse(const std::string& path, std::uint64_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    const int result = ::ftruncate(fd, static_cast<off_t>(size));
    ::close(fd);
    if (result != 0)
        throw std::runtime_error("cannot size " + path);
}

void MakeFifo(const std::string& path)
{
    if (::mkfifo(path.c_str(), 0644) != 0)
        throw std::runtime_error("cannot make FIFO " + path);
}

void MakeSocket(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("cannot make socket");
    const int result = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
    if (result != 0)
        throw std::runtime_error("cannot bind socket " + path);
}

void MakeSymlink(const std::string& target, const std::string& link)
{
    if (::symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot make symlink " + link);
}

FileFacts Facts(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot stat " + path);
    return {static_cast<mode_t>(st.st_mode & 07777), st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
            static_cast<std::uint64_t>(st.st_size)};
}

void SetMtime(const std::string& path, std::int64_t seconds, long nanoseconds)
{
    // The access time is left at now, so a mix-up of the two shows.
    const struct timespec times[2] = {{0, UTIME_NOW}, {seconds, nanoseconds}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("cannot set times of " + path);
}

namespace {
std::vector<std::string>* g_leftovers = nullptr;

int NoteLeftover(const char* path, const struct stat*, int, FTW* ftw)
{
    if (std::strncmp(path + ftw->base, ".quillbox-", 10) == 0)
        g_leftovers->push_back(path);
    return 0;
}
} // namespace

std::vector<std::string> TemporaryLeftovers(const std::string& root)
{
    std::vector<std::string> found;
    g_leftovers = &found;
    ::nftw(root.c_str(), NoteLeftover, 16, FTW_PHYS);
    g_leftovers = nullptr;
    return found;
}

bool FinishesWithin(double seconds, const std::function<void()>& work,
                    const std::vector<std::string>& fifos)
{
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread worker([shared, work] {
        work();
        std::lock_guard lock(shared->mutex);
        shared->finished = true;
        shared->done.notify_all();
    });
    const auto bound = std::chrono::duration<double>(seconds);
    bool inTime = false;
    {
        std::unique_lock lock(shared->mutex);
        inTime = shared->done.wait_for(lock, bound, [&] { return shared->finished; });
    }
    if (!inTime) {
        for (const std::string& fifo : fifos) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
        }
        std::unique_lock lock(shared->mutex);
        if (!shared->done.wait_for(lock, bound, [&] { return shared->finished; })) {
            lock.unlock();
            worker.detach(); // stuck for good; the test fails
            return false;
        }
    }
    worker.join();
    return inTime;
}

namespace {

class RecordingListing final : public FileListing {
public:
    RecordingListing(std::unique_ptr<FileListing> inner, std::string& last)
        : m_inner(std::move(inner)), m_last(last)
    {
    }
    const std::string& next() override
    {
        m_last = m_inner->next();
        return m_last;
    }
    const FsStatus& status() const override { return m_inner->status(); }

private:
    std::unique_ptr<FileListing> m_inner;
    std::string& m_last;
};

class HookedRunFolders final : public RunFolders {
public:
    HookedRunFolders(std::unique_ptr<RunFolders> inner, std::string source,
                     const std::function<void(const std::string&)>& before)
        : m_inner(std::move(inner)), m_source(std::move(source)), m_before(before)
    {
    }
    FileOutcome sieveFile(const std::string& name, char bucket, TransferMode mode, const LengthFn& length,
                          const std::atomic<bool>* stop) override
    {
        if (m_before)
            m_before(m_source + name);
        return m_inner->sieveFile(name, bucket, mode, length, stop);
    }
    FileOutcome previewFile(const std::string& name, char bucket, TransferMode mode, bool bucketsWillBeMade,
                            const LengthFn& length) override
    {
        return m_inner->previewFile(name, bucket, mode, bucketsWillBeMade, length);
    }

private:
    std::unique_ptr<RunFolders> m_inner;
    std::string m_source;
    const std::function<void(const std::string&)>& m_before;
};

} // namespace

class TestFileSystem::Calls final : public SystemCalls {
public:
    explicit Calls(TestFileSystem& fs) : m_fs(fs) {}

    int renameNoReplace(int fromDir, const char* from, int toDir, const char* to) override
    {
        ++m_fs.noReplaceCalls;
        if (m_fs.beforeNoReplace)
            m_fs.beforeNoReplace(from, to);
        const int error = m_fs.noReplaceError;
        if (error != 0 && (error != EXDEV || fromDir != toDir))
            return Fail(error);
        return SystemCalls::renameNoReplace(fromDir, from, toDir, to);
    }
    int renameReplace(int fromDir, const char* from, int toDir, const char* to) override
    {
        ++m_fs.replaceCalls;
        if (m_fs.replaceError != 0)
            return Fail(m_fs.replaceError);
        return SystemCalls::renameReplace(fromDir, from, toDir, to);
    }
    int link(int fromDir, const char* from, int toDir, const char* to, int flags) override
    {
        ++m_fs.linkCalls;
        if (m_fs.linkError != 0)
            return Fail(m_fs.linkError);
        return SystemCalls::link(fromDir, from, toDir, to, flags);
    }
    int openAnonymous(int dir, int flags, mode_t mode) override
    {
        ++m_fs.anonymousCalls;
        if (m_fs.anonymousError != 0)
            return Fail(m_fs.anonymousError);
        return SystemCalls::openAnonymous(dir, flags, mode);
    }
    ssize_t copyRange(int in, off_t* inOffset, int out, off_t* outOffset, std::size_t length) override
    {
        if (m_fs.beforeCopyRange)
            m_fs.beforeCopyRange();
        if (m_fs.copyRangeError != 0)
            return Fail(m_fs.copyRangeError);
        return SystemCalls::copyRange(in, inOffset, out, outOffset, length);
    }
    dirent* readDirectory(DIR* dir) override
    {
        if (m_fs.listingError != 0 && m_entries++ >= m_fs.listingErrorAfter) {
            errno = m_fs.listingError;
            return nullptr;
        }
        return SystemCalls::readDirectory(dir);
    }
    std::int64_t coarseMilliseconds() override
    {
        return m_fs.clockMs >= 0 ? m_fs.clockMs : SystemCalls::coarseMilliseconds();
    }

    int m_entries = 0;

private:
    static int Fail(int error)
    {
        errno = error;
        return -1;
    }

    TestFileSystem& m_fs;
};

TestFileSystem::TestFileSystem()
    : m_calls(std::make_unique<Calls>(*this)), m_real(std::make_unique<PosixFileSystem>(*m_calls))
{
}

TestFileSystem::~TestFileSystem() = default;

std::unique_ptr<FileListing> TestFileSystem::listFiles(const std::string& folder)
{
    ++listings;
    m_calls->m_entries = 0;
    return std::make_unique<RecordingListing>(m_real->listFiles(folder), lastListed);
}

std::unique_ptr<FileListing> TestFileSystem::listFilesAgain(const std::string& folder)
{
    ++listings;
    m_calls->m_entries = 0;
    return std::make_unique<RecordingListing>(m_real->listFilesAgain(folder), lastListed);
}

FsStatus TestFileSystem::createFolder(const std::string& path)
{
    return m_real->createFolder(path);
}

FsResult<ResolvedFolder> TestFileSystem::resolveFolder(const std::string& path)
{
    return m_real->resolveFolder(path);
}

FsResult<FolderIdentity> TestFileSystem::folderIdentity(const std::string& path)
{
    return m_real->folderIdentity(path);
}

std::unique_ptr<RunTakeBack> TestFileSystem::openTakeBack(const ResolvedFolder& source,
                                                          const ResolvedFolder& destination)
{
    return m_real->openTakeBack(source, destination);
}

std::unique_ptr<RunFolders> TestFileSystem::openRun(const std::string& source, const std::string& destination)
{
    return std::make_unique<HookedRunFolders>(m_real->openRun(source, destination), source, beforeLength);
}

} // namespace quillbox::test
