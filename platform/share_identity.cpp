// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/share_identity.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "platform/file_identity.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

namespace {

constexpr unsigned long kFuse = 0x65735546UL;

// A field of /proc/self/mountinfo, its escapes ("\040" for a space) undone.
std::string Unescaped(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
            out.push_back(
                static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

} // namespace

bool RoundTripType(unsigned long type)
{
    switch (type) {
    case kFuse:        // FUSE (sshfs, rclone, ntfs-3g, gvfs, ...)
    case 0x6969UL:     // NFS
    case 0x517bUL:     // SMB
    case 0xff534d42UL: // CIFS
    case 0xfe534d42UL: // SMB2
    case 0x01021997UL: // 9p
    case 0x00c36400UL: // Ceph
    case 0x5346414fUL: // AFS
    case 0x6b414653UL: // kAFS
    case 0x73757245UL: // Coda
    case 0x47504653UL: // GPFS
    case 0x0bd00bd0UL: // Lustre
        return true;
    default:
        return false;
    }
}

bool OnRoundTripFileSystem(int fd)
{
    struct statfs st; // filled by the call
    return ::fstatfs(fd, &st) == 0 && RoundTripType(static_cast<unsigned long>(st.f_type));
}

bool OnUserSpaceFileSystem(int fd)
{
    struct statfs st; // filled by the call
    return ::fstatfs(fd, &st) == 0 && static_cast<unsigned long>(st.f_type) == kFuse;
}

bool LinksGiveAnotherFile(int fd)
{
    return OnUserSpaceFileSystem(fd);
}

bool JournalFolderIdentity(int fd, FolderIdentity& identity)
{
    if (OnRoundTripFileSystem(fd))
        return ShareFolderIdentity(fd, identity);
    return FolderIdentityAt(fd, "", AT_EMPTY_PATH, identity);
}

bool ShareFolderIdentity(int fd, FolderIdentity& identity)
{
    struct statx st {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &st) != 0)
        return false;
    errno = ESTALE; // where its mount cannot be found
    if ((st.stx_mask & STATX_MNT_ID) == 0)
        return false;
    // "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER"
    std::ifstream table("/proc/self/mountinfo");
    const std::string id = std::to_string(st.stx_mnt_id);
    for (std::string line; std::getline(table, line);) {
        if (line.compare(0, id.size() + 1, id + " ") != 0)
            continue;
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos)
            return false;
        std::istringstream fields(line.substr(dash + 3));
        std::string type, source;
        if (!(fields >> type >> source))
            return false;
        ContentChecksum mount;
        const std::string key = Unescaped(type) + '\0' + Unescaped(source);
        mount.add(key.data(), key.size());
        identity = {kShareDevice, mount.value(), 0};
        return true;
    }
    return false;
}

void ContentChecksum::add(const char* bytes, std::size_t size)
{
    // FNV-1a, 64 bits.
    std::uint64_t hash = m_hash;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 0x100000001b3ull;
    m_hash = hash;
}

std::uint64_t ChecksumOfFile(int dir, const char* name)
{
    UniqueFd file(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid())
        return 0;
    constexpr std::size_t kChunk = 256 * 1024;
    const std::unique_ptr<char[]> buffer(new char[kChunk]);
    ContentChecksum sum;
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer.get(), kChunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (got == 0)
            return sum.value();
        sum.add(buffer.get(), static_cast<std::size_t>(got));
    }
}

} // namespace quillbox::posix
