#pragma once

#include <string>
#include <string_view>

namespace quillbox {

// Keys of the main toolbar buttons. Commands dispatch on them and the run
// reaches the buttons by them.
inline constexpr std::string_view kKeySieve = "_sieve";
inline constexpr std::string_view kKeyStop = "_stop";
inline constexpr std::string_view kKeyLogging = "_logging";
inline constexpr std::string_view kKeyAbout = "_about";

// What a run needs from the main window, and nothing more. The real window
// implements it over its widgets; the tests implement it with a recorder.
//
// Texts that hold paths or file names are bytes as the file system gives
// them; everything else is UTF-8.
class MainWindowPort {
public:
    virtual ~MainWindowPort() = default;

    // Button 1 of the two folder toolbars.
    virtual void setSourcePickerEnabled(bool enabled) = 0;
    virtual void setDestinationPickerEnabled(bool enabled) = 0;

    // Buttons of the main toolbar, by key ("_sieve", "_about", "_stop").
    virtual void setToolbarButtonEnabled(std::string_view key, bool enabled) = 0;
    virtual bool isStopPressed() = 0;
    virtual void setStopPressed(bool pressed) = 0;

    virtual void setSourceEnabled(bool enabled) = 0;
    virtual std::string sourceText() = 0;
    virtual void setSourceText(const std::string& text) = 0;

    virtual void setDestinationEnabled(bool enabled) = 0;
    virtual std::string destinationText() = 0;
    virtual void setDestinationText(const std::string& text) = 0;

    virtual void setCreateDirsEnabled(bool enabled) = 0;
    virtual bool isCreateDirsChecked() = 0;
    // Index 0 is "Copy the files", index 1 is "Move the files".
    virtual bool isCopyModeSelected(int index) = 0;
    virtual bool isViewLogWhenDoneChecked() = 0;

    // Captions, and an immediate repaint of the label.
    virtual void setCurrentFileCaption(const std::string& caption) = 0;
    virtual void repaintCurrentFile() = 0;
    virtual void setFileProgressCaption(const std::string& caption) = 0;
    virtual void repaintFileProgress() = 0;

    // The progress bar. A value outside Min..Max is refused: the call returns
    // false and the bar keeps its value.
    virtual void setProgressMax(double max) = 0;
    virtual void setProgressMin(double min) = 0;
    virtual bool setProgressValue(double value) = 0;
    virtual double progressValue() = 0;
    virtual double progressMax() = 0;

    // The two statistics timers and their tick handlers, run directly.
    virtual void setCountTimerEnabled(bool enabled) = 0;
    virtual void runCountTimerTick() = 0;
    virtual void setProgressTimerEnabled(bool enabled) = 0;
    virtual void setProgressTimerTag(const std::string& name) = 0;
    virtual void runProgressTimerTick() = 0;

    // Lets every window event that is already queued run, then returns.
    virtual void processPendingEvents() = 0;
};

} // namespace quillbox
