// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

#include "app/cli/detailed_report.h"

namespace quillbox::app {

// The usage lines, and the rest of --help after them.
extern const char kUsage[];
extern const char kHelp[];

// What the arguments ask for.
struct Options {
    bool copy = false;
    bool move = false;
    bool createDirs = false;
    bool dryRun = false;
    bool help = false;
    bool version = false;
    bool listRuns = false;
    bool undo = false;
    bool session = false; // --undo --session: every run of the last watch
    Detail detail = Detail::Normal;
    bool quiet = false;
    bool verbose = false;
    std::string run; // which run to take back: its number, its name, or "" the newest
    std::vector<std::string> folders;
    bool watch = false;
    bool watchConfigGiven = false;
    std::string watchConfig; // the watch file's NAME, with --watch-config
    bool settleGiven = false;
    std::string settle;
    std::vector<std::string> ignores;
};

// Parses the arguments as GNU tools do, as bytes: a folder's name reaches
// the run exactly as it was given. False, with `error` in words, when the
// arguments do not make a command.
bool ParseOptions(int argc, char* argv[], Options& options, std::string& error);

} // namespace quillbox::app
