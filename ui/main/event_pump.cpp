#include "ui/main/event_pump.h"

#include <ctime>
#include <memory>

#include <QCoreApplication>

#include "ui/main/pending_events_watch.h"

namespace quillbox::ui {

namespace {

double g_lastPump = 0;
double g_longestGap = 0;

PendingEventsWatch& Watch()
{
    static PendingEventsWatch watch;
    return watch;
}

} // namespace

void PumpPendingEvents()
{
    double now = CoarseSeconds();
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
    now = CoarseSeconds();
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
    g_lastPump = CoarseSeconds();
    g_longestGap = 0;
}

double CoarseSeconds()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace quillbox::ui
