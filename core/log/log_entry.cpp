// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/log/log_entry.h"

namespace quillbox {

namespace {

void AppendTwoDigits(std::string& out, int value)
{
    if (value < 0)
        value = 0;
    out.push_back(static_cast<char>('0' + value / 10 % 10));
    out.push_back(static_cast<char>('0' + value % 10));
}

} // namespace

std::string FormatLogEntry(const TimeOfDay& time, std::string_view timeSeparator, std::string_view message)
{
    std::string text;
    text.reserve(8 + 2 * timeSeparator.size() + 3 + message.size());
    AppendTwoDigits(text, time.hour);
    text.append(timeSeparator);
    AppendTwoDigits(text, time.minute);
    text.append(timeSeparator);
    AppendTwoDigits(text, time.second);
    text.append(" - ");
    text.append(message);
    return text;
}

EventLog::EventLog(LogWindowHost& host, Clock& clock, const LocaleFacts& locale)
    : m_host(host), m_clock(clock), m_locale(locale)
{
}

void EventLog::AddLogEntry(LogIcon icon, std::string_view message)
{
    if (message.empty()) {
        LogWindow().appendRow({}, LogIcon::None);
        return;
    }
    const std::string text = FormatLogEntry(m_clock.now(), m_locale.timeSeparator, message);
    LogWindow().appendRow(text, icon);
}

void EventLog::append(const LogEntry& entry)
{
    if (entry.message.empty()) {
        LogWindow().appendRow({}, LogIcon::None);
        return;
    }
    const std::string text = FormatLogEntry(entry.time, m_locale.timeSeparator, entry.message);
    LogWindow().appendRow(text, entry.icon);
}

LogWindowPort& EventLog::LogWindow()
{
    if (!m_host.isLogWindowLoaded()) {
        m_host.createLogWindow();
        // The window's load step: its first row is the start-up entry.
        append(LogEntry {LogIcon::Information, m_clock.now(), std::string(kStartupMessage)});
    }
    return m_host.logWindow();
}

void EventLog::ShowLogWindow()
{
    LogWindow().show();
}

} // namespace quillbox
