// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/stat.h>

#include "core/ports/file_system.h"
#include "platform/file_copy.h"
#include "platform/folder_handles.h"

namespace quillbox::posix {

// Moves the file `name` of the source folder to `name` in a bucket folder,
// never replacing a file there. A link is moved as the link it is. A folder
// (or anything else but a file or a link) that took the file's name after
// it was listed is never left in the bucket: it goes back to the source
// under its name, or, where that is taken meanwhile, under a private name
// of the process's there; the file counts as failed.
//
// Within one file system the name moves (see MoveNameNoReplace). Across
// file systems a complete copy is made, its data and its new name are on
// the disk, and only then does the source go, and only if it is still the
// very file that was copied, unchanged; otherwise the copy is taken back
// and the source stays.
FileOutcome MoveFile(CopyState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                     const LengthFn& length);

// Moves `fromName` of one folder to `toName` in another, the same way:
// never replacing, across file systems only once the copy is complete and
// the original still the file `seen` (its fstatat without following links).
// With `identify`, the outcome tells which file now has the name (unknown
// where it cannot be looked at), and something other than a file or a link
// that took `fromName` since `seen` was taken goes back (see MoveFile).
FileOutcome MoveName(CopyState& state, BucketTraits& traits, int fromDir, const char* fromName, int toDir,
                     const char* toName, const struct stat& seen, bool identify = true);

} // namespace quillbox::posix
