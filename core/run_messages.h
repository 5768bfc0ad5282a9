#pragma once

#include <string>

#include "core/file_system.h"

namespace quillbox {

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
