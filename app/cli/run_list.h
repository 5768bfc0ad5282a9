// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/jobs/run_request.h"
#include "platform/real_ports.h"

namespace quillbox::app {

// --list-runs: the runs, newest first and numbered from 1, as --undo takes
// them.
int ListRuns(RealPorts& real);

// --undo: takes back the run `request.run` names by its number in the list
// or its name ("" the newest), reporting like a run; returns undo's exit
// status.
int UndoRun(RealPorts& real, const RunRequest& request);

} // namespace quillbox::app
