// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/ports/locale_facts.h"

namespace quillbox {

// The user's time and thousands separators, read once from the toolkit's
// system locale; the window's counterpart of PosixLocaleFacts().
LocaleFacts SystemLocaleFacts();

} // namespace quillbox
