// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/watch_sessions.h"

#include <algorithm>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/error_text.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace quillbox::posix {

namespace {

// The number in `name` between `prefix` and `suffix` (up to the first '-'
// after the prefix when `suffix` is empty), or 0.
std::uint64_t NumberIn(std::string_view name, std::string_view prefix, std::string_view suffix)
{
    if (!name.starts_with(prefix) || !name.ends_with(suffix))
        return 0;
    name = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (suffix.empty())
        name = name.substr(0, name.find('-'));
    std::uint64_t number = 0;
    if (name.empty() || name.size() > 18 ||
        std::from_chars(name.data(), name.data() + name.size(), number).ptr != name.data() + name.size())
        return 0;
    return number;
}

std::vector<std::pair<std::uint64_t, std::string>> Numbered(const std::string& folder, std::string_view prefix,
                                                            std::string_view suffix)
{
    std::vector<std::pair<std::uint64_t, std::string>> found;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        if (const std::uint64_t number = NumberIn(entry->d_name, prefix, suffix); number != 0)
            found.emplace_back(number, entry->d_name);
    }
    ::closedir(dir);
    std::sort(found.rbegin(), found.rend());
    return found;
}

std::string SessionsFolder(const std::string& journals)
{
    const std::size_t slash = journals.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : journals.substr(0, slash)) + "/sessions";
}

} // namespace

FsStatus BeginWatchSession(const std::string& journals, const std::string& source, const std::string& destination)
{
    const std::string folder = SessionsFolder(journals);
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1))
        ::mkdir(folder.substr(0, slash).c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir.valid() || ::fstat(dir.get(), &st) != 0)
        return Failure(errno);
    if (st.st_uid != ::geteuid())
        return Failure(EPERM, folder + " belongs to another user");
    const auto runs = Numbered(journals, "run-", ".journal");
    const std::uint64_t first = runs.empty() ? 1 : runs.front().first + 1;
    // Written whole under a private name, then given its own.
    const std::string name = "watch-" + std::to_string(first) + "-" + std::to_string(::getpid());
    const std::string partial = "." + name;
    const UniqueFd fd(
        ::openat(dir.get(), partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return Failure(errno);
    const std::string text = source + '\0' + destination + '\0';
    if (const int error = WriteAll(fd.get(), text.data(), text.size()); error != 0) {
        ::unlinkat(dir.get(), partial.c_str(), 0);
        return Failure(error);
    }
    if (::renameat(dir.get(), partial.c_str(), dir.get(), name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(dir.get(), partial.c_str(), 0);
        return Failure(error);
    }
    const auto sessions = Numbered(folder, "watch-", "");
    for (std::size_t i = kSessionsKept; i < sessions.size(); ++i)
        ::unlinkat(dir.get(), sessions[i].second.c_str(), 0);
    return FsStatus::success();
}

std::vector<std::string> RunsInFolder(const std::string& journals)
{
    std::vector<std::string> runs;
    for (const auto& [number, name] : Numbered(journals, "run-", ".journal"))
        runs.push_back("run-" + std::to_string(number));
    return runs;
}

std::optional<WatchSession> NewestWatchSession(const std::string& journals)
{
    const std::string folder = SessionsFolder(journals);
    for (const auto& [first, name] : Numbered(folder, "watch-", "")) {
        const UniqueFd fd(::open((folder + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        char text[2 * 4096 + 2];
        const ssize_t got = fd.valid() ? ::read(fd.get(), text, sizeof text) : -1;
        if (got <= 0)
            continue;
        const std::string_view all(text, static_cast<std::size_t>(got));
        const std::size_t end = all.find('\0');
        if (end == std::string_view::npos || all.back() != '\0' || end + 1 >= all.size())
            continue;
        return WatchSession {first, std::string(all.substr(0, end)),
                             std::string(all.substr(end + 1, all.size() - end - 2))};
    }
    return std::nullopt;
}

} // namespace quillbox::posix
