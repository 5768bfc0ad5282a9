// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/raw_loops.h"

#include <array>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quillbox::bench {

namespace {

int BucketIndex(const char* name)
{
    unsigned char c = static_cast<unsigned char>(name[0]);
    if (c >= 'a' && c <= 'z')
        c = static_cast<unsigned char>(c - 'a' + 'A');
    return c >= 'A' && c <= 'Z' ? c - 'A' : 26;
}

struct Buckets {
    std::array<int, 27> fds {};
    explicit Buckets(const std::string& destination)
    {
        for (int i = 0; i < 27; ++i) {
            const std::string path = destination + "/" + (i < 26 ? static_cast<char>('A' + i) : '#');
            fds[i] = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fds[i] < 0)
                throw std::runtime_error("no bucket " + path);
        }
    }
    ~Buckets()
    {
        for (int fd : fds)
            ::close(fd);
    }
};

template <typename PerFile>
void ForEachFile(const std::string& source, PerFile perFile)
{
    DIR* dir = ::opendir(source.c_str());
    if (dir == nullptr)
        throw std::runtime_error("cannot list " + source);
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' && (entry->d_name[1] == 0 || (entry->d_name[1] == '.' && entry->d_name[2] == 0)))
            continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        perFile(dirFd, entry->d_name, st);
    }
    ::closedir(dir);
}

void CopyRange(int in, int out, off_t size)
{
    while (size > 0) {
        const ssize_t moved = ::copy_file_range(in, nullptr, out, nullptr, static_cast<std::size_t>(size), 0);
        if (moved <= 0)
            throw std::runtime_error("copy_file_range failed");
        size -= moved;
    }
}

void Spawn(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start cp");
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("cp failed");
}

} // namespace

std::size_t ReaddirPass(const std::string& source)
{
    DIR* dir = ::opendir(source.c_str());
    if (dir == nullptr)
        throw std::runtime_error("cannot list " + source);
    std::size_t files = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_type == DT_REG)
            ++files;
    }
    ::closedir(dir);
    return files;
}

void RawMove(const std::string& source, const std::string& destination)
{
    Buckets buckets(destination);
    ForEachFile(source, [&](int dirFd, const char* name, const struct stat&) {
        ::renameat2(dirFd, name, buckets.fds[BucketIndex(name)], name, RENAME_NOREPLACE);
    });
}

void RawSafeCopy(const std::string& source, const std::string& destination)
{
    Buckets buckets(destination);
    unsigned serial = 0;
    ForEachFile(source, [&](int dirFd, const char* name, const struct stat& st) {
        const int bucket = buckets.fds[BucketIndex(name)];
        const int in = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
        char temp[32];
        std::snprintf(temp, sizeof temp, ".tmp-%u", serial++);
        const int out = ::openat(bucket, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        CopyRange(in, out, st.st_size);
        ::close(out);
        ::close(in);
        ::renameat(bucket, temp, bucket, name);
    });
}

void RawSafeCopyKeepingTimes(const std::string& source, const std::string& destination)
{
    Buckets buckets(destination);
    unsigned serial = 0;
    ForEachFile(source, [&](int dirFd, const char* name, const struct stat&) {
        const int bucket = buckets.fds[BucketIndex(name)];
        const int in = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
        struct stat st {};
        ::fstat(in, &st);
        char temp[32];
        std::snprintf(temp, sizeof temp, ".tmp-%u", serial++);
        const int out = ::openat(bucket, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
        CopyRange(in, out, st.st_size);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
        ::close(out);
        ::close(in);
        ::renameat(bucket, temp, bucket, name);
    });
}

void RawInPlaceCopy(const std::string& source, const std::string& destination)
{
    Buckets buckets(destination);
    ForEachFile(source, [&](int dirFd, const char* name, const struct stat& st) {
        const int in = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
        const int out = ::openat(buckets.fds[BucketIndex(name)], name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        CopyRange(in, out, st.st_size);
        ::close(out);
        ::close(in);
    });
}

void CpByBucket(const std::string& source, const std::string& destination)
{
    std::array<std::vector<std::string>, 27> names;
    ForEachFile(source, [&](int, const char* name, const struct stat&) {
        names[BucketIndex(name)].push_back(source + "/" + name);
    });
    constexpr std::size_t kBatch = 4000;
    for (int i = 0; i < 27; ++i) {
        const std::string bucket = destination + "/" + (i < 26 ? static_cast<char>('A' + i) : '#') + "/";
        for (std::size_t from = 0; from < names[i].size(); from += kBatch) {
            std::vector<std::string> args = {"cp", "--reflink=auto", "--"};
            for (std::size_t j = from; j < names[i].size() && j < from + kBatch; ++j)
                args.push_back(names[i][j]);
            args.push_back(bucket);
            Spawn(args);
        }
    }
}

} // namespace quillbox::bench
