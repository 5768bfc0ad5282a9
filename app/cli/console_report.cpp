// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/console_report.h"

#include <chrono>
#include <cinttypes>
#include <ctime>

#include "core/log/log_entry.h"
#include "core/log/log_text.h"
#include "core/log/number_format.h"
#include "core/log/run_messages.h"

namespace quillbox::app {

namespace {

constexpr auto kTick = std::chrono::milliseconds(250);

std::string Duration(double seconds)
{
    const auto total = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

} // namespace

ConsoleReport::ConsoleReport(std::FILE* out, std::FILE* progress, std::string timeSeparator, Clock& clock,
                             std::FILE* errors)
    : m_out(out), m_progress(progress), m_errors(errors), m_timeSeparator(std::move(timeSeparator)), m_clock(clock)
{
    if (m_progress != nullptr)
        m_ticker = std::thread([this] { tick(); });
}

ConsoleReport::~ConsoleReport()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopTicking = true;
    }
    m_wake.notify_all();
    if (m_ticker.joinable())
        m_ticker.join();
}

void ConsoleReport::watch(const RunCounters& counters)
{
    const std::lock_guard lock(m_mutex);
    m_counters = &counters;
}

void ConsoleReport::clearLine()
{
    if (m_lineShown) {
        std::fputs("\r\033[K", m_progress);
        std::fflush(m_progress);
        m_lineShown = false;
    }
}

void ConsoleReport::entryLogged(const LogEntry& entry)
{
    const std::lock_guard lock(m_mutex);
    clearLine();
    if (!entry.message.empty()) {
        // Escaped, so that a name cannot start a line of its own.
        const std::string text = EscapeText(FormatLogEntry(entry.time, m_timeSeparator, entry.message));
        std::fwrite(text.data(), 1, text.size(), m_out);
        // A failed write stops the run: the stop is no news then.
        const bool stopped =
            entry.message == kCountingStopped || entry.message == kProcessingStopped || entry.message == kUndoStopped;
        if ((entry.icon == LogIcon::Exclamation || entry.icon == LogIcon::Critical) && !stopped) {
            if (m_kept.size() < kKept)
                m_kept.push_back(text);
            else
                ++m_notKept;
        }
    }
    std::fputc('\n', m_out);
}

void ConsoleReport::repeatKeptOnErrors()
{
    // A failed write loses a whole buffer of lines, which of them cannot be
    // told: every warning and error goes out again.
    if (std::ferror(m_out) != 0 && m_errors != nullptr && (!m_kept.empty() || m_notKept > 0)) {
        for (const std::string& line : m_kept) {
            std::fwrite(line.data(), 1, line.size(), m_errors);
            std::fputc('\n', m_errors);
        }
        if (m_notKept > 0)
            std::fprintf(m_errors, "... and %zu more warning(s) and error(s).\n", m_notKept);
        std::fflush(m_errors);
    }
    m_kept.clear();
    m_notKept = 0;
}

void ConsoleReport::phaseChanged(RunPhase phase, const RunFigures&)
{
    const std::lock_guard lock(m_mutex);
    // A script reading the entries sees each pass begin when it does.
    std::fflush(m_out);
    if (phase == RunPhase::Processing) {
        m_processing = true;
        m_processingSince = m_clock.monotonic();
    } else if (phase == RunPhase::Processed) {
        m_processing = false;
        clearLine();
    }
}

void ConsoleReport::ended(RunEnd how, const RunFigures& last)
{
    const std::lock_guard lock(m_mutex);
    m_processing = false;
    clearLine();
    m_end = how;
    m_last = last;
    std::fflush(m_out);
    repeatKeptOnErrors();
}

void ConsoleReport::tick()
{
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, kTick, [this] { return m_stopTicking; })) {
        if (!m_processing || m_counters == nullptr)
            continue;
        // Entries go out first, so the line stays below them.
        std::fflush(m_out);
        const RunFigures figures = m_counters->figures();
        const double elapsed = std::chrono::duration<double>(m_clock.monotonic() - m_processingSince).count();
        const double rate = elapsed > 0 ? figures.filesProcessed / elapsed : 0;
        const double left = figures.filesFound - figures.filesProcessed;
        std::string line = FormatGroupedZero(figures.filesProcessed, ",") + " of " +
            FormatGroupedZero(figures.filesFound, ",") + " files, " + FormatGroupedZero(figures.bytesProcessed, ",") +
            " bytes, " + FormatGroupedZero(rate, ",") + " files/s";
        if (rate > 0 && left > 0)
            line += ", " + Duration(left / rate) + " left";
        // Only the line's own start is a control sequence; what it shows is
        // escaped like any other text.
        line = "\r\033[K" + EscapeText(line);
        std::fputs(line.c_str(), m_progress);
        std::fflush(m_progress);
        m_lineShown = true;
    }
}

} // namespace quillbox::app
