// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillbox {

// The icon of a log row.
enum class LogIcon : std::uint8_t { None, Information, Exclamation, Critical };

// One loaded log window, as the log needs it.
class LogWindowPort {
public:
    virtual ~LogWindowPort() = default;
    // Appends a row at the end; does not select it, scroll to it or show the
    // window. The text may hold file names as raw bytes.
    virtual void appendRow(std::string_view text, LogIcon icon) = 0;
    // Shows the window modeless and without owner, back from minimised,
    // raised and active; a visible one stays one window.
    virtual void show() = 0;
};

// Creates the log window on first use. The log itself writes the start-up
// entry right after a window has been created, so a host only builds it.
class LogWindowHost {
public:
    virtual ~LogWindowHost() = default;
    virtual bool isLogWindowLoaded() = 0;
    // Creates the window, hidden. Called only while none is loaded.
    virtual void createLogWindow() = 0;
    // The loaded window.
    virtual LogWindowPort& logWindow() = 0;
};

} // namespace quillbox
