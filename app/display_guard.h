// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quillbox::app {

// While it lives, Qt's messages are held back; should Qt give up because
// the display it was given cannot be reached, the program ends with the
// line of NoDisplay() and status 2 instead of aborting. Construct it just
// before the QApplication and call started() once the QApplication exists:
// the held messages then go out as they would have.
class DisplayGuard {
public:
    DisplayGuard();
    ~DisplayGuard();
    DisplayGuard(const DisplayGuard&) = delete;
    DisplayGuard& operator=(const DisplayGuard&) = delete;

    void started();
};

} // namespace quillbox::app
