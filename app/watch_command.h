// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "app/detailed_report.h"
#include "core/file_system.h"

namespace quillbox {
class JournalFolder;
}

namespace quillbox::app {

// What --watch is asked to do, from the command line or a watch file.
struct WatchRequest {
    TransferMode mode = TransferMode::Copy;
    bool modeGiven = false;
    bool createDirs = false;
    std::chrono::nanoseconds settle = std::chrono::seconds(2);
    std::vector<std::string> ignores;
    std::string source;
    std::string destination;
    Detail detail = Detail::Normal;
    // The destination is not there yet and create-dirs asks for it: the
    // first batch makes it, and its journal records it, so that undoing
    // every batch removes it again.
    bool destinationToMake = false;
};

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
int RunWatch(const WatchRequest& request, JournalFolder& journals);

} // namespace quillbox::app
