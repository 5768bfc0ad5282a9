// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace quillbox {

// The user's regional settings the program writes numbers and times with.
// The window reads them from its toolkit, the command line from the C
// library; both give this.
struct LocaleFacts {
    std::string timeSeparator = ":";
    std::string thousandsSeparator = ",";
};

} // namespace quillbox
