// SPDX-License-Identifier: GPL-3.0-or-later
// The progress line of a run on a terminal, timed by the clock the report is
// given: the rate and the time left follow that clock, not the machine's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "app/cli/console_report.h"
#include "tests/support/fake_log.h"

namespace quillbox::test {
namespace {

using namespace std::chrono_literals;

std::string Contents(std::FILE* file)
{
    std::string text;
    char chunk[4096];
    off_t at = 0;
    for (ssize_t got; (got = ::pread(::fileno(file), chunk, sizeof chunk, at)) > 0; at += got)
        text.append(chunk, static_cast<std::size_t>(got));
    return text;
}

// Waits, within a bound, for the progress line to have shown `text`.
bool Shows(std::FILE* progress, const std::string& text)
{
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (Contents(progress).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(ConsoleReport, ProgressLineIsTimedByItsClock)
{
    FakeClock clock;
    std::FILE* out = std::tmpfile();
    std::FILE* progress = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(progress, nullptr);
    RunCounters counters;
    counters.addFound(50);
    for (int i = 0; i < 20; ++i)
        counters.addProcessed();
    {
        app::ConsoleReport report(out, progress, ":", clock);
        report.watch(counters);
        clock.advance(1h); // before the processing pass: not counted
        report.phaseChanged(RunPhase::Processing, {});
        clock.advance(10s);
        EXPECT_TRUE(Shows(progress, "20 of 50 files, 0 bytes, 2 files/s, 0:15 left")) << Contents(progress);
        // 100 s in at the same pace, with 7,200 files to go.
        for (int i = 0; i < 180; ++i)
            counters.addProcessed();
        counters.addFound(7350);
        clock.advance(90s);
        EXPECT_TRUE(Shows(progress, "200 of 7,400 files, 0 bytes, 2 files/s, 1:00:00 left")) << Contents(progress);
    }
    std::fclose(out);
    std::fclose(progress);
}

// Standard output that fails (a full disk, here /dev/full) loses whole
// buffers of lines: the run's warnings and errors, and only those, reach
// standard error at its end, whichever of them were lost; the stop the
// failed output caused is not repeated.
TEST(ConsoleReport, WarningsAndErrorsReachStandardErrorWhenStandardOutputFails)
{
    FakeClock clock;
    std::FILE* out = std::fopen("/dev/full", "w");
    std::FILE* errors = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(errors, nullptr);
    {
        app::ConsoleReport report(out, nullptr, ":", clock, errors);
        report.entryLogged({LogIcon::Information, {12, 0, 1}, "Found 3 file(s) for processing."});
        report.entryLogged({LogIcon::Critical, {12, 0, 2}, "The journal of this run could not be written."});
        report.entryLogged({LogIcon::Exclamation, {12, 0, 3}, "Could not copy file a."});
        // The failed output stopped the run: that is no news.
        report.entryLogged({LogIcon::Exclamation, {12, 0, 4}, "Processing aborted by user."});
        report.ended(RunEnd::StoppedWhileProcessing, {});
    }
    EXPECT_EQ(Contents(errors),
              "12:00:02 - The journal of this run could not be written.\n"
              "12:00:03 - Could not copy file a.\n");
    std::fclose(out);

    // Where standard output took every line, nothing is repeated.
    std::FILE* good = std::tmpfile();
    std::FILE* quiet = std::tmpfile();
    {
        app::ConsoleReport report(good, nullptr, ":", clock, quiet);
        report.entryLogged({LogIcon::Critical, {12, 0, 2}, "The journal of this run could not be written."});
        report.ended(RunEnd::Completed, {});
    }
    EXPECT_EQ(Contents(quiet), "");
    std::fclose(good);
    std::fclose(quiet);
    std::fclose(errors);
}

} // namespace
} // namespace quillbox::test
