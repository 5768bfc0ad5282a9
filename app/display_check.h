#pragma once

namespace quillbox::app {

// The window needs a display. Where none is named (no DISPLAY, no
// WAYLAND_DISPLAY, no QT_QPA_PLATFORM), says so in one line on standard
// error and ends the program with status 2.
void RequireDisplay();

// While it lives, Qt's messages are held back; should Qt give up because
// the display it was given cannot be reached, the program ends with the
// same line and status 2 instead of aborting. Construct it just before the
// QApplication and call started() once the QApplication exists: the held
// messages then go out as they would have.
class DisplayGuard {
public:
    DisplayGuard();
    ~DisplayGuard();
    DisplayGuard(const DisplayGuard&) = delete;
    DisplayGuard& operator=(const DisplayGuard&) = delete;

    void started();
};

} // namespace quillbox::app
