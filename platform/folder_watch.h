// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "core/jobs/settle_queue.h"
#include "core/ports/clock.h"
#include "core/ports/file_system.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// What happened in a watched folder.
struct FolderEvent {
    enum class Kind : std::uint8_t {
        Touched,  // a file was created, written, closed, renamed in or changed
        Left,     // a file was removed or renamed out
        Overflow, // events were lost: the folder must be looked at whole
        Moved,    // the watched folder itself was renamed
        Removed,  // ... removed
        Unmounted // ... its file system unmounted
    };
    Kind kind;
    std::string name; // bare, raw bytes; for Touched and Left
};

// A file found by a scan of the watched folder.
struct ScannedFile {
    std::string name;
    // As looked at; or, where `listed`, only the device and inode the
    // listing told, the file not looked at.
    FileLook look;
    bool listed = false;
};

// What ShareOf() says of a file system type (statfs's f_type): the name of
// a network or FUSE file system, whose changes made elsewhere no watcher
// here is told of; "" for one that tells every change.
std::string ShareKind(unsigned long type);

// One folder watched through inotify, and one timer for the earliest
// deadline of the files waiting in it. Nothing is polled: wait() sleeps
// until an event, the deadline, or a signal.
class FolderWatch {
public:
    // Watches `folder`; the failure when it cannot be watched.
    static FsResult<std::unique_ptr<FolderWatch>> open(const std::string& folder);

    enum class Wake : std::uint8_t { Events, Deadline, Interrupted, Also };
    // Sleeps with the signal mask `mask` (ppoll) until events are there to
    // read, `deadline` (SystemClock's monotonic time; nothing: none)
    // passes, a signal arrives, or `also` (unless -1) is readable (Also,
    // before Events).
    Wake wait(std::optional<Clock::Instant> deadline, const sigset_t* mask, int also = -1);
    // The events waiting, in order; none when there are none.
    std::vector<FolderEvent> read();

    // The file `name` of the folder as it is now: nothing when it is gone or
    // no regular file (a link counts as what it leads to).
    std::optional<FileLook> look(const std::string& name) const;
    // Every file directly inside the folder, hidden ones included. Where
    // the folder's file system lists each file's own inode, a file the
    // listing calls a regular one is not looked at.
    FsResult<std::vector<ScannedFile>> scan() const;

    // The kind of file system the folder is on when it is one whose changes
    // made elsewhere (another machine, the far side of a FUSE mount) reach
    // no watcher here: "NFS", "FUSE" and the like; "" when changes are told.
    const std::string& share() const { return m_share; }

    // Whether the folder is on one of the usual local file systems (ext4,
    // XFS, Btrfs, tmpfs, F2FS), which rename a file without replacing one.
    bool usualLocal() const { return m_listingTellsInodes; }

    // The folder's path, ending in '/'.
    const std::string& folder() const { return m_folder; }

    // While `quiet`, files leaving the folder are not told: a run moving a
    // batch out would otherwise queue an event for each of its own moves.
    // A file that others take away meanwhile is missed only until it is
    // due: it is then found gone, by the look or by the run's listing.
    void quietLeaving(bool quiet);

private:
    FolderWatch(std::string folder, UniqueFd inotify, int watch, UniqueFd timer);

    // By its path, ending in '/': a descriptor held on it would keep a
    // removed folder from being reported gone.
    std::string m_folder;
    UniqueFd m_inotify;
    int m_watch;
    std::uint64_t m_device = 0;
    bool m_listingTellsInodes = false;
    std::string m_share;
    UniqueFd m_timer;
    std::vector<char> m_buffer;
};

} // namespace quillbox::posix
