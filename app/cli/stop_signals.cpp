// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/stop_signals.h"

#include <csignal>

namespace quillbox::app {

namespace {

// The handler only touches lock-free atomics.
std::atomic<std::atomic<bool>*> g_stop {nullptr};
std::atomic<int> g_signal {0};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);

void OnStopSignal(int signal)
{
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    if (std::atomic<bool>* stop = g_stop.load())
        stop->store(true);
}

} // namespace

void StopOnSignals(std::atomic<bool>& stop)
{
    g_stop.store(&stop);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

int StopSignal()
{
    return g_signal.load();
}

} // namespace quillbox::app
