// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/write_all.h"

#include <cerrno>
#include <unistd.h>

namespace quillbox::posix {

int WriteAll(int fd, const char* data, std::size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t written = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        if (offset >= 0)
            offset += written;
    }
    return 0;
}

} // namespace quillbox::posix
