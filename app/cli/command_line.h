// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quillbox {
class RealPorts;
}

namespace quillbox::app {

struct Options;

// What runs --watch (from the command line or a watch file) and returns
// its exit status: the watch's own command, which the program hands over,
// so that the command line's folder needs nothing of the watch's.
using WatchEntry = int (*)(const Options& options, RealPorts& real);

// Runs the command line to its end and returns the exit status: 0 every
// file handled, 1 the run ended but some files failed, 2 bad usage or a
// folder that cannot be read, 130 stopped by Ctrl-C. No window and no
// display are needed.
int RunCommandLine(int argc, char* argv[], WatchEntry watch);

} // namespace quillbox::app
