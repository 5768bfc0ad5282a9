// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace quillbox {

// The bucket a file goes to: 'A'..'Z' when the upper-cased first character
// of its name is one of the 26 unaccented Latin capitals, '#' otherwise.
// The first character is decoded as UTF-8 and upper-cased with the Unicode
// simple case mapping, whatever the user's locale; a name that does not
// start with a valid UTF-8 character goes to '#'.
char BucketLetter(std::string_view name);

// Makes a folder path end in the separator, as the run needs it.
std::string WithTrailingSeparator(std::string path);

inline constexpr char kPathSeparator = '/';

} // namespace quillbox
