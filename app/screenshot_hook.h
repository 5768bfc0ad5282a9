#pragma once

namespace quillbox::ui {
class MainWindow;
}

namespace quillbox::app {

// For the screenshot script only: when QUILLBOX_SCREENSHOT_DIR is set, the
// program pictures each of its windows into that folder and quits. With
// QUILLBOX_SCREENSHOT_SOURCE set as well, it first sieves that folder (by
// copy into QUILLBOX_SCREENSHOT_DESTINATION) so the statistics show figures.
void StartScreenshotsIfAsked(ui::MainWindow& window);

} // namespace quillbox::app
