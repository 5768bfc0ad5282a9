// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include "core/ports/file_system.h"
#include "platform/system_calls.h"

namespace quillbox::posix {

// Opens a run's folders to take it back (see RunTakeBack).
//
// Each file is first renamed, never replacing, to a private name in its
// bucket folder, ".quillbox-undo-" and its inode number in hexadecimal;
// only when the file under that name is the one that was checked is it
// removed or moved back, and otherwise it gets its name again. A take-back
// killed between those steps leaves the file under its private name, where
// the next one finds it and finishes.
std::unique_ptr<RunTakeBack> OpenTakeBack(SystemCalls& calls, const ResolvedFolder& source,
                                          const ResolvedFolder& destination);

} // namespace quillbox::posix
