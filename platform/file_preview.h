#pragma once

#include <array>
#include <string>
#include <unordered_set>

#include "core/file_system.h"
#include "platform/folder_handles.h"

namespace quillbox::posix {

// What a preview learns once per folder rather than once per file: whether
// the process may write there, and which names a bucket folder holds.
struct PreviewState {
    struct Folder {
        int access = -1; // unknown; else 0 or the errno of the check
        bool willBeMade = false; // not there, and the run would make it
        bool listed = false;
        bool unlistable = false; // cannot be read: each name is looked up
        std::unordered_set<std::string> names;
    };
    std::array<Folder, 256> buckets;
    int sourceAccess = -1;
    int destinationAccess = -1;
};

// What a copy or move of the file `name` would come to, found by the same
// looks a copy or move takes first, without changing anything: the same
// folder handles, the same opening of the source, and for what only the
// act itself would tell (a name taken, a folder not writable), a look at
// the target and the permission the act needs. `bucketsWillBeMade`: a
// bucket that is not there yet counts as made, where the destination lets
// the run make it.
FileOutcome PreviewFile(PreviewState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                        TransferMode mode, bool bucketsWillBeMade, const LengthFn& length);

} // namespace quillbox::posix
