// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace quillbox::test {

// How many of this process's descriptors refer to `folder` or to anything
// beneath it.
int OpenDescriptorsUnder(const std::string& folder);

} // namespace quillbox::test
