// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/runner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <QCheckBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>

#include "bench/workload.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "ui/common/text_bytes.h"
#include "ui/log/log_model.h"
#include "ui/log/log_window.h"
#include "ui/main/main_window.h"

namespace quillbox::bench {

namespace {

// The longest any run here may take; the slowest, a copy of 100,000 files
// to a throttled disk, takes under a minute.
constexpr int kRunBoundMs = 20 * 60 * 1000;

// Ticks every 10 ms on the thread it lives on and keeps the largest delay
// of a tick past its due time: how long that thread was kept from its
// events at worst.
class StallMeter final : public QObject {
public:
    static constexpr int kIntervalMs = 10;

    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kIntervalMs);
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
    }

    void start()
    {
        m_longest = 0;
        m_stalls.clear();
        m_last = Now();
        m_timer.start();
    }

    // The longest stall since start(), in seconds; the time since the last
    // tick counts as well.
    double stop()
    {
        tick();
        m_timer.stop();
        return m_longest;
    }
    // Every tick's delay since start().
    const std::vector<double>& stalls() const { return m_stalls; }

private:
    void tick()
    {
        const double now = Now();
        const double stall = std::max(0.0, now - m_last - kIntervalMs / 1000.0);
        m_longest = std::max(m_longest, stall);
        m_stalls.push_back(stall);
        m_last = now;
    }

    QTimer m_timer;
    double m_last = 0;
    double m_longest = 0;
    std::vector<double> m_stalls;
};

// A control of the main window, by its name.
template <class T>
T* Control(QWidget& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

} // namespace

RunResult RunThroughWindow(const RunSpec& setup)
{
    PosixFileSystem fs;
    SystemClock clock;
    ui::MainWindowServices services = ui::SystemServices(fs, clock);
    services.messageBox = [](QWidget*, const QString&, const QString&, BoxStyle) {
        return QMessageBox::Yes; // the move confirmation
    };
    ui::MainWindow window(std::move(services));
    window.show();
    Control<QLineEdit>(window, "sourceField")->setText(ui::NameText(setup.source));
    Control<QLineEdit>(window, "destinationField")->setText(ui::NameText(setup.destination));
    Control<QRadioButton>(window, setup.move ? "moveOption" : "copyOption")->setChecked(true);
    Control<QCheckBox>(window, "createFoldersBox")->setChecked(setup.createDirs);
    QCoreApplication::processEvents();

    QEventLoop loop;
    bool finished = false;
    QObject::connect(&window, &ui::MainWindow::runFinished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    StallMeter stalls;

    if (setup.justBeforeStart)
        setup.justBeforeStart();
    ResetPeakResident();
    const double residentAtStart = static_cast<double>(CurrentResident());
    bound.start(kRunBoundMs);
    stalls.start();
    const double start = Now();
    window.startSieve();
    if (!finished)
        loop.exec();
    RunResult result;
    result.seconds = Now() - start;
    result.longestStall = stalls.stop();
    result.stalls = stalls.stalls();
    result.peakGrowth = static_cast<double>(PeakResident()) - residentAtStart;
    if (!finished) {
        std::fprintf(stderr, "The run from %s did not end within %d minutes.\n", setup.source.c_str(),
                     kRunBoundMs / 60000);
        std::exit(1);
    }
    if (ui::LogWindow* log = window.logWindow())
        result.logRows = log->model().entryCount();
    window.logHost().forceUnload();
    return result;
}

} // namespace quillbox::bench
