// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/ports/locale_facts.h"

namespace quillbox {

// The time and thousands separators of the locale the environment names
// (LC_ALL, LC_NUMERIC, LC_TIME, LANG), read from the C library without
// changing the process's own locale. Where the locale groups no digits (the
// "C" locale) the default separator stays.
LocaleFacts PosixLocaleFacts();

// What stands between the hour and the minute in a strftime format
// ("%H:%M:%S" -> ":", "%H.%M" -> "."), or "" where it cannot be told.
std::string TimeSeparatorOfFormat(const char* format);

} // namespace quillbox
