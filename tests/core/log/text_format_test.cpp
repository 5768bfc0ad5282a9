// SPDX-License-Identifier: GPL-3.0-or-later
// The pure functions behind the log rows, the bucket folders and the
// statistics labels, as tables of inputs and the exact texts they give.

#include <gtest/gtest.h>

#include <cmath>

#include "core/bucket.h"
#include "core/log/log_entry.h"
#include "core/log/log_text.h"
#include "core/log/number_format.h"
#include "core/log/statistics_text.h"
#include "tests/support/fake_log.h"

namespace quillbox::test {
namespace {

// Every text the program writes goes through one escape: the log window,
// the saved log, standard output and the progress line.
TEST(EscapedText, ControlCharactersInvalidUtf8AndBackslashesEscapedValidTextKept)
{
    struct Case {
        std::string text;
        std::string expected;
        const char* why;
    };
    const Case cases[] = {
        {"plain caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x81", "plain caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x81",
         "valid UTF-8 as it is"},
        {"", "", "empty"},
        {"a\\b", "a\\\\b", "a backslash doubled"},
        {"\\xFF", "\\\\xFF", "a name that reads like an escape stays apart"},
        {"\xff\xfe", "\\xFF\\xFE", "not UTF-8"},
        {"\xc3", "\\xC3", "cut short"},
        {"\xc3(", "\\xC3(", "cut short by the next character"},
        {"\xc0\xaf", "\\xC0\\xAF", "overlong"},
        {"\xed\xa0\x80", "\\xED\\xA0\\x80", "a surrogate"},
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", "past U+10FFFF"},
        {"x\n19:00:00 - Operation complete. 99 file(s) processed.",
         "x\\n19:00:00 - Operation complete. 99 file(s) processed.", "a forged entry stays on its line"},
        {"a\rb\tc", "a\\rb\\tc", "carriage return and tab"},
        {std::string("nul\0x", 5), "nul\\x00x", "a NUL byte"},
        {"\x01\x1b[2J\x1f", "\\x01\\x1B[2J\\x1F", "terminal control sequences"},
        {"del\x7f", "del\\x7F", "DEL"},
        {" ~", " ~", "the printable ASCII edges"},
        {"\xc2\xa0no-break", "\xc2\xa0no-break", "characters past 0x7F stay"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EscapeText(c.text), c.expected) << c.why;
}

TEST(LogEntryText, TimeFieldsSeparatorAndMessageKeptAsGiven)
{
    struct Case {
        TimeOfDay time;
        std::string separator;
        std::string message;
        std::string expected;
    };
    const Case cases[] = {
        {{14, 5, 9}, ":", "Cleaning up complete.", "14:05:09 - Cleaning up complete."},
        {{0, 0, 0}, ":", "midnight", "00:00:00 - midnight"},
        {{0, 7, 3}, ":", "x", "00:07:03 - x"},
        {{23, 59, 59}, ".", "x", "23.59.59 - x"},
        {{9, 8, 7}, "\u202F", "x", "09\u202F08\u202F07 - x"},
        // A leading space is kept: two spaces after the hyphen.
        {{12, 0, 0}, ":", " -- SIEVING ----", "12:00:00 -  -- SIEVING ----"},
        {{12, 0, 0}, ":", "trailing  ", "12:00:00 - trailing  "},
        {{12, 0, 0}, ":", "bad \xff name\n", "12:00:00 - bad \xff name\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatLogEntry(c.time, c.separator, c.message), c.expected) << c.message;
}

// A clock that moves on one second each time it is read.
class SteppingClock final : public Clock {
public:
    int reads = 0;
    TimeOfDay now() override { return {10, 0, reads++}; }
    Instant monotonic() override { return {}; }
    std::int64_t wallSeconds() override { return 0; }
};

TEST(EventLogRows, FirstCallLoadsTheWindowWhoseStartupEntryComesFirst)
{
    struct Case {
        LogIcon icon;
        std::string message;
        std::vector<LogRow> expected;
    };
    const Case cases[] = {
        // The requested entry's time is read before the window is loaded.
        {LogIcon::Exclamation,
         "first",
         {{"10:00:01 - Quillbox loaded and running.", LogIcon::Information},
          {"10:00:00 - first", LogIcon::Exclamation}}},
        // A blank row has no time and no icon, whatever the icon asked.
        {LogIcon::Information,
         "",
         {{"10:00:00 - Quillbox loaded and running.", LogIcon::Information}, {"", LogIcon::None}}},
        {LogIcon::None,
         " ",
         {{"10:00:01 - Quillbox loaded and running.", LogIcon::Information}, {"10:00:00 -  ", LogIcon::None}}},
    };
    for (const Case& c : cases) {
        FakeLogHost host;
        SteppingClock clock;
        LocaleFacts locale;
        EventLog log(host, clock, locale);
        log.AddLogEntry(c.icon, c.message);
        log.AddLogEntry(LogIcon::None, "");
        ASSERT_EQ(host.rows.size(), c.expected.size() + 1) << c.message;
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(host.rows[i].text, c.expected[i].text) << c.message;
            EXPECT_EQ(host.rows[i].icon, c.expected[i].icon) << c.message;
        }
        EXPECT_EQ(host.loads, 1);
        EXPECT_EQ(host.shows, 0) << "appending never shows the window";
    }
}

TEST(BucketLetter, FirstCharacterUpperCasedIntoAToZOrHash)
{
    struct Case {
        std::string name;
        char expected;
    };
    const Case cases[] = {
        {"apple.txt", 'A'},
        {"Zebra.doc", 'Z'},
        {"zz", 'Z'},
        {"1st.txt", '#'},
        {"_notes", '#'},
        {" lead.txt", '#'},
        {".hidden", '#'},
        {"-rf", '#'},
        {"@x", '#'},                    // 64, just below 'A'
        {"[x", '#'},                    // 91, just above 'Z'
        {"`x", '#'},                    // 96, just below 'a'
        {"{x", '#'},                    // 123, just above 'z'
        {"\xC3\xA9t\xC3\xA9.txt", '#'}, // "été": É is not A..Z
        {"\xC4\xB1spanak", 'I'},        // dotless i, whatever the locale
        {"istanbul.txt", 'I'},
        {"\xC5\xBFx", 'S'},     // long s
        {"\xEF\xBD\x81", '#'},  // fullwidth a
        {"\xE2\x84\xAA", '#'},  // Kelvin sign is already upper case
        {"\xFF\xFE.bin", '#'},  // not UTF-8
        {"\xC3", '#'},          // truncated sequence
        {"\xC1\x81", '#'},      // overlong 'A'
        {"\xED\xA0\x80x", '#'}, // surrogate
        {"\x80x", '#'},         // stray continuation byte
        {"", '#'},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BucketLetter(c.name), c.expected) << c.name;
}

TEST(FolderPath, GetsExactlyOneTrailingSeparator)
{
    EXPECT_EQ(WithTrailingSeparator("/data"), "/data/");
    EXPECT_EQ(WithTrailingSeparator("/data/"), "/data/");
    EXPECT_EQ(WithTrailingSeparator(""), "/");
}

TEST(GroupedNumber, RoundsHalfAwayFromZeroGroupsByThreeAndBlanksZero)
{
    struct Case {
        double value;
        std::string separator;
        std::string grouped;     // "###,###,###,###" and "###,###,###,###,###"
        std::string groupedZero; // "###,###,###,###,##0"
    };
    const Case cases[] = {
        {0, ",", "", "0"},
        {0.4999990463256836, ",", "", "0"},
        {0.5, ",", "1", "1"},
        {2.5, ",", "3", "3"},
        {999, ",", "999", "999"},
        {999.5, ",", "1,000", "1,000"},
        {1000, ",", "1,000", "1,000"},
        {1234567, ",", "1,234,567", "1,234,567"},
        {1234567, ".", "1.234.567", "1.234.567"},
        {1234567, "\u202F", "1\u202F234\u202F567", "1\u202F234\u202F567"},
        {1234567, "", "1234567", "1234567"},
        {100000, ",", "100,000", "100,000"},
        // More digits than the pattern has places still print in full.
        {1234567890123456789.0, ",", "1,234,567,890,123,456,768", "1,234,567,890,123,456,768"},
        {9007199254740992.0, ",", "9,007,199,254,740,992", "9,007,199,254,740,992"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatGrouped(c.value, c.separator), c.grouped) << c.value;
        EXPECT_EQ(FormatGroupedZero(c.value, c.separator), c.groupedZero) << c.value;
    }
}

TEST(CounterText, PlainDigitsExactUpTo2To53)
{
    struct Case {
        double value;
        std::string expected;
    };
    const Case cases[] = {
        {0, "0"},
        {3, "3"},
        {1234, "1234"},
        {1234567, "1234567"},
        {1e15, "1000000000000000"},
        {1e20, "100000000000000000000"},
        {9007199254740991.0, "9007199254740991"},
        {9007199254740992.0, "9007199254740992"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CounterText(c.value), c.expected);
}

TEST(StatisticsText, LabelsFromCounters)
{
    struct Case {
        RunFigures counters; // FilesFound, FilesProcessed, BytesProcessed
        std::string progress;
        std::string bytes;
    };
    const Case cases[] = {
        {{1234, 3, 5000000}, "3 of 1,234", "5,000,000 bytes (5 MB)"},
        {{3, 0, 0}, " of 3", "0 bytes ( MB)"},
        {{4, 5, 100000}, "5 of 4", "100,000 bytes ( MB)"},
        {{1, 1, 524287}, "1 of 1", "524,287 bytes ( MB)"},
        {{1, 1, 524288}, "1 of 1", "524,288 bytes (1 MB)"},
        {{1, 1, 1234567890}, "1 of 1", "1,234,567,890 bytes (1,177 MB)"},
        {{1, 1, 3221225472.0}, "1 of 1", "3,221,225,472 bytes (3,072 MB)"},
        {{0, 0, 0}, " of ", "0 bytes ( MB)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileProgressText(c.counters, ","), c.progress);
        EXPECT_EQ(BytesText(c.counters, ","), c.bytes);
    }
    EXPECT_EQ(FileProgressText({1234567, 1234, 0}, "."), "1.234 of 1.234.567");
    EXPECT_EQ(CountLineText({1234, 0, 0}), "1234 files found..");
    EXPECT_EQ(CountLineText({0, 0, 0}), "0 files found..");
}

} // namespace
} // namespace quillbox::test
