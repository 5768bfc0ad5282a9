// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "core/ports/file_system.h"

namespace quillbox {

// What a run is asked to do, fixed when it starts.
struct RunSettings {
    std::string source;
    std::string destination;
    bool createFolders = false;
    // When not empty, the run takes only the files of these names (bare,
    // raw bytes) and leaves every other file of the source alone.
    std::vector<std::string> only {};
    // The destination was made for this run just before it (--create-dirs):
    // the journal records it, so that an undo removes it once empty again.
    bool destinationMade = false;
};

// What may change while a run goes on: Stop is honoured before the next
// file (a copy in progress is abandoned at its next chunk and the file
// logged as not copied), the mode applies from the next file on.
struct RunControls {
    std::atomic<bool> stop {false};
    std::atomic<TransferMode> mode {TransferMode::Copy};
};

} // namespace quillbox
