#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace quillbox::ui {

// Tells, without a system call, whether the event loop may have something
// to do. A small thread waits, edge-triggered, on the descriptors the loop
// itself polls (its wake-up descriptor, which every posted event and every
// input event signals, and the sockets of its notifiers) and raises a flag
// when any of them fires. Timers do not signal a descriptor, so the watch
// also keeps the time by which the loop's next timer falls due.
//
// Only for the GLib event loop; elsewhere usable() is false and the caller
// enters the loop every time.
class PendingEventsWatch {
public:
    PendingEventsWatch();
    ~PendingEventsWatch();
    PendingEventsWatch(const PendingEventsWatch&) = delete;
    PendingEventsWatch& operator=(const PendingEventsWatch&) = delete;

    bool usable() const { return m_usable; }

    // True when something may be waiting, or when `now` (seconds on the
    // monotonic clock) has reached the next timer.
    bool mayBePending(double now) const
    {
        return m_signalled.load(std::memory_order_acquire) || now >= m_deadline;
    }

    // Call just before the loop runs: what fires from here on counts again.
    void beforeLoop() { m_signalled.store(false, std::memory_order_release); }
    // Call just after: learns the descriptors and the next timer anew.
    void afterLoop(double now);

    // The longest the loop is left alone even when nothing signals, so a
    // timer started meanwhile is never late by more than this.
    static constexpr double kLongestSkip = 0.005;

private:
    void watch();
    void updateDescriptors(const std::vector<int>& fds, const std::vector<unsigned>& events);

    bool m_usable = false;
    int m_epoll = -1;
    int m_stop = -1;
    std::atomic<bool> m_signalled {true};
    double m_deadline = 0;
    std::vector<int> m_fds;
    std::vector<unsigned> m_events;
    std::thread m_thread;
};

} // namespace quillbox::ui
