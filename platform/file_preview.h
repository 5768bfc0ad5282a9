// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/ports/file_system.h"
#include "platform/folder_handles.h"
#include "platform/preview_state.h"

namespace quillbox::posix {

// What a copy or move of the file `name` would come to, found by the same
// looks a copy or move takes first and, for what only the act itself would
// tell, by the checks the system makes in the order it makes them: a name
// taken, a folder not writable, a file or folder that is immutable or
// append-only, a sticky folder the file may not leave, a source that must be
// read (across file systems) but cannot, and a file system without the
// blocks or inodes left. Nothing is changed. `bucketsWillBeMade`: a bucket
// that is not there yet counts as made, where the destination lets the run
// make it and has room for it.
FileOutcome PreviewFile(PreviewState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                        TransferMode mode, bool bucketsWillBeMade, const LengthFn& length);

} // namespace quillbox::posix
