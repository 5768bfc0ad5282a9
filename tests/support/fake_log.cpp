// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/fake_log.h"

#include <cctype>

namespace quillbox::test {

std::string WithoutLogTime(std::string_view line)
{
    std::size_t at = 0;
    const auto digits = [&] {
        const bool two = at + 2 <= line.size() && std::isdigit(static_cast<unsigned char>(line[at])) &&
            std::isdigit(static_cast<unsigned char>(line[at + 1]));
        at += 2;
        return two;
    };
    const auto separator = [&] {
        const std::size_t start = at;
        while (at < line.size() && !std::isdigit(static_cast<unsigned char>(line[at])) && line[at] != ' ')
            ++at;
        return at > start;
    };
    constexpr std::string_view kDash = " - ";
    if (digits() && separator() && digits() && separator() && digits() && line.substr(at, kDash.size()) == kDash)
        return std::string(line.substr(at + kDash.size()));
    return std::string(line);
}

std::vector<std::string> FakeLogHost::messages() const
{
    std::vector<std::string> out;
    out.reserve(rows.size());
    for (const LogRow& row : rows)
        out.push_back(WithoutLogTime(row.text));
    return out;
}

} // namespace quillbox::test
