// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "core/ports/run_counters.h"

namespace quillbox {

// The texts the statistics labels show.

// "1234 files found..": the counting pass, plain digits.
std::string CountLineText(const RunFigures& figures);

// "1,234 of 5,678": files processed of files found, grouped; zero prints
// as nothing, so a run whose files all vanished shows " of 3".
std::string FileProgressText(const RunFigures& figures, std::string_view thousandsSeparator);

// "5,000,000 bytes (5 MB)": bytes handled so far, and whole megabytes of
// 1,048,576 bytes (nothing below half a megabyte: "100,000 bytes ( MB)").
std::string BytesText(const RunFigures& figures, std::string_view thousandsSeparator);

} // namespace quillbox
