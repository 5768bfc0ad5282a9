// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/watch_lock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error_text.h"

namespace quillbox::posix {

namespace {

// The lock file's name for `folder`, or "" when the folder cannot be found.
std::string LockName(const std::string& folder, std::string& error)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        error = ErrorText(errno);
        return {};
    }
    return "watch-" + std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
        std::to_string(static_cast<unsigned long long>(st.st_ino)) + ".lock";
}

// Opens (with `make`, makes) the lock file, never through a link, in a
// folder of the user's own.
UniqueFd OpenLockFile(const std::string& lockFolder, const std::string& name, bool make, std::string& error)
{
    if (make) {
        for (std::size_t slash = lockFolder.find('/', 1); slash != std::string::npos;
             slash = lockFolder.find('/', slash + 1))
            ::mkdir(lockFolder.substr(0, slash).c_str(), 0700);
        ::mkdir(lockFolder.c_str(), 0700);
    }
    UniqueFd folder(::open(lockFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!folder.valid() || ::fstat(folder.get(), &st) != 0) {
        error = lockFolder + ": " + ErrorText(errno);
        return UniqueFd();
    }
    if (st.st_uid != ::geteuid()) {
        error = lockFolder + ": belongs to another user";
        return UniqueFd();
    }
    UniqueFd fd(::openat(folder.get(), name.c_str(),
                         O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (make ? O_CREAT : 0), 0600));
    if (!fd.valid())
        error = lockFolder + "/" + name + ": " + ErrorText(errno);
    return fd;
}

pid_t HolderOf(int fd)
{
    char text[32] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    return got > 0 ? static_cast<pid_t>(std::strtol(text, nullptr, 10)) : 0;
}

} // namespace

std::string WatchLockFolder(const std::string& journals)
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/quillbox";
    const std::size_t slash = journals.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : journals.substr(0, slash)) + "/watching";
}

WatchLock::Outcome WatchLock::take(const std::string& lockFolder, const std::string& folder,
                                   std::unique_ptr<WatchLock>& lock, pid_t& holder, std::string& error)
{
    holder = 0;
    const std::string name = LockName(folder, error);
    if (name.empty())
        return Outcome::Failed;
    UniqueFd fd = OpenLockFile(lockFolder, name, true, error);
    if (!fd.valid())
        return Outcome::Failed;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            error = ErrorText(errno);
            return Outcome::Failed;
        }
        holder = HolderOf(fd.get());
        return Outcome::HeldElsewhere;
    }
    // Who holds it, for whoever finds it held.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
        // The lock holds all the same; only the holder's id is not told.
    }
    lock.reset(new WatchLock(std::move(fd)));
    return Outcome::Locked;
}

bool WatchLock::heldByOther(const std::string& lockFolder, const std::string& folder, pid_t& holder)
{
    holder = 0;
    std::string error;
    const std::string name = LockName(folder, error);
    if (name.empty())
        return false;
    const UniqueFd fd = OpenLockFile(lockFolder, name, false, error);
    if (!fd.valid())
        return false;
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd.get(), LOCK_UN);
        return false;
    }
    const bool held = errno == EWOULDBLOCK;
    holder = held ? HolderOf(fd.get()) : 0;
    return held;
}

} // namespace quillbox::posix
