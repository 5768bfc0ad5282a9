// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace quillbox {

// A counter as plain decimal digits: no grouping, no decimal point, no
// exponent ("1234567"). Exact for every whole number up to 2^53.
std::string CounterText(double value);

// The grouped patterns "###,###,###,###" and "###,###,###,###,###": the value
// rounded to a whole number (halves away from zero), grouped by three with
// `separator`; zero prints as "".
std::string FormatGrouped(double value, std::string_view separator);

// The pattern "###,###,###,###,##0": as FormatGrouped, but zero prints "0".
std::string FormatGroupedZero(double value, std::string_view separator);

} // namespace quillbox
