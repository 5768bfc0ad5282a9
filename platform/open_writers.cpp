// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/open_writers.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/unique_fd.h"

namespace quillbox::posix {

namespace {

bool AllDigits(const char* name)
{
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

// The open flags an fdinfo file gives, or -1.
long OpenFlags(int fdinfoFolder, const char* fd)
{
    const UniqueFd file(::openat(fdinfoFolder, fd, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file.valid())
        return -1;
    char text[512];
    const ssize_t got = ::read(file.get(), text, sizeof text - 1);
    if (got <= 0)
        return -1;
    text[got] = '\0';
    const std::string_view all(text, static_cast<std::size_t>(got));
    const std::size_t at = all.find("flags:");
    if (at == std::string_view::npos)
        return -1;
    // The flags are written in octal.
    return std::strtol(text + at + 6, nullptr, 8);
}

} // namespace

std::vector<bool> OpenForWriting(const std::vector<FileLook>& files, const std::string& proc, bool thisProcessToo)
{
    std::vector<bool> held(files.size(), false);
    if (files.empty())
        return held;
    // The files, sorted by identity, with where each stands in `files`.
    std::vector<std::pair<std::pair<std::uint64_t, std::uint64_t>, std::size_t>> wanted;
    wanted.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        wanted.push_back({{files[i].device, files[i].inode}, i});
    std::sort(wanted.begin(), wanted.end());

    DIR* processes = ::opendir(proc.c_str());
    if (processes == nullptr)
        return held;
    // This process writes none of them; it may hold many files open for
    // reading (their leases), which need no look.
    const std::string self = thisProcessToo ? std::string() : std::to_string(::getpid());
    while (const dirent* process = ::readdir(processes)) {
        if (!AllDigits(process->d_name) || self == process->d_name)
            continue;
        const std::string base = proc + "/" + process->d_name;
        const UniqueFd fdFolder(::open((base + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fdFolder.valid())
            continue;
        DIR* fds = ::fdopendir(::dup(fdFolder.get()));
        if (fds == nullptr)
            continue;
        UniqueFd fdinfoFolder;
        while (const dirent* fd = ::readdir(fds)) {
            if (!AllDigits(fd->d_name))
                continue;
            // stat follows the link to the open file itself, renamed or not.
            struct stat st {};
            if (::fstatat(fdFolder.get(), fd->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
                continue;
            const std::pair<std::uint64_t, std::uint64_t> identity {st.st_dev, st.st_ino};
            auto it = std::lower_bound(wanted.begin(), wanted.end(), std::make_pair(identity, std::size_t {0}));
            if (it == wanted.end() || it->first != identity)
                continue;
            if (!fdinfoFolder.valid())
                fdinfoFolder.reset(::open((base + "/fdinfo").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            const long flags = fdinfoFolder.valid() ? OpenFlags(fdinfoFolder.get(), fd->d_name) : -1;
            if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY)
                continue;
            for (; it != wanted.end() && it->first == identity; ++it)
                held[it->second] = true;
        }
        ::closedir(fds);
    }
    ::closedir(processes);
    return held;
}

} // namespace quillbox::posix
