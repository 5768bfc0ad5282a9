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

} // namespace quillbox::ui
