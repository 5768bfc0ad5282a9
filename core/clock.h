#pragma once

#include <string>

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

// The user's regional settings the program writes numbers and times with.
struct LocaleFacts {
    std::string timeSeparator = ":";
    std::string thousandsSeparator = ",";
};

} // namespace quillbox
