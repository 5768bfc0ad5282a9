// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/ports/file_system.h"

namespace quillbox {

// The program's working folder, what a relative folder is taken inside; a
// failure where it cannot be told (it was removed, say).
FsResult<std::string> WorkingFolder();

} // namespace quillbox
