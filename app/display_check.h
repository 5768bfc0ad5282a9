// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quillbox::app {

// The window needs a display. Where none is named (no DISPLAY, no
// WAYLAND_DISPLAY, no QT_QPA_PLATFORM), says so in one line on standard
// error and ends the program with status 2.
void RequireDisplay();

// Says in one line on standard error that no display can be reached and
// ends the program with status 2, at once.
[[noreturn]] void NoDisplay();

} // namespace quillbox::app
