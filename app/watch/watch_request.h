// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/jobs/run_request.h"

namespace quillbox::app {

// What --watch is asked to do, from the command line or a watch file: its
// mode, folders, settle time, ignored names and detail; destinationMade
// when the destination was made for the watch (create-dirs), so that its
// first batch's journal records it.
using WatchRequest = RunRequest;

} // namespace quillbox::app
