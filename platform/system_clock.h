#pragma once

#include "core/clock.h"

namespace quillbox {

// The machine's local time of day.
class SystemClock final : public Clock {
public:
    TimeOfDay now() override;
};

} // namespace quillbox
