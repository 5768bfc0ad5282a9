// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/jobs/settle_queue.h"
#include "core/ports/file_system.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// Read leases on files of the watched folder. The kernel grants one only
// while no process has the file open for writing, a writable shared mapping
// included, whoever that process belongs to; and once granted, a process
// opening the file for writing (or truncating it) waits until the lease is
// let go, and the holder is told by SIGIO. A lease can be taken only on a
// file of one's own, or with CAP_LEASE, and only where the file system
// keeps leases.
//
// SIGIO is blocked in the thread that makes the leases, and so in every
// thread it starts after; it is read from fd().
class ReadLeases {
public:
    enum class Answer : std::uint8_t {
        Granted, // held from now on, until released
        Writing, // somebody has the file open for writing
        Refused, // no lease here: not the owner, or no leases on this file system
        Changed, // the file is not the one looked at, or gone
    };

    ReadLeases();
    ~ReadLeases();
    ReadLeases(const ReadLeases&) = delete;
    ReadLeases& operator=(const ReadLeases&) = delete;

    // Readable when a lease is being broken; -1 where leases cannot be told
    // of (then none is taken).
    int fd() const { return m_signals.get(); }

    // Takes a lease on the file `name` of the folder `folder` (ending in
    // '/'), which looked like `look` (only its device and inode are
    // compared, and the file is opened as no link, where `look` tells no
    // length and modification time: a listing's). A lease held already on that very file is kept;
    // one held on a file the name no longer leads to is let go. When no more
    // descriptors can be spared, the lease is let go at once: Granted then
    // tells only that nobody writes the file now. `opened`, unless -1, is
    // the folder opened already.
    Answer take(const std::string& folder, const std::string& name, const FileLook& look, int opened = -1);
    // take() for many files of the folder `opened` (its path `folder`),
    // shared among threads; what each answered is not told. `meanwhile`
    // is run on the calling thread while the leases are being taken.
    void takeMany(const std::string& folder, int opened, const std::vector<std::string>& names,
                  const std::vector<FileLook>& looks, const std::function<void()>& meanwhile = {});
    bool holds(const std::string& name) const { return m_held.contains(name); }
    std::size_t held() const { return m_held.size(); }
    void release(const std::string& name);
    // Releases every lease but those of `keep`.
    void releaseAllBut(const std::vector<std::string>& keep);
    void releaseAll() { m_held.clear(); }

    // Once fd() is readable: the names whose lease a writer is breaking.
    // Their leases are let go, so that the writer goes on at once.
    std::vector<std::string> broken();

private:
    Answer open(const std::string& folder, const std::string& name, const FileLook& look, int opened, UniqueFd& fd);

    UniqueFd m_signals;
    std::size_t m_room = 0; // descriptors that may be held
    struct Held {
        UniqueFd fd;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
    };
    std::unordered_map<std::string, Held> m_held;
};

} // namespace quillbox::posix
