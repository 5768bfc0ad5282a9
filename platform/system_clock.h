#pragma once

#include "clock.h"

namespace quillbox {

// The machine's local time of day.
class SystemClock final : public Clock {
public:
    TimeOfDay now() override;
};

// The user's time and thousands separators, read once from the system locale.
LocaleFacts SystemLocaleFacts();

} // namespace quillbox
