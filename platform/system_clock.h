// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/ports/clock.h"

namespace quillbox {

// The machine's clocks: its local time of day, CLOCK_MONOTONIC and the
// wall time.
class SystemClock final : public Clock {
public:
    TimeOfDay now() override;
    Instant monotonic() override;
    std::int64_t wallSeconds() override;
};

} // namespace quillbox
