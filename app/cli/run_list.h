// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "app/cli/detailed_report.h"
#include "platform/journal_files.h"

namespace quillbox::app {

// --list-runs: the runs, newest first and numbered from 1, as --undo takes
// them.
int ListRuns(JournalFolder& journals);

// --undo: takes back the run named by its number in the list or its name
// ("" the newest), reporting like a run; returns undo's exit status.
int UndoRun(JournalFolder& journals, const std::string& named, Detail detail);

} // namespace quillbox::app
