#pragma once

#include <string>

#include "core/file_system.h"
#include "platform/file_copy.h"

namespace quillbox::posix {

// Takes back one file a run placed (see FileSystem::takeBack).
TakeBackOutcome TakeBackFile(CopyState& state, TransferMode mode, const std::string& source, const std::string& target,
                             const FileIdentity& placed);

} // namespace quillbox::posix
