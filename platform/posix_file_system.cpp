#include "platform/posix_file_system.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillbox {

namespace {

FsStatus Failure(int error)
{
    return FsStatus{error, ErrorText(error)};
}

FsStatus Failure(int error, std::string reason)
{
    return FsStatus{error, std::move(reason)};
}

// Closes a descriptor on every way out.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    int get() const { return m_fd; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // Closes now and reports the error a delayed write may show only here.
    int close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int m_fd;
};

class DirectoryListing final : public FileListing {
public:
    explicit DirectoryListing(const std::string& folder) : m_dir(::opendir(folder.c_str())) {}
    ~DirectoryListing() override
    {
        if (m_dir != nullptr)
            ::closedir(m_dir);
    }

    const FsStatus& status() const override { return m_status; }

    const std::string& next() override
    {
        while (m_dir != nullptr) {
            const dirent* entry = ::readdir(m_dir);
            if (entry == nullptr) {
                ::closedir(m_dir);
                m_dir = nullptr;
                break;
            }
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            if (entry->d_type == DT_REG)
                return m_name.assign(name);
            if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
                // Follows a link; stat never opens the file, so a FIFO cannot block here.
                struct stat st {};
                if (::fstatat(::dirfd(m_dir), name, &st, 0) == 0 && S_ISREG(st.st_mode))
                    return m_name.assign(name);
            }
        }
        m_name.clear();
        return m_name;
    }

private:
    DIR* m_dir;
    std::string m_name;
    FsStatus m_status;
};

class LegacyRunFolders final : public RunFolders {
public:
    LegacyRunFolders(PosixFileSystem& fs, std::string source, std::string destination)
        : m_fs(fs), m_source(std::move(source)), m_destination(std::move(destination))
    {
    }
    FileOutcome sieveFile(const std::string& name, char bucket, TransferMode mode, const LengthFn& length) override
    {
        m_sourceFile.assign(m_source).append(name);
        const bool move = mode == TransferMode::Move;
        const FsLength measured = move ? m_fs.fileLength(m_sourceFile) : m_fs.lengthBeforeCopy(m_sourceFile);
        if (!measured.status.ok())
            return {FileStage::Examine, measured.status};
        if (length)
            length(measured.bytes);
        m_target.assign(m_destination).push_back(bucket);
        m_target.push_back('/');
        m_target.append(name);
        FsStatus status = move ? m_fs.moveFile(m_sourceFile, m_target, {}) : m_fs.copyFile(m_sourceFile, m_target, {});
        if (!status.ok())
            return {FileStage::Transfer, std::move(status)};
        return {};
    }

private:
    PosixFileSystem& m_fs;
    std::string m_source;
    std::string m_destination;
    std::string m_sourceFile;
    std::string m_target;
};

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies `in` to `out`, through the kernel where it can. `expected` is the
// length the source had when it was opened: the copy stops there without
// asking for the end once more. A source that shrank ends early; for one
// that reports no length (some pseudo files do) it reads to the end.
FsStatus CopyData(int in, int out, off_t expected, const ChunkCallback& betweenChunks)
{
    bool kernelCopy = true;
    off_t copied = 0;
    off_t sinceCallback = 0;
    std::unique_ptr<char[]> buffer;
    constexpr std::size_t kBufferBytes = 1024 * 1024;

    for (;;) {
        ssize_t moved = 0;
        if (kernelCopy) {
            moved = ::copy_file_range(in, nullptr, out, nullptr,
                                      static_cast<std::size_t>(PosixFileSystem::kChunkBytes), 0);
            if (moved < 0) {
                const int error = errno;
                if (error == EINTR)
                    continue;
                if (error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL ||
                    error == EPERM) {
                    kernelCopy = false; // the plain way, from where the kernel stopped
                    continue;
                }
                return Failure(error);
            }
        } else {
            if (!buffer)
                buffer = std::make_unique<char[]>(kBufferBytes);
            moved = ::read(in, buffer.get(), kBufferBytes);
            if (moved < 0) {
                if (errno == EINTR)
                    continue;
                return Failure(errno);
            }
            if (moved > 0 && !WriteAll(out, buffer.get(), static_cast<std::size_t>(moved)))
                return Failure(errno);
        }
        if (moved == 0)
            return FsStatus::success();
        copied += moved;
        if (expected > 0 && copied >= expected)
            return FsStatus::success();
        sinceCallback += moved;
        if (sinceCallback >= PosixFileSystem::kChunkBytes && betweenChunks) {
            sinceCallback = 0;
            betweenChunks();
        }
    }
}

// The process's umask, read once without changing it.
mode_t CurrentUmask()
{
    static const mode_t mask = [] {
        mode_t value = 07777; // unknown: always set the mode explicitly
        if (FILE* status = std::fopen("/proc/self/status", "re")) {
            char line[128];
            while (std::fgets(line, sizeof line, status) != nullptr) {
                if (std::strncmp(line, "Umask:", 6) == 0) {
                    value = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
                    break;
                }
            }
            std::fclose(status);
        }
        return value;
    }();
    return mask;
}

// A temporary file in a folder, removed unless it is released.
class TempFile {
public:
    ~TempFile()
    {
        m_fd.reset();
        if (m_name[0] != '\0')
            ::unlinkat(m_dir, m_name, 0);
    }

    // Creates ".quillbox-PID-SERIAL" in `dir` with the permission bits of
    // `mode` (less the umask).
    FsStatus create(int dir, mode_t mode)
    {
        static unsigned long serial = 0;
        static const std::string prefix = ".quillbox-" + std::to_string(::getpid()) + "-";
        for (int attempt = 0; attempt < 100; ++attempt) {
            char name[sizeof m_name];
            prefix.copy(name, prefix.size());
            *std::to_chars(name + prefix.size(), name + sizeof name - 1, ++serial).ptr = '\0';
            const int fd =
                ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode & 0777);
            if (fd >= 0) {
                m_fd = Fd(fd);
                m_dir = dir;
                std::memcpy(m_name, name, sizeof m_name);
                return FsStatus::success();
            }
            if (errno != EEXIST)
                return Failure(errno);
        }
        return Failure(EEXIST);
    }

    int fd() const { return m_fd.get(); }
    int dir() const { return m_dir; }
    const char* name() const { return m_name; }
    int close() { return m_fd.close(); }
    // The file now lives on under another name, or has gone with a rename.
    void release() { m_name[0] = '\0'; }

private:
    Fd m_fd;
    int m_dir = AT_FDCWD;
    // ".quillbox-", a pid, "-", a serial: well inside this.
    char m_name[64] = {};
};

// Opens a file to copy from. O_NONBLOCK keeps a FIFO that took the place of
// a listed file from blocking the open; O_NOCTTY keeps a terminal from
// becoming ours.
int OpenForReading(int dir, const char* name)
{
    return ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

// Only regular files are copied from.
FsStatus CheckRegular(const struct stat& st)
{
    if (!S_ISREG(st.st_mode))
        return Failure(EINVAL, "Not a regular file");
    return FsStatus::success();
}

FsStatus OpenSource(int dir, const char* name, Fd& fd, struct stat& st)
{
    fd = Fd(OpenForReading(dir, name));
    if (fd.get() < 0)
        return Failure(errno);
    if (::fstat(fd.get(), &st) != 0)
        return Failure(errno);
    return CheckRegular(st);
}

enum class Durability { AsUsual, OnDiskBeforeClose };

// Fills `temp` with the source's data, mode and times, and closes it.
FsStatus FillTemp(int in, const struct stat& st, TempFile& temp, const ChunkCallback& betweenChunks,
                  Durability durability = Durability::AsUsual)
{
    if (FsStatus copied = CopyData(in, temp.fd(), st.st_size, betweenChunks); !copied.ok())
        return copied;
    // The file was created with the source's permission bits; only what the
    // umask took away, or the special bits, need setting again.
    const mode_t mode = st.st_mode & 07777;
    if ((mode & (CurrentUmask() | 07000)) != 0 && ::fchmod(temp.fd(), mode) != 0)
        return Failure(errno);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(temp.fd(), times) != 0)
        return Failure(errno);
    if (durability == Durability::OnDiskBeforeClose && ::fsync(temp.fd()) != 0)
        return Failure(errno);
    if (temp.close() != 0)
        return Failure(errno);
    return FsStatus::success();
}

bool FlagUnsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

bool LinkUnsupported(int error)
{
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS;
}

// Folder handles kept at most. An operation looks up at most two folders
// (the source's and the target's) and keeps using what it was given until
// it ends, so room is made before an operation, never in the middle of one.
constexpr std::size_t kFolderHandleLimit = 64;
constexpr std::size_t kFoldersPerOperation = 2;
// Lookups of a folder that would not open before it is tried again. Calls
// into it go by whole path meanwhile, so a folder made in the middle of a
// run receives files at once; only the handle waits.
constexpr int kMissingFolderTries = 64;

// The path of a file named `name` in the folder of `sibling`, into `path`.
const std::string& BesidePath(const std::string& sibling, const char* name, std::string& path)
{
    const auto slash = sibling.rfind('/');
    if (slash == std::string::npos)
        return path.assign(name);
    return path.assign(sibling, 0, slash + 1).append(name);
}

} // namespace

std::string ErrorText(int error)
{
    // Looking the text up goes through the message catalogue each time,
    // some 1,800 instructions; a run in which every file fails asks for the
    // same few texts a hundred thousand times. Each is looked up once.
    static std::mutex mutex;
    static std::unordered_map<int, std::string> known;
    const std::lock_guard lock(mutex);
    const auto found = known.find(error);
    if (found != known.end())
        return found->second;
    char buffer[256];
    // The GNU strerror_r returns the text, in `buffer` or in static storage.
    return known.emplace(error, ::strerror_r(error, buffer, sizeof buffer)).first->second;
}

PosixFileSystem::~PosixFileSystem()
{
    closeOpenedSource();
    dropFolderHandles();
}

void PosixFileSystem::closeOpenedSource()
{
    if (m_openedFd >= 0)
        ::close(m_openedFd);
    m_openedFd = -1;
    m_openedPath.clear();
}

void PosixFileSystem::makeRoomForFolders()
{
    if (m_folders.size() + kFoldersPerOperation > kFolderHandleLimit)
        dropFolderHandles();
}

void PosixFileSystem::dropFolderHandles()
{
    for (const FolderHandle& handle : m_folders) {
        if (handle.fd >= 0)
            ::close(handle.fd);
    }
    m_folders.clear();
    m_lastFolder = 0;
    m_previousFolder = 0;
    m_byLastCharacter.fill(0);
}

PosixFileSystem::At PosixFileSystem::locate(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash[1] == '\0')
        return {AT_FDCWD, path, 0};
    const std::string_view folder(path, slash == path ? 1 : static_cast<std::size_t>(slash - path));
    const char* name = slash + 1;

    // A run goes back and forth between the source folder and a bucket:
    // look at the last two folders first, then at the one last opened with
    // the same last character (bucket paths differ only there), and only
    // then at all of them.
    const auto matches = [&](std::size_t i) {
        const std::string& known = m_folders[i].folder;
        return known.size() == folder.size() && known.back() == folder.back() && known == folder;
    };
    std::size_t found = m_folders.size();
    const auto last = static_cast<unsigned char>(folder.back());
    if (m_lastFolder < m_folders.size() && matches(m_lastFolder)) {
        found = m_lastFolder;
    } else if (m_previousFolder < m_folders.size() && matches(m_previousFolder)) {
        found = m_previousFolder;
    } else if (m_byLastCharacter[last] != 0 && matches(m_byLastCharacter[last] - 1)) {
        found = m_byLastCharacter[last] - 1;
    } else {
        for (std::size_t i = 0; i < m_folders.size(); ++i) {
            if (matches(i)) {
                found = i;
                break;
            }
        }
    }
    if (found == m_folders.size()) {
        m_folders.push_back({std::string(folder), -1});
        m_byLastCharacter[last] = static_cast<std::uint8_t>(m_folders.size());
    }
    if (found != m_lastFolder) {
        m_previousFolder = m_lastFolder;
        m_lastFolder = found;
    }
    FolderHandle& handle = m_folders[found];
    if (handle.fd < 0) {
        if (handle.triesLeft > 0) {
            --handle.triesLeft;
            // The call by path tells whether the folder is there by now.
            return {AT_FDCWD, path, handle.error, true};
        }
        handle.fd = ::open(handle.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (handle.fd < 0) {
            handle.error = errno;
            handle.triesLeft = kMissingFolderTries;
            return {AT_FDCWD, path, handle.error};
        }
        handle.error = 0;
    }
    return {handle.fd, name, 0};
}

PosixFileSystem::At PosixFileSystem::locateAfresh(const std::string& path)
{
    At at = locate(path);
    if (at.remembered) {
        m_folders[m_lastFolder].triesLeft = 0;
        at = locate(path);
    }
    return at;
}

int PosixFileSystem::renameNoReplace(const char* from, const char* to)
{
    const At source = locate(from);
    const At target = locate(to);
    return ::renameat2(source.dir, source.name, target.dir, target.name, RENAME_NOREPLACE);
}

int PosixFileSystem::renameReplace(const char* from, const char* to)
{
    const At source = locate(from);
    const At target = locate(to);
    return ::renameat(source.dir, source.name, target.dir, target.name);
}

std::unique_ptr<FileListing> PosixFileSystem::listFiles(const std::string& folder)
{
    closeOpenedSource();
    dropFolderHandles(); // a new pass sees the folders as they are now
    return std::make_unique<DirectoryListing>(folder);
}

FsLength PosixFileSystem::fileLength(const std::string& path)
{
    closeOpenedSource();
    makeRoomForFolders();
    const At at = locate(path);
    struct stat st; // filled by the call
    m_lastLengthPath.assign(path);
    m_lastLengthRegular = false;
    if (::fstatat(at.dir, at.name, &st, 0) != 0)
        return {0, Failure(errno)};
    m_lastLengthRegular = S_ISREG(st.st_mode);
    return {static_cast<std::uint64_t>(st.st_size), FsStatus::success()};
}

FsLength PosixFileSystem::lengthBeforeCopy(const std::string& path)
{
    // The copy needs the file open, and its length and times from that
    // open file: one open and one fstat here serve both, where a stat by
    // name now and a second look at the open file later would cost a
    // system call more per file.
    closeOpenedSource();
    makeRoomForFolders();
    const At at = locate(path);
    const int fd = OpenForReading(at.dir, at.name);
    if (fd < 0)
        return fileLength(path); // the copy will say why it cannot read it
    if (::fstat(fd, &m_openedStat) != 0) {
        ::close(fd);
        return fileLength(path);
    }
    m_openedFd = fd;
    m_openedPath.assign(path);
    m_lastLengthRegular = false;
    return {static_cast<std::uint64_t>(m_openedStat.st_size), FsStatus::success()};
}

std::unique_ptr<RunFolders> PosixFileSystem::openRun(const std::string& source, const std::string& destination)
{
    return std::make_unique<LegacyRunFolders>(*this, source, destination);
}

FsStatus PosixFileSystem::createFolder(const std::string& path)
{
    closeOpenedSource();
    dropFolderHandles();
    if (::mkdir(path.c_str(), 0777) != 0)
        return Failure(errno);
    return FsStatus::success();
}

FsStatus PosixFileSystem::copyFile(const std::string& source, const std::string& target,
                                   const ChunkCallback& betweenChunks)
{
    Fd in;
    struct stat st {};
    if (m_openedFd >= 0 && m_openedPath == source) {
        // Opened when its length was read: the same file, the same length.
        in = Fd(m_openedFd);
        st = m_openedStat;
        m_openedFd = -1;
        m_openedPath.clear();
        if (FsStatus regular = CheckRegular(st); !regular.ok())
            return regular;
    } else {
        closeOpenedSource();
        makeRoomForFolders();
        const At from = locate(source);
        if (FsStatus opened = OpenSource(from.dir, from.name, in, st); !opened.ok())
            return opened;
    }

    const At to = locateAfresh(target);
    if (to.error != 0)
        return Failure(to.error);
    TempFile temp;
    if (FsStatus created = temp.create(to.dir, st.st_mode); !created.ok())
        return created;
    if (FsStatus filled = FillTemp(in.get(), st, temp, betweenChunks); !filled.ok())
        return filled;
    if (renameReplace(BesidePath(target, temp.name(), m_tempPath).c_str(), target.c_str()) != 0)
        return Failure(errno);
    temp.release();
    return FsStatus::success();
}

FsStatus PosixFileSystem::moveFile(const std::string& source, const std::string& target,
                                   const ChunkCallback& betweenChunks)
{
    closeOpenedSource();
    makeRoomForFolders();
    // Only a file, or a link to one, is moved: a folder or a FIFO that took
    // a listed file's place stays where it is, as a copy would. The run asks
    // for the length of each file just before it moves it; that look is
    // taken for this one.
    if (!(m_lastLengthRegular && m_lastLengthPath == source)) {
        const At from = locate(source);
        struct stat st {};
        if (::fstatat(from.dir, from.name, &st, 0) != 0)
            return Failure(errno);
        if (!S_ISREG(st.st_mode))
            return Failure(EINVAL, "Not a regular file");
    }
    m_lastLengthRegular = false;
    if (renameNoReplace(source.c_str(), target.c_str()) == 0)
        return FsStatus::success();
    int error = errno;
    const At from = locate(source);
    At to = locate(target);

    if (FlagUnsupported(error)) {
        // A file system without RENAME_NOREPLACE: a hard link never replaces.
        if (::linkat(from.dir, from.name, to.dir, to.name, 0) == 0) {
            if (::unlinkat(from.dir, from.name, 0) != 0) {
                error = errno;
                ::unlinkat(to.dir, to.name, 0);
                return Failure(error);
            }
            return FsStatus::success();
        }
        error = errno;
    }
    if (error != EXDEV)
        return Failure(error);

    // Across file systems: a complete copy first, the source goes last.
    to = locateAfresh(target);
    if (to.error != 0)
        return Failure(to.error);
    Fd in;
    struct stat st {};
    if (FsStatus opened = OpenSource(from.dir, from.name, in, st); !opened.ok())
        return opened;
    TempFile temp;
    if (FsStatus created = temp.create(to.dir, st.st_mode); !created.ok())
        return created;
    // The source is about to go: the copy must be on the disk first, not
    // only in the cache, or a power cut could take both.
    if (FsStatus filled = FillTemp(in.get(), st, temp, betweenChunks, Durability::OnDiskBeforeClose);
        !filled.ok())
        return filled;
    in.reset();

    if (::linkat(temp.dir(), temp.name(), to.dir, to.name, 0) != 0) {
        error = errno;
        if (!LinkUnsupported(error))
            return Failure(error);
        // No hard links on the target: rename without replacing instead.
        const std::string& tempPath = BesidePath(target, temp.name(), m_tempPath);
        if (renameNoReplace(tempPath.c_str(), target.c_str()) != 0) {
            error = errno;
            if (!FlagUnsupported(error))
                return Failure(error);
            // Neither: check, then rename. Not atomic, the best that is left.
            struct stat existing {};
            if (::fstatat(to.dir, to.name, &existing, AT_SYMLINK_NOFOLLOW) == 0)
                return Failure(EEXIST);
            if (renameReplace(tempPath.c_str(), target.c_str()) != 0)
                return Failure(errno);
        }
        temp.release();
    }
    // The temporary name goes with `temp`; the target keeps the data. Its
    // new name must be on the disk too before the source goes.
    if (const int folder = ::openat(to.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
        const int synced = ::fsync(folder);
        error = errno;
        ::close(folder);
        if (synced != 0) {
            ::unlinkat(to.dir, to.name, 0);
            return Failure(error);
        }
    }

    if (::unlinkat(from.dir, from.name, 0) != 0) {
        // The source cannot go (its folder is read-only, say): take the copy
        // back, so that the failure leaves things as they were.
        error = errno;
        ::unlinkat(to.dir, to.name, 0);
        return Failure(error);
    }
    return FsStatus::success();
}

} // namespace quillbox
