// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/front_door.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include "platform/error_text.h"

#ifndef QUILLBOX_WINDOW_FROM_BIN
#define QUILLBOX_WINDOW_FROM_BIN "../libexec/quillbox/quillbox-window"
#endif

namespace quillbox::app {

namespace {

constexpr char kWindowProgram[] = "quillbox-window";

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Inside(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// This program's own file, symbolic links resolved, or "".
std::string SelfPath()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

int CannotStart(const std::string& what, int error)
{
    std::fprintf(stderr, "quillbox: the window cannot be started, %s: %s; --copy or --move runs without one\n",
                 what.c_str(), ErrorText(error).c_str());
    return 2;
}

} // namespace

bool WantsCommandLine(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return true;
    }
    return false;
}

std::string InstalledWindowProgram(const std::string& self, const std::string& fromBin)
{
    if (!fromBin.empty() && fromBin[0] == '/')
        return fromBin;
    return std::filesystem::path(Inside(FolderOf(self), fromBin)).lexically_normal().string();
}

std::string BuiltWindowProgram(const std::string& self)
{
    return Inside(FolderOf(self), kWindowProgram);
}

int StartWindow(char* argv[])
{
    const std::string self = SelfPath();
    if (self.empty())
        return CannotStart("/proc/self/exe", errno);
    // The window starts its folder fields in the folder of the program the
    // user started, not in that of its own.
    ::setenv(kProgramFolderVariable, FolderOf(self).c_str(), 1);
    const std::string installed = InstalledWindowProgram(self, QUILLBOX_WINDOW_FROM_BIN);
    ::execv(installed.c_str(), argv);
    const int installedError = errno;
    if (installedError == ENOENT) {
        const std::string built = BuiltWindowProgram(self);
        ::execv(built.c_str(), argv);
        if (errno != ENOENT)
            return CannotStart(built, errno);
    }
    return CannotStart(installed, installedError);
}

} // namespace quillbox::app
