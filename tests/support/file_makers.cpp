// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/file_makers.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillbox::test {

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

} // namespace quillbox::test
