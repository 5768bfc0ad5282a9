// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A run over real temporary folders with its journal, and the undo of it;
// shared by the undo tests.

#include <string>

#include "core/jobs/undo_job.h"
#include "platform/journal_files.h"
#include "tests/core/run_world.h"

namespace quillbox::test {

struct UndoWorld : RunWorld {
    TempDir state;
    JournalFolder journals {state / "runs"};
    SieveJob journaled {fs, clock, observer, &journals};
    UndoJob undo {fs, journals, clock, observer};

    RunEnd SieveWithJournal()
    {
        controls.mode.store(move ? TransferMode::Move : TransferMode::Copy);
        ++runs;
        return journaled.run(RunSettings {sourcePath, destinationPath, createDirs}, controls);
    }
    UndoEnd Undo(const std::string& id = {})
    {
        ++runs;
        return undo.run(id, controls);
    }
    std::string Summary() const { return LastMessages(2)[0]; }
    // `count` files named `prefix`0, `prefix`1..., moved by a journaled run.
    void MoveFiles(int count, const std::string& prefix)
    {
        for (int i = 0; i < count; ++i)
            source.write(prefix + std::to_string(i), "x");
        move = true;
        SieveWithJournal();
    }
};

inline std::string Summary(int putBack, int removed, int left)
{
    return "Undo complete. " + std::to_string(putBack) + " file(s) put back, " + std::to_string(removed) +
        " copies removed, " + std::to_string(left) + " left as they were.";
}

} // namespace quillbox::test
