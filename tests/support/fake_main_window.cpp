#include "tests/support/fake_main_window.h"

#include <algorithm>

#include "core/statistics_text.h"

namespace quillbox::test {

namespace {
std::string Flag(bool on) { return on ? "1" : "0"; }
std::string Number(double value)
{
    std::string text = std::to_string(value);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}
} // namespace

std::vector<std::string> FakeMainWindow::operationsFrom(std::size_t from) const
{
    if (from >= operations.size())
        return {};
    return {operations.begin() + static_cast<std::ptrdiff_t>(from), operations.end()};
}

bool FakeMainWindow::recorded(const std::string& operation) const
{
    return std::find(operations.begin(), operations.end(), operation) != operations.end();
}

void FakeMainWindow::setSourcePickerEnabled(bool enabled)
{
    sourcePickerEnabled = enabled;
    record("sourcePicker.enabled=" + Flag(enabled));
}

void FakeMainWindow::setDestinationPickerEnabled(bool enabled)
{
    destinationPickerEnabled = enabled;
    record("destinationPicker.enabled=" + Flag(enabled));
}

void FakeMainWindow::setToolbarButtonEnabled(std::string_view key, bool enabled)
{
    if (key == kKeySieve)
        sieveEnabled = enabled;
    else if (key == kKeyAbout)
        aboutEnabled = enabled;
    else if (key == kKeyStop)
        stopEnabled = enabled;
    record(std::string(key) + ".enabled=" + Flag(enabled));
}

bool FakeMainWindow::isStopPressed()
{
    return stopPressed;
}

void FakeMainWindow::setStopPressed(bool pressed)
{
    stopPressed = pressed;
    record("_stop.pressed=" + Flag(pressed));
}

void FakeMainWindow::setSourceEnabled(bool enabled)
{
    sourceEnabled = enabled;
    record("source.enabled=" + Flag(enabled));
}

std::string FakeMainWindow::sourceText()
{
    return source;
}

void FakeMainWindow::setSourceText(const std::string& text)
{
    source = text;
    record("source.text=" + text);
}

void FakeMainWindow::setDestinationEnabled(bool enabled)
{
    destinationEnabled = enabled;
    record("destination.enabled=" + Flag(enabled));
}

std::string FakeMainWindow::destinationText()
{
    return destination;
}

void FakeMainWindow::setDestinationText(const std::string& text)
{
    destination = text;
    record("destination.text=" + text);
}

void FakeMainWindow::setCreateDirsEnabled(bool enabled)
{
    createDirsEnabled = enabled;
    record("createDirs.enabled=" + Flag(enabled));
}

bool FakeMainWindow::isCreateDirsChecked()
{
    return createDirs;
}

bool FakeMainWindow::isCopyModeSelected(int index)
{
    return index == 1 ? moveMode : !moveMode;
}

bool FakeMainWindow::isViewLogWhenDoneChecked()
{
    return viewLogWhenDone;
}

void FakeMainWindow::setCurrentFileCaption(const std::string& caption)
{
    currentFileCaption = caption;
    record("currentFile=" + caption);
}

void FakeMainWindow::repaintCurrentFile()
{
    record("currentFile.repaint");
}

void FakeMainWindow::setFileProgressCaption(const std::string& caption)
{
    fileProgressCaption = caption;
    record("fileProgress=" + caption);
}

void FakeMainWindow::repaintFileProgress()
{
    record("fileProgress.repaint");
}

void FakeMainWindow::setProgressMax(double max)
{
    barMax = max;
    record("progress.max=" + Number(max));
}

void FakeMainWindow::setProgressMin(double min)
{
    barMin = min;
    record("progress.min=" + Number(min));
}

bool FakeMainWindow::setProgressValue(double value)
{
    // Like the real bar: a value outside Min..Max is refused.
    if (value < barMin || value > barMax) {
        record("progress.value refused " + Number(value));
        return false;
    }
    barValue = value;
    record("progress.value=" + Number(value));
    return true;
}

double FakeMainWindow::progressValue()
{
    return barValue;
}

double FakeMainWindow::progressMax()
{
    return barMax;
}

void FakeMainWindow::setCountTimerEnabled(bool enabled)
{
    countTimerEnabled = enabled;
    record("countTimer.enabled=" + Flag(enabled));
}

void FakeMainWindow::runCountTimerTick()
{
    record("countTimer.tick");
    if (sieve != nullptr)
        currentFileCaption = CountLineText(sieve->Counters());
}

void FakeMainWindow::setProgressTimerEnabled(bool enabled)
{
    progressTimerEnabled = enabled;
    record("progressTimer.enabled=" + Flag(enabled));
}

void FakeMainWindow::setProgressTimerTag(const std::string& name)
{
    progressTimerTag = name;
    record("progressTimer.tag=" + name);
}

void FakeMainWindow::runProgressTimerTick()
{
    record("progressTimer.tick");
    if (sieve != nullptr) {
        fileProgressCaption = FileProgressText(sieve->Counters(), thousandsSeparator);
        currentFileCaption = progressTimerTag;
        bytesCaption = BytesText(sieve->Counters(), thousandsSeparator);
    }
}

void FakeMainWindow::processPendingEvents()
{
    ++pendingEventCalls;
    if (onPendingEvents)
        onPendingEvents(*this);
}

} // namespace quillbox::test
