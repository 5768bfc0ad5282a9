// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/system_clock.h"

#include <ctime>

namespace quillbox {

TimeOfDay SystemClock::now()
{
    // A run may log thousands of entries a second: convert each second once,
    // on each thread that asks.
    thread_local std::time_t lastSecond = -1;
    thread_local TimeOfDay lastTime;
    const std::time_t t = std::time(nullptr);
    if (t != lastSecond) {
        std::tm local {};
        ::localtime_r(&t, &local);
        lastTime = {local.tm_hour, local.tm_min, local.tm_sec};
        lastSecond = t;
    }
    return lastTime;
}

Clock::Instant SystemClock::monotonic()
{
    // steady_clock reads CLOCK_MONOTONIC on Linux.
    return std::chrono::steady_clock::now();
}

std::int64_t SystemClock::wallSeconds()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace quillbox
