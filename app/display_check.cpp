// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/display_check.h"

#include <cstdio>
#include <cstdlib>

namespace quillbox::app {

namespace {

constexpr char kNoDisplay[] =
    "quillbox: no display can be reached to open the window on; --copy or --move runs without one\n";

bool Named(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

} // namespace

void NoDisplay()
{
    std::fputs(kNoDisplay, stderr);
    std::fflush(stderr);
    std::_Exit(2);
}

void RequireDisplay()
{
    if (!Named("DISPLAY") && !Named("WAYLAND_DISPLAY") && !Named("QT_QPA_PLATFORM"))
        NoDisplay();
}

} // namespace quillbox::app
