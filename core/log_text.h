#pragma once

#include <string>
#include <string_view>

namespace quillbox {

// A log row as a saved log file holds it: valid UTF-8 as it is, a byte that
// is not part of valid UTF-8 (a file name in another encoding) as "\xHH",
// and a backslash as "\\", so that the two can always be told apart.
std::string LogLineForSaving(std::string_view row);

} // namespace quillbox
