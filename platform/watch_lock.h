// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

#include "core/ports/file_system.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// Where the locks of watched folders are: $XDG_RUNTIME_DIR/quillbox, or,
// without a runtime folder, "watching" beside the journals' folder
// `journals`.
std::string WatchLockFolder(const std::string& journals);

// A watched folder's lock, held for the watch's life: one file a folder in
// `lockFolder`, named after the folder's device and inode (so the same
// folder reached by two paths has one lock), locked with flock. The
// kernel lets go of it when the process ends, however it ends.
class WatchLock {
public:
    enum class Outcome : std::uint8_t { Locked, HeldElsewhere, Failed };

    // Locks `folder` for this process. HeldElsewhere when another process
    // holds its lock; `holder` is then that process's id, or 0 when not
    // known. Failed with `error` when no lock can be made.
    static Outcome take(const std::string& lockFolder, const std::string& folder, std::unique_ptr<WatchLock>& lock,
                        pid_t& holder, std::string& error);

    // Whether some process holds the lock of `folder` now, and which.
    static bool heldByOther(const std::string& lockFolder, const std::string& folder, pid_t& holder);

private:
    explicit WatchLock(UniqueFd fd) : m_fd(std::move(fd)) {}
    UniqueFd m_fd;
};

} // namespace quillbox::posix
