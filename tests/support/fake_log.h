// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "core/ports/clock.h"
#include "core/ports/log_window_port.h"

namespace quillbox::test {

struct LogRow {
    std::string text;
    LogIcon icon = LogIcon::None;
};

// A log line without its leading "hh:mm:ss - " (any separator between the
// fields); a line that does not start with a time is returned whole.
std::string WithoutLogTime(std::string_view line);

// A log window host whose window keeps its rows in a vector. Showing the
// window is counted and, when `operations` is set, recorded there too, so a
// test can see it in order with the main window's operations.
class FakeLogHost final : public LogWindowHost, public LogWindowPort {
public:
    std::vector<LogRow> rows;
    bool loaded = false;
    int loads = 0;
    int shows = 0;
    std::vector<std::string>* operations = nullptr;

    bool isLogWindowLoaded() override { return loaded; }
    void createLogWindow() override
    {
        loaded = true;
        ++loads;
    }
    LogWindowPort& logWindow() override { return *this; }

    void appendRow(std::string_view text, LogIcon icon) override
    {
        rows.push_back({std::string(text), icon});
        if (operations != nullptr)
            operations->push_back("log:" + std::string(text));
    }
    void show() override
    {
        ++shows;
        if (operations != nullptr)
            operations->push_back("log.show");
    }

    // The rows' texts without their "hh:mm:ss - " prefix (blank rows stay "").
    std::vector<std::string> messages() const;
};

// A clock that tells the time it is set to. Its monotonic time moves only
// when a test moves it on, from any thread.
class FakeClock final : public Clock {
public:
    TimeOfDay time {12, 34, 56};
    // The machine's time when made, so that what a run journals is as new
    // as it is to the journal store's own clock.
    std::int64_t wall = static_cast<std::int64_t>(std::time(nullptr));
    TimeOfDay now() override { return time; }
    Instant monotonic() override { return Instant(std::chrono::nanoseconds(m_monotonicNs.load())); }
    std::int64_t wallSeconds() override { return wall; }
    void advance(std::chrono::nanoseconds by) { m_monotonicNs.fetch_add(by.count()); }

private:
    std::atomic<std::int64_t> m_monotonicNs {0};
};

} // namespace quillbox::test
