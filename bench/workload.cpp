// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/workload.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillbox::bench {

namespace {

constexpr char kLeadCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-@[ .~";

int RemoveOne(const char* path, const struct stat*, int type, FTW*)
{
    if (type == FTW_DP || type == FTW_D || type == FTW_DNR)
        ::rmdir(path);
    else
        ::unlink(path);
    return 0;
}

std::uint64_t StatusField(const char* field)
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    char line[256];
    std::uint64_t kib = 0;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, field, length) == 0) {
            kib = std::strtoull(line + length, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kib * 1024;
}

int Run(const std::string& command)
{
    return std::system(command.c_str());
}

} // namespace

double Now()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void MakeFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
}

void RemoveTree(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return;
    ::nftw(path.c_str(), RemoveOne, 64, FTW_PHYS | FTW_DEPTH);
}

void MakeBuckets(const std::string& destination)
{
    for (char c = 'A'; c <= 'Z'; ++c)
        MakeFolder(destination + "/" + c);
    MakeFolder(destination + "/#");
}

void MakeSmallFiles(const std::string& folder, int count, int maxBytes, std::uint32_t seed)
{
    MakeFolder(folder);
    static char data[65536];
    for (std::size_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<char>('a' + i % 23);
    std::uint32_t state = seed | 1u;
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        throw std::runtime_error("cannot open " + folder);
    for (int i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const char lead = kLeadCharacters[i % (sizeof kLeadCharacters - 1)];
        char name[64];
        std::snprintf(name, sizeof name, "%cfile-%07d.dat", lead, i);
        const int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            throw std::runtime_error(std::string("cannot create ") + name);
        const std::size_t bytes = maxBytes > 0 ? state % static_cast<std::uint32_t>(maxBytes + 1) : 0;
        if (bytes > 0 && ::write(fd, data, bytes) != static_cast<ssize_t>(bytes))
            throw std::runtime_error("short write");
        ::close(fd);
    }
    ::close(dir);
}

void MakeLargeFiles(const std::string& folder, int count, std::uint64_t bytes)
{
    MakeFolder(folder);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 31 % 251);
    for (int i = 0; i < count; ++i) {
        const std::string path = folder + "/" + static_cast<char>('a' + i % 26) + "large-" + std::to_string(i) + ".bin";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            throw std::runtime_error("cannot create " + path);
        for (std::uint64_t done = 0; done < bytes; done += block.size()) {
            block[0] = static_cast<char>(done >> 20); // no two blocks alike
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                throw std::runtime_error("short write to " + path);
        }
        ::close(fd);
    }
}

void LinkFiles(const std::string& pool, const std::string& folder)
{
    MakeFolder(folder);
    const int from = ::open(pool.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int to = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (from < 0 || to < 0)
        throw std::runtime_error("cannot link " + pool + " into " + folder);
    for (const std::string& name : FileNames(pool)) {
        if (::linkat(from, name.c_str(), to, name.c_str(), 0) != 0)
            throw std::runtime_error("cannot link " + name);
    }
    ::close(from);
    ::close(to);
}

std::vector<std::string> FileNames(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_type == DT_REG)
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

std::uint64_t CountFilesBelow(const std::string& folder)
{
    static std::uint64_t counted;
    counted = 0;
    ::nftw(
        folder.c_str(),
        [](const char*, const struct stat* st, int type, FTW*) {
            if (type == FTW_F && S_ISREG(st->st_mode))
                ++counted;
            return 0;
        },
        64, FTW_PHYS);
    return counted;
}

void SyncAll()
{
    ::sync();
}

void TouchMemory(std::uint64_t bytes)
{
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory != MAP_FAILED)
        ::munmap(memory, bytes);
}

void ResetPeakResident()
{
    if (FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", refs);
        std::fclose(refs);
    }
}

std::uint64_t PeakResident()
{
    return StatusField("VmHWM:");
}

std::uint64_t CurrentResident()
{
    return StatusField("VmRSS:");
}

ScratchTmpfs::ScratchTmpfs()
{
    char pattern[] = "/tmp/quillbox-bench-tmpfs-XXXXXX";
    if (::mkdtemp(pattern) != nullptr && ::mount("tmpfs", pattern, "tmpfs", 0, "size=8g,mode=0755") == 0) {
        m_path = pattern;
        m_mounted = true;
        return;
    }
    ::rmdir(pattern);
    char shm[] = "/dev/shm/quillbox-bench-XXXXXX";
    if (::mkdtemp(shm) == nullptr)
        throw std::runtime_error("no tmpfs to benchmark on");
    m_path = shm;
}

ScratchTmpfs::~ScratchTmpfs()
{
    if (m_mounted) {
        ::umount2(m_path.c_str(), MNT_DETACH);
        ::rmdir(m_path.c_str());
    } else {
        RemoveTree(m_path);
    }
}

JournaledExt4::JournaledExt4(const std::string& under, std::uint64_t bytes)
{
    m_image = under + "/journaled-ext4.img";
    m_path = under + "/journaled-ext4";
    MakeFolder(m_path);
    const std::string size = std::to_string(bytes / (1024 * 1024)) + "M";
    m_ok = Run("truncate -s " + size + " '" + m_image + "' && mkfs.ext4 -q -F -N 600000 -O has_journal '" + m_image +
               "' >/dev/null 2>&1 && mount -o loop '" + m_image + "' '" + m_path + "' 2>/dev/null") == 0;
}

JournaledExt4::~JournaledExt4()
{
    if (m_ok)
        ::umount2(m_path.c_str(), MNT_DETACH);
    ::rmdir(m_path.c_str());
    ::unlink(m_image.c_str());
}

} // namespace quillbox::bench
