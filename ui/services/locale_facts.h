#pragma once

#include "core/clock.h"

namespace quillbox {

// The user's time and thousands separators, read once from the system locale.
LocaleFacts SystemLocaleFacts();

} // namespace quillbox
