// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

namespace quillbox::posix {

// The named temporary files of this program, ".quillbox-PID-N", found
// directly in the bucket folders of `destination` (which ends in '/'), as
// "A/.quillbox-PID-N", in the order of the buckets. Such a file is a copy an
// earlier run did not finish (it was killed, or lost its connection to a
// share): its original was not touched. With `together`, the bucket folders
// are read all at once, as each read is a few round trips on a share.
std::vector<std::string> FindLeftTemporaries(const std::string& destination, bool together);

// Whether `name` is such a temporary's name.
bool IsLeftTemporaryName(const char* name);

} // namespace quillbox::posix
