// SPDX-License-Identifier: GPL-3.0-or-later
// Watch files: where they are and how they are read, the settle time as
// written on the command line or in one, and --watch's request checked.
#include "app/watch/watch_command.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/cli/exit_status.h"
#include "app/cli/folder_checks.h"
#include "app/cli/options.h"
#include "core/log/log_text.h"

namespace quillbox::app {

namespace {

std::string Trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

bool ParseSettle(const std::string& text, std::chrono::nanoseconds& settle)
{
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    const auto digits = [](const std::string& part) {
        return part.find_first_not_of("0123456789") == std::string::npos;
    };
    if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction) || fraction.size() > 9 ||
        whole.size() > 5 || (dot != std::string::npos && fraction.empty()))
        return false;
    long long ns = whole.empty() ? 0 : std::stoll(whole) * 1'000'000'000;
    if (!fraction.empty())
        ns += std::stoll(fraction + std::string(9 - fraction.size(), '0'));
    if (ns > 86'400LL * 1'000'000'000)
        return false;
    settle = std::chrono::nanoseconds(ns);
    return true;
}

std::string WatchFilePath(const std::string& name)
{
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        base = config;
    else if (const char* home = std::getenv("HOME"); home != nullptr)
        base = std::string(home) + "/.config";
    return base + "/quillbox/watch/" + name + ".conf";
}

bool ReadWatchFile(const std::string& name, WatchRequest& request, std::string& error)
{
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) {
        error = "the watch name " + EscapeText(name) + " is not a plain name";
        return false;
    }
    const std::string path = WatchFilePath(name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 64 * 1024) {
        error = EscapeText(path) + ": " + (fd < 0 ? std::strerror(errno) : "not a watch file");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    const ssize_t got = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);

    const char* home = std::getenv("HOME");
    int number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = Trimmed(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t equals = line.find('=');
        const std::string where = EscapeText(path) + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            error = where + "KEY = VALUE expected";
            return false;
        }
        const std::string key = Trimmed(line.substr(0, equals));
        std::string value = Trimmed(line.substr(equals + 1));
        if (value.starts_with("~/") && home != nullptr)
            value = home + value.substr(1);
        if (key == "mode" && (value == "copy" || value == "move")) {
            request.mode = value == "move" ? TransferMode::Move : TransferMode::Copy;
            request.modeGiven = true;
        } else if (key == "source" && !value.empty()) {
            request.source = value;
        } else if (key == "destination" && !value.empty()) {
            request.destination = value;
        } else if (key == "create-dirs" && (value == "yes" || value == "no")) {
            request.createDirs = value == "yes";
        } else if (key == "settle" && ParseSettle(value, request.settle)) {
        } else if (key == "ignore" && !value.empty()) {
            request.ignores.push_back(value);
        } else {
            error = where + "unknown key or bad value: " + EscapeText(line);
            return false;
        }
    }
    if (!request.modeGiven || request.source.empty() || request.destination.empty()) {
        error = EscapeText(path) + ": mode, source and destination are all needed";
        return false;
    }
    return true;
}

int WatchCommand(const Options& options, RealPorts& real)
{
    RunRequest request = options.request;
    std::string error;
    if (options.watchConfigGiven) {
        if (!ReadWatchFile(options.watchConfig, request, error))
            return Refuse(error);
    } else if (options.settleGiven && !ParseSettle(options.settle, request.settle)) {
        return UsageError("--settle takes seconds, such as 2 or 0.5, up to a day: " + options.settle);
    }
    if (std::string problem = FolderProblem(request.source, "source", true); !problem.empty())
        return Refuse(problem);
    // A missing destination is made for the first batch (a watch stopped
    // before one leaves nothing made); here it is only checked.
    if (std::string problem =
            DestinationProblem(request.destination, request.createDirs, true, request.destinationToMake,
                               options.watchConfigGiven ? "create-dirs = yes" : "--create-dirs");
        !problem.empty())
        return Refuse(problem);
    MakeAbsolute(request);
    return RunWatch(request, real);
}

} // namespace quillbox::app
