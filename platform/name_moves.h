// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/bucket_traits.h"
#include "platform/system_calls.h"

namespace quillbox::posix {

// Gives the file `from` of one folder the name `to` in another (or the same)
// folder, never replacing what has that name: renameat2 with
// RENAME_NOREPLACE; where a file system refuses the flag, a hard link and an
// unlink of the old name; where it refuses hard links too, a look whether
// the name is taken and then a plain rename, which leaves the smallest
// window there is. Returns 0 or the errno: EEXIST when the name is taken,
// EXDEV when the folders lie on different file systems.
//
// With `traits` (those of the target's file system), what the file system
// refuses is learnt there and not tried again: the next move goes straight
// to the way that works, with the same guarantee. That hard links are
// refused is learnt only from a link of a file, never of a folder that took
// the file's name.
int MoveNameNoReplace(SystemCalls& calls, int fromDir, const char* from, int toDir, const char* to,
                      BucketTraits* traits = nullptr);

// Whether an errno says the file system does not do RENAME_NOREPLACE.
bool NoReplaceRefused(int error);
// Whether an errno says the file system does not do hard links.
bool LinksRefused(int error);

} // namespace quillbox::posix
