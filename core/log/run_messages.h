// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "core/ports/file_system.h"

namespace quillbox {

// The fixed texts of the jobs' logs.
inline constexpr std::string_view kSievingTitle = " -- SIEVING ----";
inline constexpr std::string_view kUndoTitle = " -- UNDO ----";
inline constexpr std::string_view kCleaningUp = "Cleaning up complete.";
inline constexpr std::string_view kCountingStopped = "File count processing aborted by user.";
inline constexpr std::string_view kProcessingStopped = "Processing aborted by user.";
inline constexpr std::string_view kUndoStopped = "Undo aborted by user.";
inline constexpr std::string_view kNoFilesFound = "No files found in the selected directory. Aborting.";
inline constexpr std::string_view kCreatingBuckets = "Creating directories #-Z ..";
inline constexpr std::string_view kNoRunToTakeBack = "No run to take back.";

// A folder of a run that cannot be named from anywhere: the run is refused.
std::string NotFullPathMessage(const std::string& folder, const std::string& reason);
// A journal that could not be written: said once, the run goes on.
std::string JournalNotWrittenMessage(const std::string& reason);
// A folder of the run that could not be looked at as the run began: an
// undo could not tell it is the same folder. Said before any file moves.
std::string FolderNotLookedAtMessage(const std::string& folder, const std::string& reason);
// A file placed that could not be looked at once it had its place: an undo
// could not tell it is the file the run placed.
std::string PlacedNotLookedAtMessage(const std::string& name);
// A folder the run made that could not be looked at: an undo could not tell
// it is the folder the run made, and leaves it.
std::string MadeFolderNotLookedAtMessage(const std::string& folder, const std::string& reason);
// A temporary file of this program an earlier run left in a bucket folder.
std::string LeftTemporaryMessage(const std::string& path);
// Extended attributes some files went without: said once per run.
std::string AttributesNotKeptMessage(const std::string& reason);

// "Error while sieving: [2] - No such file or directory.": a failure of the
// run itself (a folder that could not be read, a file that could not be
// looked at).
std::string ErrorWhileSieving(const FsStatus& status);

// The log entry of a file that failed: the run's error for a file that
// could not be looked at, "Could not copy/move file NAME. REASON." for one
// whose copy or move failed. The name stays the bytes it is.
std::string FailureMessage(const std::string& name, const FileOutcome& outcome);
void AppendFailureMessage(std::string& out, const std::string& name, const FileOutcome& outcome);

} // namespace quillbox
