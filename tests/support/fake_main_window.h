#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/main_window_port.h"
#include "core/sieve.h"

namespace quillbox::test {

// A main window that keeps the state a run leaves in it and records every
// operation, in order, as a short text such as "sieve.enabled=0".
class FakeMainWindow final : public MainWindowPort {
public:
    // State, as the real window would hold it. The defaults are a fresh
    // window's.
    bool sourcePickerEnabled = true;
    bool destinationPickerEnabled = true;
    bool sieveEnabled = true;
    bool aboutEnabled = true;
    bool stopEnabled = false;
    bool stopPressed = false;
    bool sourceEnabled = true;
    bool destinationEnabled = true;
    bool createDirsEnabled = true;
    std::string source;
    std::string destination;
    bool createDirs = true;
    bool moveMode = false; // optCopyMode(1) selected
    bool viewLogWhenDone = false;
    std::string currentFileCaption = "--";
    std::string fileProgressCaption = "--";
    std::string bytesCaption = "--";
    double barMin = 0, barMax = 100, barValue = 0;
    bool countTimerEnabled = false;
    bool progressTimerEnabled = false;
    std::string progressTimerTag;

    // Every operation, in order.
    std::vector<std::string> operations;
    int pendingEventCalls = 0;

    // Runs on each processPendingEvents(): what a person might do meanwhile.
    std::function<void(FakeMainWindow&)> onPendingEvents;

    // The tick handlers write the statistics texts from these counters.
    const Sieve* sieve = nullptr;
    std::string thousandsSeparator = ",";

    // Operations recorded since `from`, e.g. to check the order at a run's end.
    std::vector<std::string> operationsFrom(std::size_t from) const;
    bool recorded(const std::string& operation) const;

    void setSourcePickerEnabled(bool enabled) override;
    void setDestinationPickerEnabled(bool enabled) override;
    void setToolbarButtonEnabled(std::string_view key, bool enabled) override;
    bool isStopPressed() override;
    void setStopPressed(bool pressed) override;
    void setSourceEnabled(bool enabled) override;
    std::string sourceText() override;
    void setSourceText(const std::string& text) override;
    void setDestinationEnabled(bool enabled) override;
    std::string destinationText() override;
    void setDestinationText(const std::string& text) override;
    void setCreateDirsEnabled(bool enabled) override;
    bool isCreateDirsChecked() override;
    bool isCopyModeSelected(int index) override;
    bool isViewLogWhenDoneChecked() override;
    void setCurrentFileCaption(const std::string& caption) override;
    void repaintCurrentFile() override;
    void setFileProgressCaption(const std::string& caption) override;
    void repaintFileProgress() override;
    void setProgressMax(double max) override;
    void setProgressMin(double min) override;
    bool setProgressValue(double value) override;
    double progressValue() override;
    double progressMax() override;
    void setCountTimerEnabled(bool enabled) override;
    void runCountTimerTick() override;
    void setProgressTimerEnabled(bool enabled) override;
    void setProgressTimerTag(const std::string& name) override;
    void runProgressTimerTick() override;
    void processPendingEvents() override;

private:
    void record(std::string operation) { operations.push_back(std::move(operation)); }
};

} // namespace quillbox::test
