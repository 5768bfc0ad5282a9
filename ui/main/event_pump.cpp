#include "event_pump.h"

#include <ctime>
#include <memory>

#include <QCoreApplication>

#include "pending_events_watch.h"

namespace quillbox::ui {

namespace {

double g_lastPump = 0;
double g_longestGap = 0;

// The coarse clock: a few nanoseconds a read instead of tens, twice per
// file. It ticks every few milliseconds, which is fine enough both for the
// longest gap (measured against a quarter of a second) and for the watch's
// timer deadline (timers here fire every 200 ms or more).
double Seconds()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

PendingEventsWatch& Watch()
{
    static PendingEventsWatch watch;
    return watch;
}

} // namespace

void PumpPendingEvents()
{
    double now = Seconds();
    if (g_lastPump > 0 && now - g_lastPump > g_longestGap)
        g_longestGap = now - g_lastPump;

    // Events this thread posted (a queued click, a Stop pressed from a
    // queued call) are delivered here, whatever the watch has seen yet: the
    // watch learns of them only through another thread, a little later, and
    // GLib's dispatcher may itself leave them for a later round. With none
    // posted this is a quick look at an empty list.
    QCoreApplication::sendPostedEvents();

    PendingEventsWatch& watch = Watch();
    if (watch.usable() && !watch.mayBePending(now)) {
        g_lastPump = now;
        return;
    }
    watch.beforeLoop();
    QCoreApplication::processEvents();
    now = Seconds();
    if (watch.usable())
        watch.afterLoop(now);
    g_lastPump = now;
}

double LongestPumpGap()
{
    return g_longestGap;
}

void ResetPumpGap()
{
    g_lastPump = Seconds();
    g_longestGap = 0;
}

} // namespace quillbox::ui
