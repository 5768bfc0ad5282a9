// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/folder_checks.h"

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error_text.h"
#include "platform/working_folder.h"

namespace quillbox::app {

namespace {

// The folder that holds `path`, as mkdir would make `path` in it.
std::string ParentOf(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string FolderProblem(const std::string& path, const char* role, bool mustRead)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::string(role) + " " + path + ": " + ErrorText(errno);
    if (!S_ISDIR(st.st_mode))
        return std::string(role) + " " + path + ": not a folder";
    if (mustRead) {
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr)
            return std::string(role) + " " + path + ": " + ErrorText(errno);
        ::closedir(dir);
    }
    return {};
}

std::string DestinationProblem(const std::string& path, bool createDirs, bool dryRun, bool& made,
                               const std::string& option)
{
    made = false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 || errno != ENOENT)
        return FolderProblem(path, "destination", false);
    if (!createDirs)
        return "destination " + path + ": " + ErrorText(ENOENT) + " (" + option + " makes it)";
    const std::string parent = ParentOf(path);
    struct stat up {};
    if (const bool found = ::stat(parent.c_str(), &up) == 0; !found || !S_ISDIR(up.st_mode)) {
        const std::string why = found ? std::string("not a folder") : ErrorText(errno);
        return "destination " + path + " cannot be made: its parent " + parent + ": " + why + " (" + option +
            " makes the last folder only)";
    }
    if (dryRun ? ::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0 : ::mkdir(path.c_str(), 0777) != 0)
        return "destination " + path + " cannot be made: " + ErrorText(errno);
    made = true;
    return {};
}

void MakeAbsolute(RunRequest& request)
{
    const FsResult<std::string> working = WorkingFolder();
    MakeFoldersAbsolute(request, working.ok() ? working.value() : std::string());
}

} // namespace quillbox::app
