#include "bench/runner.h"

#include <string>
#include <vector>

#include "core/log_entry.h"
#include "platform/posix_file_system.h"
#include "core/sieve.h"
#include "bench/workload.h"

namespace quillbox::bench {

namespace {

class QuietWindow final : public MainWindowPort {
public:
    std::string source, destination;
    bool move = false, createDirs = true;
    double min = 0, max = 100, value = 0;
    double lastPump = 0, longestGap = 0;

    void setSourcePickerEnabled(bool) override {}
    void setDestinationPickerEnabled(bool) override {}
    void setToolbarButtonEnabled(std::string_view, bool) override {}
    bool isStopPressed() override { return false; }
    void setStopPressed(bool) override {}
    void setSourceEnabled(bool) override {}
    std::string sourceText() override { return source; }
    void setSourceText(const std::string& text) override { source = text; }
    void setDestinationEnabled(bool) override {}
    std::string destinationText() override { return destination; }
    void setDestinationText(const std::string& text) override { destination = text; }
    void setCreateDirsEnabled(bool) override {}
    bool isCreateDirsChecked() override { return createDirs; }
    bool isCopyModeSelected(int index) override { return index == 1 ? move : !move; }
    bool isViewLogWhenDoneChecked() override { return false; }
    void setCurrentFileCaption(const std::string&) override {}
    void repaintCurrentFile() override {}
    void setFileProgressCaption(const std::string&) override {}
    void repaintFileProgress() override {}
    void setProgressMax(double m) override { max = m; }
    void setProgressMin(double m) override { min = m; }
    bool setProgressValue(double v) override
    {
        if (v < min || v > max)
            return false;
        value = v;
        return true;
    }
    double progressValue() override { return value; }
    double progressMax() override { return max; }
    void setCountTimerEnabled(bool) override {}
    void runCountTimerTick() override {}
    void setProgressTimerEnabled(bool) override {}
    void setProgressTimerTag(const std::string&) override {}
    void runProgressTimerTick() override {}
    void processPendingEvents() override
    {
        const double now = Now();
        if (lastPump > 0 && now - lastPump > longestGap)
            longestGap = now - lastPump;
        lastPump = now;
    }
};

class RowCounter final : public LogWindowHost, public LogWindowPort {
public:
    bool loaded = false;
    std::size_t rows = 0;
    bool isLogWindowLoaded() override { return loaded; }
    void createLogWindow() override { loaded = true; }
    LogWindowPort& logWindow() override { return *this; }
    void appendRow(std::string_view, LogIcon) override { ++rows; }
    void show() override {}
};

class ZeroClock final : public Clock {
public:
    TimeOfDay now() override { return {}; }
};

} // namespace

RunResult RunEngineOnly(const RunSpec& setup)
{
    QuietWindow window;
    window.source = setup.source;
    window.destination = setup.destination;
    window.move = setup.move;
    window.createDirs = setup.createDirs;
    RowCounter logHost;
    ZeroClock clock;
    LocaleFacts locale;
    EventLog log(logHost, clock, locale);
    PosixFileSystem fs;
    Sieve sieve(window, log, fs);

    if (setup.justBeforeStart)
        setup.justBeforeStart();
    const double start = Now();
    window.lastPump = start;
    sieve.SieveFiles();
    RunResult result;
    result.seconds = Now() - start;
    result.longestPumpGap = window.longestGap;
    result.logRows = logHost.rows;
    return result;
}

} // namespace quillbox::bench
