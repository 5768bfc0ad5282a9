// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace quillbox::posix {

// Writes all `size` bytes of `data` to `fd`, at `offset` (pwrite) or, when
// `offset` is negative, at the file's position (write); a write cut short
// or interrupted goes on from where it stopped. 0, or the errno of the write
// that failed.
int WriteAll(int fd, const char* data, std::size_t size, off_t offset = -1);

} // namespace quillbox::posix
