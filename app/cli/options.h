// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/jobs/run_request.h"

namespace quillbox::app {

// The usage lines, and the rest of --help after them.
extern const char kUsage[];
extern const char kHelp[];

// What the arguments ask for: a run, as a request, or the help or the
// version.
struct Options {
    RunRequest request;
    bool help = false;
    bool version = false;
    // --watch-config NAME: the watch file that fills the rest of the request.
    bool watchConfigGiven = false;
    std::string watchConfig;
    // --settle SECONDS as written, read as the watch starts.
    bool settleGiven = false;
    std::string settle;
};

// Parses the arguments as GNU tools do, as bytes, into `options`: a
// folder's name reaches the request exactly as it was given (made absolute
// later, once it proved to be a folder). False, with `error` in words, when
// the arguments do not make a command.
bool ParseOptions(int argc, char* argv[], Options& options, std::string& error);

} // namespace quillbox::app
