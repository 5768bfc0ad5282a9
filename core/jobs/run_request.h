// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "core/jobs/sieve_job.h"
#include "core/ports/file_system.h"

namespace quillbox {

// What a front door asks for.
enum class RunKind {
    Sort,     // sort the source's files into the destination's buckets
    Preview,  // tell what a sort would do, changing nothing
    Undo,     // take back a run
    ListRuns, // the runs that can be taken back
    Watch,    // sort what arrives in the source until stopped, a batch at a time
};

// How much of a run a front door tells.
enum class Detail {
    Quiet,   // only what went wrong: failed files, the run's errors and warnings
    Normal,  // every log entry
    Verbose, // and, for each file placed, where it went
};

// A run as a front door (the command line, a watch, the window) asks for
// it, filled once and handed over whole. The folders are given as typed
// until MakeFoldersAbsolute(), after which both are absolute and end in
// the separator, the one form the rest of the program takes them in.
struct RunRequest {
    RunKind kind = RunKind::Sort;
    std::string source;
    std::string destination;
    TransferMode mode = TransferMode::Copy;
    bool modeGiven = false; // a watch file named the mode
    // Make the bucket folders first, and the destination where it is missing.
    bool createDirs = false;
    // The destination was made for this request just before it: the run's
    // journal records it, so that an undo removes it once empty again.
    bool destinationMade = false;
    // A watch: the destination is not there yet and create-dirs asks for
    // it. The first batch makes it, and its journal records it, so that
    // undoing every batch removes it again.
    bool destinationToMake = false;
    // When not empty, the sort takes only the files of these names (bare,
    // raw bytes): a watch's batch.
    std::vector<std::string> only;
    // Undo: the run's number in the list or its name; "" the newest.
    std::string run;
    // Undo: every run of the watch begun last.
    bool session = false;
    Detail detail = Detail::Normal;
    // Watch: how long a file must be left alone, and the names never taken.
    std::chrono::nanoseconds settle = std::chrono::seconds(2);
    std::vector<std::string> ignores;
};

// `folder` as a request holds it: absolute, a relative one taken inside
// `workingFolder` (where that is "" it stays relative), and ending in the
// separator. The one place a folder's path gets its trailing separator.
std::string RequestFolder(std::string folder, const std::string& workingFolder);

// Both folders of `request` as RequestFolder() makes them.
void MakeFoldersAbsolute(RunRequest& request, const std::string& workingFolder);

// What the sort job is handed for `request`.
RunSettings SettingsOf(const RunRequest& request);

} // namespace quillbox
