// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/jobs/run_observer.h"
#include "core/ports/run_counters.h"

namespace quillbox::app {

// The command line's exit statuses, besides kExitWriteError (3) and a
// signal's 128 + N.
inline constexpr int kExitDone = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// The status of a run that stopped before its end: the signal's, or the
// write error's when standard output failed.
int StoppedStatus();

// The status of a run that ended `end`, with `last` its final figures.
int ExitStatus(RunEnd end, const RunFigures& last);

// A problem with how the program was called: says so on standard error,
// with a pointer to --help, and returns kExitUsage.
int UsageError(const std::string& message);

// Any other reason not to start, such as a folder that is not there.
int Refuse(const std::string& message);

} // namespace quillbox::app
