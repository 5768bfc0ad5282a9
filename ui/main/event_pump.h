#pragma once

namespace quillbox::ui {

// Lets every window event that is already queued run, then returns. The run
// calls it once per file, so it must stay cheap.
void PumpPendingEvents();

} // namespace quillbox::ui
