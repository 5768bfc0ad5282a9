// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/open_descriptors.h"

#include <climits>
#include <dirent.h>
#include <unistd.h>

namespace quillbox::test {

int OpenDescriptorsUnder(const std::string& folder)
{
    int count = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr)
        return 0;
    while (const dirent* entry = ::readdir(fds)) {
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
        if (length <= 0)
            continue;
        const std::string path(target, static_cast<std::size_t>(length));
        if (path == folder || path.rfind(folder + "/", 0) == 0)
            ++count;
    }
    ::closedir(fds);
    return count;
}

} // namespace quillbox::test
