#include "bench/runner.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>

#include "ui/main/event_pump.h"
#include "ui/log/log_model.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "ui/log/log_window.h"
#include "ui/main/main_window.h"
#include "bench/workload.h"

namespace quillbox::bench {

RunResult RunThroughWindow(const RunSpec& setup)
{
    PosixFileSystem fs;
    SystemClock clock;
    ui::MainWindowServices services = ui::SystemServices(fs, clock);
    services.messageBox = [](QWidget*, const QString&, const QString&, BoxStyle) {
        return QMessageBox::Yes; // the move confirmation
    };
    ui::wMain window(std::move(services));
    window.show();
    window.txtSource()->setText(QFile::decodeName(QByteArray::fromStdString(setup.source)));
    window.txtDestination()->setText(QFile::decodeName(QByteArray::fromStdString(setup.destination)));
    window.optCopyMode(setup.move ? 1 : 0)->setChecked(true);
    window.chkCreateDirs()->setChecked(setup.createDirs);
    QCoreApplication::processEvents();

    if (setup.justBeforeStart)
        setup.justBeforeStart();
    ui::ResetPumpGap();
    ResetPeakResident();
    const double residentAtStart = static_cast<double>(CurrentResident());
    const double start = Now();
    window.tbrDoSieve_ButtonClick(QStringLiteral("_sieve"));
    RunResult result;
    result.seconds = Now() - start;
    result.peakGrowth = static_cast<double>(PeakResident()) - residentAtStart;
    result.longestPumpGap = ui::LongestPumpGap();
    if (ui::wLogging* log = window.logWindow())
        result.logRows = log->model().entryCount();
    window.logHost().forceUnload();
    return result;
}

} // namespace quillbox::bench
