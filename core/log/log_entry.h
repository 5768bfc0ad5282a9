// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "core/ports/clock.h"
#include "core/ports/log_window_port.h"

namespace quillbox {

// One log entry: the time it happened, its icon and its message. An empty
// message is the blank row, which shows neither time nor icon.
struct LogEntry {
    LogIcon icon = LogIcon::None;
    TimeOfDay time;
    std::string message;
};

// "hh:mm:ss - message", with the locale's time separator between the fields.
std::string FormatLogEntry(const TimeOfDay& time, std::string_view timeSeparator, std::string_view message);

inline constexpr std::string_view kStartupMessage = "Quillbox loaded and running.";

// The event log: the one place that writes log rows.
class EventLog {
public:
    EventLog(LogWindowHost& host, Clock& clock, const LocaleFacts& locale);

    // Appends one row with its icon. An empty message appends a blank row
    // without icon and without time, whatever the icon.
    // The time is read before the log window is obtained, so a window
    // created by this call writes its start-up entry first.
    void AddLogEntry(LogIcon icon, std::string_view message);
    // Appends an entry written elsewhere, with the time it happened.
    void append(const LogEntry& entry);

    // The log window, created and loaded (hidden) if it does not exist yet;
    // loading writes the start-up entry.
    LogWindowPort& LogWindow();
    void ShowLogWindow();

private:
    LogWindowHost& m_host;
    Clock& m_clock;
    const LocaleFacts& m_locale;
};

} // namespace quillbox
