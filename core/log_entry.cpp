#include "core/log_entry.h"

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

LogIcon LogIconFromKey(std::string_view key)
{
    if (key == kIconInformation)
        return LogIcon::Information;
    if (key == kIconExclamation)
        return LogIcon::Exclamation;
    if (key == kIconCritical)
        return LogIcon::Critical;
    return LogIcon::None;
}

std::string_view LogIconKey(LogIcon icon)
{
    switch (icon) {
    case LogIcon::Information: return kIconInformation;
    case LogIcon::Exclamation: return kIconExclamation;
    case LogIcon::Critical: return kIconCritical;
    case LogIcon::None: break;
    }
    return {};
}

std::string FormatLogEntry(const TimeOfDay& time, std::string_view timeSeparator,
                           std::string_view message)
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

void EventLog::AddLogEntry(std::string_view iconKey, std::string_view message)
{
    if (message.empty()) {
        LogWindow().appendRow({}, LogIcon::None);
        return;
    }
    const std::string text = FormatLogEntry(m_clock.now(), m_locale.timeSeparator, message);
    LogWindow().appendRow(text, LogIconFromKey(iconKey));
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
        AddLogEntry(kIconInformation, kStartupMessage);
    }
    return m_host.logWindow();
}

void EventLog::ShowLogWindow()
{
    LogWindow().show();
}

} // namespace quillbox
