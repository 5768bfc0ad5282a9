// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ports/file_system.h"

namespace quillbox::posix {

// Network shares and user-space file systems: every call is a round trip,
// and what tells a file or folder apart on a local disk does not hold.
// Their device number is new with every mount; a FUSE mount numbers its
// inodes as it meets them (and gives a hard link another number), and some
// keep times to the whole second with the change time equal to the
// modification time.
//
// What a run's journal keeps of a file or folder there is what the share
// does keep: see ShareFileIdentity and ShareFolderIdentity. Both carry
// kShareDevice as their device, which no mounted file system has.
inline constexpr std::uint64_t kShareDevice = ~std::uint64_t {0};

// Whether the file system of type `type` (statfs's f_type) is one of those.
bool RoundTripType(unsigned long type);
// Whether the file system the handle `fd` lies on is one; false where that
// cannot be told.
bool OnRoundTripFileSystem(int fd);
// Whether it is a user-space (FUSE) mount.
bool OnUserSpaceFileSystem(int fd);

// A file on a share as a journal keeps it: its length and modification
// time as the share tells them, and with `checksum` (not 0) a checksum of
// the bytes a copy wrote. Its name is the journal's.
inline FileIdentity ShareFileIdentity(const FileIdentity& seen, std::uint64_t checksum)
{
    return {kShareDevice, checksum, seen.size, seen.mtimeNs, 0, 0};
}

// Whether a time seen on a share, `seen`, is `exact` as the share keeps
// it: the same, or the same whole second where the share keeps no more.
inline bool SameTime(std::int64_t seen, std::int64_t exact)
{
    constexpr std::int64_t kSecond = 1'000'000'000;
    return seen == exact || (seen % kSecond == 0 && seen == exact - exact % kSecond);
}

// Whether a hard link on the file system of `fd` gives a file that cannot
// be told from another by its device and inode numbers, as on a user-space
// mount, which numbers each name it meets. A name is moved there, never
// replacing, by a look that the new name is free and then a plain rename,
// rather than by a link and a removal (three round trips, and another
// file as far as the identity can tell).
bool LinksGiveAnotherFile(int fd);

// A folder on a share as a journal keeps it: the kind of file system and
// where it is mounted from (its type and source, "fuse.sshfs" and
// "user@host:/path", say), its path being the journal's. False where the
// mount of `fd` cannot be found.
bool ShareFolderIdentity(int fd, FolderIdentity& identity);
// What a journal keeps of the folder `fd`: on a share as above, elsewhere
// its device, inode and birth time.
bool JournalFolderIdentity(int fd, FolderIdentity& identity);

// Whether a folder a journal keeps as `journaled` lies on a share `now`
// but was journaled as on a local disk, by device and inode numbers, as
// journals were written on shares before the share identity: those numbers
// cannot tell there whether it is the same folder, so such a run is not
// taken back. kKeptAsOnLocalDisk says so.
inline bool KeptAsOnLocalDisk(const FolderIdentity& journaled, const FolderIdentity& now)
{
    return now.device == kShareDevice && journaled.known() && journaled.device != kShareDevice;
}
inline constexpr const char* kKeptAsOnLocalDisk =
    "it lies on a network share, and the run's journal knows it only by numbers a share does not keep "
    "(as Quillbox 0.97.0 wrote journals there), so whether it is the folder the run used cannot be told; "
    "nothing was changed";

// A checksum of bytes given a piece at a time; never 0, so that 0 can stand
// for none.
class ContentChecksum {
public:
    void add(const char* bytes, std::size_t size);
    std::uint64_t value() const { return m_hash == 0 ? 1 : m_hash; }

private:
    std::uint64_t m_hash = 0xcbf29ce484222325ull;
};

// The checksum of the whole file `name` of `dir`, read from its first byte;
// 0 where it cannot be read.
std::uint64_t ChecksumOfFile(int dir, const char* name);

} // namespace quillbox::posix
