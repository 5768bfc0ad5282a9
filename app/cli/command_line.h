// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quillbox::app {

// Runs the command line to its end and returns the exit status: 0 every
// file handled, 1 the run ended but some files failed, 2 bad usage or a
// folder that cannot be read, 130 stopped by Ctrl-C. No window and no
// display are needed.
int RunCommandLine(int argc, char* argv[]);

} // namespace quillbox::app
