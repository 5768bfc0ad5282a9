// SPDX-License-Identifier: GPL-3.0-or-later
// The separators the command line writes times and numbers with, read from
// the C library's locale.

#include <gtest/gtest.h>

#include "platform/locale_facts.h"

namespace quillbox::test {
namespace {

TEST(PosixLocale, TimeSeparatorIsWhatStandsBetweenHourAndMinute)
{
    const struct {
        const char* format;
        const char* separator;
    } cases[] = {
        {"%H:%M:%S", ":"}, {"%H.%M.%S", "."}, {"%I:%M:%S %p", ":"},
        {"%Hh%M", "h"},    {"%T", ""}, // no hour field to look at
        {"%H%M", ""},                  // nothing between them
        {"%H%n%M", ""},                // a field, not a separator
        {"%M:%H", ""},                 // the minute first
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(TimeSeparatorOfFormat(c.format), c.separator);
    }
}

// The tests run in C.UTF-8, which groups no digits: the default comma stays,
// as the window's toolkit gives for that locale.
TEST(PosixLocale, LocaleWithoutGroupingKeepsTheDefaultSeparators)
{
    const LocaleFacts facts = PosixLocaleFacts();
    EXPECT_EQ(facts.thousandsSeparator, ",");
    EXPECT_EQ(facts.timeSeparator, ":");
}

} // namespace
} // namespace quillbox::test
