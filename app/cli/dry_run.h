// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <string>

#include "core/jobs/runner.h"

namespace quillbox::app {

// The bucket folders of `destination` (ending in '/') that files go to, by
// bucket: 'A'..'Z' at 0..25, '#' at 26.
using TakenUp = std::array<bool, 27>;

// Without --create-dirs, files whose bucket folder is missing fail one by
// one; one line afterwards says which of the folders `takenUp` names are
// missing and what makes them.
void PrintMissingBuckets(const std::string& destination, const TakenUp& takenUp);

// A dry run of `request` (its folders absolute): per bucket the files and
// bytes that would arrive, every file that would fail as the run would log
// it, and a summary; only the failures when quiet; with destinationMade,
// that the run would make the destination. Stops between two files on a
// signal. Returns the status the run would end with.
int DryRun(const RunPorts& ports, const RunRequest& request);

} // namespace quillbox::app
