// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/jobs/run_request.h"

namespace quillbox::app {

// Why `path` cannot serve as the folder named `role`, or "".
std::string FolderProblem(const std::string& path, const char* role, bool mustRead);

// Why `path` cannot serve as the destination, or "". A destination that is
// not there is made with --create-dirs (`createDirs`) in its parent, which
// must be there, as mkdir without -p would; `made` tells so. A dry run makes
// nothing: `made` tells that the run would make it. `option` is what asks
// for it where the request comes from.
std::string DestinationProblem(const std::string& path, bool createDirs, bool dryRun, bool& made,
                               const std::string& option = "--create-dirs");

// The request's folders, absolute, so that its run's journal can be taken
// back from anywhere and the run says where the files went.
void MakeAbsolute(RunRequest& request);

} // namespace quillbox::app
