#pragma once

#include "core/locale_facts.h"

namespace quillbox {

struct TimeOfDay {
    int hour = 0;   // 0..23
    int minute = 0; // 0..59
    int second = 0; // 0..59
};

// The local time of day.
class Clock {
public:
    virtual ~Clock() = default;
    virtual TimeOfDay now() = 0;
};

} // namespace quillbox
