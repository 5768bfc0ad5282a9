// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace quillbox::app {

// quillbox is two programs: the command line, which loads no toolkit, and
// the window, a program of its own that the command line starts when the
// arguments ask for no command.

// Whether the arguments ask for the command line (any option) rather than
// the window (none, or folders only).
bool WantsCommandLine(int argc, char* argv[]);

// The environment variable in which the command line hands the window the
// folder that holds the program the user started; the window takes it out
// of its environment before anything else starts.
inline constexpr char kProgramFolderVariable[] = "QUILLBOX_PROGRAM_FOLDER";

// Where the window's program may be, for the program at `self`: as
// installed (`fromBin`, relative to the folder of `self`), then beside it,
// as in a build folder.
std::string InstalledWindowProgram(const std::string& self, const std::string& fromBin);
std::string BuiltWindowProgram(const std::string& self);

// Replaces this program with the window's, with the same arguments. Where
// it cannot, one line says why on standard error and 2 is returned.
int StartWindow(char* argv[]);

} // namespace quillbox::app
