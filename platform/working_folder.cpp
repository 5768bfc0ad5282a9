// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/working_folder.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "platform/error_text.h"

namespace quillbox {

FsResult<std::string> WorkingFolder()
{
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr)
        return posix::Failure(errno);
    std::string folder = cwd;
    std::free(cwd);
    return folder;
}

} // namespace quillbox
