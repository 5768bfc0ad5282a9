// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/log/number_format.h"

#include <cmath>

namespace quillbox {

namespace {

// Digits of a whole, non-negative double, most significant first. Works on
// the double itself so values past 2^64 still print in full.
std::string WholeDigits(double whole)
{
    if (!(whole >= 1.0))
        return "0";
    if (whole < 18446744073709551616.0) { // below 2^64: exact integer digits
        auto n = static_cast<unsigned long long>(whole);
        std::string reversed;
        while (n != 0) {
            reversed.push_back(static_cast<char>('0' + n % 10));
            n /= 10;
        }
        return {reversed.rbegin(), reversed.rend()};
    }
    std::string reversed;
    while (whole >= 1.0) {
        const double rest = std::floor(whole / 10.0);
        const int digit = static_cast<int>(whole - rest * 10.0);
        reversed.push_back(static_cast<char>('0' + (digit < 0 ? 0 : digit > 9 ? 9 : digit)));
        whole = rest;
    }
    return {reversed.rbegin(), reversed.rend()};
}

std::string Grouped(const std::string& digits, std::string_view separator)
{
    std::string out;
    out.reserve(digits.size() + digits.size() / 3 * separator.size());
    const std::size_t lead = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (i - lead) % 3 == 0 && i >= lead)
            out.append(separator);
        out.push_back(digits[i]);
    }
    return out;
}

std::string FormatPattern(double value, std::string_view separator, bool zeroDigit)
{
    if (std::isnan(value))
        return zeroDigit ? "0" : "";
    const double rounded = std::round(value); // halves away from zero
    const bool negative = rounded < 0;
    const double magnitude = std::fabs(rounded);
    if (magnitude == 0.0)
        return zeroDigit ? "0" : "";
    if (std::isinf(magnitude))
        return negative ? "-inf" : "inf";
    std::string text = Grouped(WholeDigits(magnitude), separator);
    if (negative)
        text.insert(text.begin(), '-');
    return text;
}

} // namespace

std::string CounterText(double value)
{
    if (std::isnan(value))
        return "0";
    const double whole = std::trunc(value);
    if (std::isinf(whole))
        return whole < 0 ? "-inf" : "inf";
    if (whole >= 0)
        return WholeDigits(whole);
    std::string text = WholeDigits(-whole);
    text.insert(text.begin(), '-');
    return text;
}

std::string FormatGrouped(double value, std::string_view separator)
{
    return FormatPattern(value, separator, false);
}

std::string FormatGroupedZero(double value, std::string_view separator)
{
    return FormatPattern(value, separator, true);
}

} // namespace quillbox
