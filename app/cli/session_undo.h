// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/jobs/run_request.h"
#include "platform/real_ports.h"

namespace quillbox::app {

// --undo --session: takes back every run of the watch begun last (all its
// batches), the newest first, each reported as --undo reports one. The
// status is --undo's: 0 when every run is taken back, 1 when something of
// one stays, 2 when there is nothing to take back; a stop ends it at once.
int UndoSession(RealPorts& real, const RunRequest& request);

} // namespace quillbox::app
