#pragma once

#include "core/file_system.h"
#include "platform/folder_handles.h"

namespace quillbox::posix {

// What a copy or move of the file `name` would come to, found by the same
// looks a copy or move takes first, without changing anything: the same
// folder handles, the same opening of the source, and for what only the
// act itself would tell (a name taken, a folder not writable), a look at
// the target and the permission the act needs. `bucketsWillBeMade`: a
// bucket that is not there yet counts as made, where the destination lets
// the run make it.
FileOutcome PreviewFile(RunFolderHandles& folders, int sourceDir, const char* name, char bucket, TransferMode mode,
                        bool bucketsWillBeMade, const LengthFn& length);

} // namespace quillbox::posix
