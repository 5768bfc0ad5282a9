#pragma once

namespace quillbox::ui {

// Lets every window event that is already queued run, then returns. The run
// calls it once per file, so it must stay cheap: when the event loop has
// nothing waiting (no wake-up of its own, no input, no timer due) the call
// returns without entering the loop at all.
void PumpPendingEvents();

// The longest time, in seconds, between two pumps since the last reset:
// how long the window went without a chance to react.
double LongestPumpGap();
void ResetPumpGap();

// Seconds on the coarse monotonic clock: a few nanoseconds a read instead of
// tens, cheap enough to read per file. It moves in steps of a few
// milliseconds, fine for the pump's gaps and timer deadline (timers here
// fire every 200 ms or more) and for pacing repaints.
double CoarseSeconds();

} // namespace quillbox::ui
