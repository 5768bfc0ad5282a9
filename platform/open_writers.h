// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

#include "core/jobs/settle_queue.h"

namespace quillbox::posix {

// Which of `files` (by device and inode) some process this one can see
// holds open for writing: every /proc/PID/fd link is looked at (without
// opening what it names), and only for a link to one of the files is the
// "flags:" line of /proc/PID/fdinfo/FD read for O_WRONLY or O_RDWR.
// Processes that go away meanwhile, or that cannot be looked into, are
// passed over, and so is this process itself unless `thisProcessToo`. `proc` is where the process table is mounted.
std::vector<bool> OpenForWriting(const std::vector<FileLook>& files, const std::string& proc = "/proc",
                                 bool thisProcessToo = false);

} // namespace quillbox::posix
