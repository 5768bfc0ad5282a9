// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/error_text.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace quillbox {

std::string ErrorText(int error)
{
    // Looking the text up goes through the message catalogue each time, some
    // 1,800 instructions; a run in which every file fails asks for the same
    // few texts a hundred thousand times. Each is looked up once; the table
    // is shared by the threads of all runs, hence the lock.
    static std::mutex mutex;
    static std::unordered_map<int, std::string> known;
    const std::lock_guard lock(mutex);
    const auto found = known.find(error);
    if (found != known.end())
        return found->second;
    char buffer[256];
    // The GNU strerror_r returns the text, in `buffer` or in static storage.
    return known.emplace(error, ::strerror_r(error, buffer, sizeof buffer)).first->second;
}

namespace posix {

FsStatus Failure(int error)
{
    return FsStatus {error, ErrorText(error)};
}

FsStatus Failure(int error, std::string reason)
{
    return FsStatus {error, std::move(reason)};
}

FsStatus NotRegularFile()
{
    return Failure(EINVAL, "Not a regular file");
}

FsStatus ChangedWhileCopied(bool originalKept)
{
    return Failure(EAGAIN,
                   originalKept ? "The file changed while it was being copied; the original is kept"
                                : "The file changed while it was being copied");
}

FsStatus StoppedByUser()
{
    return Failure(ECANCELED, "Stopped by the user");
}

} // namespace posix
} // namespace quillbox
