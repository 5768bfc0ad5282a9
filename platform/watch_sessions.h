// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ports/file_system.h"

namespace quillbox::posix {

// A watch from its start to its end: its runs are those numbered from
// `firstRun` on that sort `source` into `destination` (both resolved, ending
// in '/'), up to the next session of the same folders.
struct WatchSession {
    std::uint64_t firstRun = 0;
    std::string source;
    std::string destination;
};

// Notes, beside the journals' folder `journals` (in "sessions"), that a
// watch of `source` into `destination` begins: its runs will be numbered
// after the newest journal there now. The newest kSessionsKept notes are
// kept.
inline constexpr std::size_t kSessionsKept = 32;
FsStatus BeginWatchSession(const std::string& journals, const std::string& source, const std::string& destination);

// The names of the runs whose journals are in `journals` ("run-N"), the
// newest first, read from the folder's listing alone.
std::vector<std::string> RunsInFolder(const std::string& journals);

// The session begun last, if any is noted.
std::optional<WatchSession> NewestWatchSession(const std::string& journals);

} // namespace quillbox::posix
