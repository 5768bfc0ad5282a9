// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>

namespace quillbox::app {

// From now on the first SIGINT, SIGTERM or SIGHUP sets `stop`, so that the
// run ends between two files through its usual ending; any further one
// changes nothing. `stop` must outlive the program's run.
void StopOnSignals(std::atomic<bool>& stop);

// The signal that asked the run to stop, or 0.
int StopSignal();

} // namespace quillbox::app
