// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>

#include "core/ports/locale_facts.h"

namespace quillbox {

struct TimeOfDay {
    int hour = 0;   // 0..23
    int minute = 0; // 0..59
    int second = 0; // 0..59
};

// The program's clock: how long something took or has to wait, and what
// time it is. Everything above the file layer asks it, so that a test can
// set the time and move it on; the file layer's own timing of its chunks
// stays with SystemCalls, which reads the same monotonic time.
class Clock {
public:
    // A point on the monotonic scale, which no change of the wall time
    // moves. For the system's clock it is CLOCK_MONOTONIC's, which a
    // deadline handed to the kernel (a timerfd) counts on.
    using Instant = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    // The local time of day.
    virtual TimeOfDay now() = 0;
    // The monotonic time.
    virtual Instant monotonic() = 0;
    // The wall time, in seconds since the epoch.
    virtual std::int64_t wallSeconds() = 0;
};

} // namespace quillbox
