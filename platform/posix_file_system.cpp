#include "posix_file_system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

    std::string next() override
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
                return name;
            if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
                // Follows a link; stat never opens the file, so a FIFO cannot block here.
                struct stat st {};
                if (::fstatat(::dirfd(m_dir), name, &st, 0) == 0 && S_ISREG(st.st_mode))
                    return name;
            }
        }
        return {};
    }

private:
    DIR* m_dir;
};

// Opens a file to copy from. O_NONBLOCK keeps a FIFO that took the place of
// a listed file from blocking the open; only regular files are accepted.
FsStatus OpenSource(const std::string& path, Fd& fd, struct stat& st)
{
    fd = Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0)
        return Failure(errno);
    if (::fstat(fd.get(), &st) != 0)
        return Failure(errno);
    if (!S_ISREG(st.st_mode))
        return Failure(EINVAL, "Not a regular file");
    return FsStatus::success();
}

std::string FolderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

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

// A temporary file beside `target` that is removed unless it is kept.
class TempFile {
public:
    ~TempFile()
    {
        m_fd.reset();
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }

    // Creates the file with `mode` (less the umask) under a name no other
    // file has: ".quillbox-PID-SERIAL" beside the target.
    FsStatus create(const std::string& target, mode_t mode)
    {
        static unsigned long serial = 0;
        static const std::string pid = std::to_string(::getpid());
        const std::string prefix = FolderOf(target) + "/.quillbox-" + pid + "-";
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string path = prefix + std::to_string(++serial);
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
            if (fd >= 0) {
                m_fd = Fd(fd);
                m_path = std::move(path);
                return FsStatus::success();
            }
            if (errno != EEXIST)
                return Failure(errno);
        }
        return Failure(EEXIST);
    }

    int fd() const { return m_fd.get(); }
    const std::string& path() const { return m_path; }
    int close() { return m_fd.close(); }
    // The file now lives on under another name, or has gone with a rename.
    void release() { m_path.clear(); }

private:
    Fd m_fd;
    std::string m_path;
};

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

// Creates a temporary file beside `target` with the source's mode.
FsStatus CreateTemp(const std::string& target, const struct stat& st, TempFile& temp)
{
    return temp.create(target, st.st_mode & 0777);
}

// Fills `temp` with the source's data, mode and times, and closes it.
FsStatus FillTemp(int in, const struct stat& st, TempFile& temp, const ChunkCallback& betweenChunks)
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

} // namespace

std::string ErrorText(int error)
{
    char buffer[256];
    // The GNU strerror_r returns the text, in `buffer` or in static storage.
    return ::strerror_r(error, buffer, sizeof buffer);
}

int PosixFileSystem::renameNoReplace(const char* from, const char* to)
{
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

int PosixFileSystem::renameReplace(const char* from, const char* to)
{
    return ::rename(from, to);
}

std::unique_ptr<FileListing> PosixFileSystem::listFiles(const std::string& folder)
{
    return std::make_unique<DirectoryListing>(folder);
}

FsLength PosixFileSystem::fileLength(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {0, Failure(errno)};
    return {static_cast<std::uint64_t>(st.st_size), FsStatus::success()};
}

FsStatus PosixFileSystem::createFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0777) != 0)
        return Failure(errno);
    return FsStatus::success();
}

FsStatus PosixFileSystem::copyFile(const std::string& source, const std::string& target,
                                   const ChunkCallback& betweenChunks)
{
    Fd in;
    struct stat st {};
    if (FsStatus opened = OpenSource(source, in, st); !opened.ok())
        return opened;

    TempFile temp;
    if (FsStatus created = CreateTemp(target, st, temp); !created.ok())
        return created;
    if (FsStatus filled = FillTemp(in.get(), st, temp, betweenChunks); !filled.ok())
        return filled;
    if (renameReplace(temp.path().c_str(), target.c_str()) != 0)
        return Failure(errno);
    temp.release();
    return FsStatus::success();
}

FsStatus PosixFileSystem::moveFile(const std::string& source, const std::string& target,
                                   const ChunkCallback& betweenChunks)
{
    if (renameNoReplace(source.c_str(), target.c_str()) == 0)
        return FsStatus::success();
    int error = errno;

    if (FlagUnsupported(error)) {
        // A file system without RENAME_NOREPLACE: a hard link never replaces.
        if (::link(source.c_str(), target.c_str()) == 0) {
            if (::unlink(source.c_str()) != 0) {
                error = errno;
                ::unlink(target.c_str());
                return Failure(error);
            }
            return FsStatus::success();
        }
        error = errno;
    }
    if (error != EXDEV)
        return Failure(error);

    // Across file systems: a complete copy first, the source goes last.
    Fd in;
    struct stat st {};
    if (FsStatus opened = OpenSource(source, in, st); !opened.ok())
        return opened;
    TempFile temp;
    if (FsStatus created = CreateTemp(target, st, temp); !created.ok())
        return created;
    if (FsStatus filled = FillTemp(in.get(), st, temp, betweenChunks); !filled.ok())
        return filled;
    in.reset();

    if (::link(temp.path().c_str(), target.c_str()) != 0) {
        error = errno;
        if (!LinkUnsupported(error))
            return Failure(error);
        // No hard links on the target: rename without replacing instead.
        if (renameNoReplace(temp.path().c_str(), target.c_str()) != 0) {
            error = errno;
            if (!FlagUnsupported(error))
                return Failure(error);
            // Neither: check, then rename. Not atomic, the best that is left.
            struct stat existing {};
            if (::lstat(target.c_str(), &existing) == 0)
                return Failure(EEXIST);
            if (renameReplace(temp.path().c_str(), target.c_str()) != 0)
                return Failure(errno);
        }
        temp.release();
    }
    // temp's destructor removes the temporary name; the target keeps the data.

    if (::unlink(source.c_str()) != 0) {
        // The copy is complete and stays; the source stays too.
        return Failure(errno);
    }
    return FsStatus::success();
}

} // namespace quillbox
