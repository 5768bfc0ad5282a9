// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/ports/file_system.h"

namespace quillbox {

// The platform's reason for an errno value ("No such file or directory").
std::string ErrorText(int error);

namespace posix {

// A failure with the platform's reason for `error`.
FsStatus Failure(int error);
// A failure with a reason of our own.
FsStatus Failure(int error, std::string reason);

// The reason given for a file that is not a regular file (a FIFO or a folder
// took its name): EINVAL.
FsStatus NotRegularFile();
// The reason given when a file changed while it was being copied.
FsStatus ChangedWhileCopied(bool originalKept);
// The reason given for a copy abandoned because the run was stopped: ECANCELED.
FsStatus StoppedByUser();

} // namespace posix
} // namespace quillbox
