// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>

#include "app/watch/watch_request.h"

namespace quillbox {
class RealPorts;
}

namespace quillbox::app {

struct Options;

// Reads a settle time in seconds, "2", "0.2" or "1.25" (at most a day, to
// the nanosecond), whatever the locale. False when it is none.
bool ParseSettle(const std::string& text, std::chrono::nanoseconds& settle);

// Where the watch file NAME is: $XDG_CONFIG_HOME/quillbox/watch/NAME.conf,
// by default under ~/.config.
std::string WatchFilePath(const std::string& name);

// Reads the watch file NAME into `request`: lines "KEY = VALUE" with the
// keys mode (copy or move), source, destination, create-dirs (yes or no),
// settle (seconds) and ignore (a pattern; one line each); "#" begins a
// comment line, and a value beginning with "~/" is taken under $HOME.
// Nothing in it is run. False with the reason when it cannot be used.
bool ReadWatchFile(const std::string& name, WatchRequest& request, std::string& error);

// Sorts what is in the source now, then each file that arrives there once
// it has settled, one run per batch of files, until a stop signal (status
// 128 + the signal), standard output failing (3), or the source folder
// going away (1). The folders are checked and absolute already.
int RunWatch(const WatchRequest& request, RealPorts& real);

// --watch, from the command line or from a watch file: the request read
// and its folders checked and made absolute, then RunWatch; 2 where the
// request cannot be used.
int WatchCommand(const Options& options, RealPorts& real);

} // namespace quillbox::app
