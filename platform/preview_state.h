// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <unordered_set>
#include <vector>

namespace quillbox::posix {

// What a preview learns once rather than once per file: who the process is
// to the file system, each folder's owner, mode, flags, mount and whether
// the process may write there, which names a bucket folder holds, and the
// room each destination file system has left, which the files that would
// arrive use up in listing order.
struct PreviewState {
    // One file system's room as the run would meet it.
    struct Room {
        std::uint64_t device = 0;
        std::uint64_t unit = 4096; // bytes in one of `blocks`
        std::uint64_t blocks = 0;
        std::uint64_t inodes = 0;
        bool blocksLimited = false; // false: the file system reports no limit
        bool inodesLimited = false;
        bool tmpfs = false;
    };
    // What a folder is, as a removal or a creation in it is checked against.
    struct FolderFacts {
        bool known = false;
        int failed = 0;  // the errno when the facts could not be read
        int access = -1; // unknown; else 0 or the errno of a write-and-search check
        std::uint64_t mount = 0;
        uid_t owner = 0;
        bool sticky = false;
        bool appendOnly = false;
        std::size_t room = 0; // into `rooms`
    };
    struct Folder : FolderFacts {
        bool willBeMade = false; // not there, and the run would make it
        bool listed = false;
        bool unlistable = false; // cannot be read: each name is looked up
        std::unordered_set<std::string> names;
    };

    bool prepared = false;
    uid_t uid = 0;                // the file-system user ID
    bool overridesSticky = false; // CAP_FOWNER
    bool usesReserve = false;     // CAP_SYS_RESOURCE: blocks kept for root are there too
    FolderFacts source;
    FolderFacts destination;
    std::array<Folder, 256> buckets;
    std::vector<Room> rooms;
};

} // namespace quillbox::posix
