// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace quillbox::test {

namespace {

int RestoreAccess(const char* path, const struct stat* st, int type, FTW*)
{
    if (type == FTW_D || type == FTW_DNR)
        ::chmod(path, (st->st_mode & 07777) | S_IRWXU);
    return 0;
}

int RemoveOne(const char* path, const struct stat*, int type, FTW*)
{
    if (type == FTW_DP || type == FTW_D || type == FTW_DNR)
        ::rmdir(path);
    else
        ::unlink(path);
    return 0;
}

} // namespace

TempDir::TempDir(const std::string& under)
{
    std::string base = under;
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string pattern = base + "/quillbox-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder under " + base);
    m_path = pattern;
}

TempDir::~TempDir()
{
    RemoveTree(m_path);
}

void TempDir::write(const std::string& relative, const std::string& content) const
{
    const std::string full = *this / relative;
    const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot write " + full);
    const ssize_t written = ::write(fd, content.data(), content.size());
    ::close(fd);
    if (written != static_cast<ssize_t>(content.size()))
        throw std::runtime_error("short write to " + full);
}

void TempDir::mkdir(const std::string& relative) const
{
    const std::string full = *this / relative;
    if (::mkdir(full.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + full);
}

std::set<std::string> TempDir::names(const std::string& relative) const
{
    std::set<std::string> out;
    const std::string folder = relative.empty() ? m_path : *this / relative;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return out;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            out.insert(name);
    }
    ::closedir(dir);
    return out;
}

std::string ReadFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw std::runtime_error("cannot read " + path);
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return content;
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string& path)
{
    if (path.empty() || !Exists(path))
        return;
    ::nftw(path.c_str(), RestoreAccess, 16, FTW_PHYS);
    ::nftw(path.c_str(), RemoveOne, 16, FTW_PHYS | FTW_DEPTH);
}

} // namespace quillbox::test
