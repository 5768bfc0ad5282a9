// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/resource.h>

namespace quillbox::test {

// Lowers the process's file-size limit with SIGXFSZ ignored, so a write past
// it fails with EFBIG instead of killing the process; restores both after.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit m_saved {};
    void (*m_savedHandler)(int) = nullptr;
};

} // namespace quillbox::test
