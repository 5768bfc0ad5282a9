// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ui/ui_harness.h"

#include <malloc.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "ui/log/log_model.h"
#include "ui/main/run_controller.h"

namespace quillbox::test {

UiHarness::UiHarness()
{
    ui::MainWindowServices services;
    services.fileSystem = &fs;
    services.clock = &clock;
    services.journals = &journals;
    services.locale.thousandsSeparator = ",";
    services.locale.timeSeparator = ":";
    services.programFolder = QString::fromStdString(dir.path());
    services.pickFolder = [this](QWidget*, const QString& title) {
        pickerTitles.push_back(title);
        if (whilePickerOpen)
            whilePickerOpen();
        if (pickerAnswers.empty())
            return QString();
        QString answer = pickerAnswers.front();
        pickerAnswers.pop_front();
        return answer;
    };
    services.messageBox = [this](QWidget*, const QString& text, const QString& title, BoxStyle style) {
        boxes.push_back({text, title, style});
        if (boxAnswers.empty())
            return QMessageBox::Yes;
        const QMessageBox::StandardButton answer = boxAnswers.front();
        boxAnswers.pop_front();
        return answer;
    };
    window = std::make_unique<ui::MainWindow>(std::move(services));
}

UiHarness::~UiHarness()
{
    window.reset();
}

void UiHarness::useFolders(const std::vector<std::string>& files)
{
    dir.mkdir("in");
    dir.mkdir("out");
    for (const std::string& name : files)
        dir.write("in/" + name, "content of " + name);
    sourceField()->setText(QString::fromStdString(source()));
    destinationField()->setText(QString::fromStdString(destination()));
}

void UiHarness::click(ui::Command command)
{
    QTest::mouseClick(commandButton(command), Qt::LeftButton);
}

std::size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

namespace {

const char* CommandKey(ui::Command command)
{
    switch (command) {
    case ui::Command::Sieve:
        return "sieve";
    case ui::Command::Stop:
        return "stop";
    case ui::Command::Logging:
        return "logging";
    case ui::Command::About:
        return "about";
    }
    return "";
}

} // namespace

QLineEdit* UiHarness::sourceField() const
{
    return find<QLineEdit>("sourceField");
}
QLineEdit* UiHarness::destinationField() const
{
    return find<QLineEdit>("destinationField");
}
QToolButton* UiHarness::sourceButton() const
{
    return find<QToolButton>("sourceButton");
}
QToolButton* UiHarness::destinationButton() const
{
    return find<QToolButton>("destinationButton");
}
QRadioButton* UiHarness::copyOption() const
{
    return find<QRadioButton>("copyOption");
}
QRadioButton* UiHarness::moveOption() const
{
    return find<QRadioButton>("moveOption");
}
QCheckBox* UiHarness::createFoldersBox() const
{
    return find<QCheckBox>("createFoldersBox");
}
QCheckBox* UiHarness::viewLogBox() const
{
    return find<QCheckBox>("viewLogBox");
}
QLabel* UiHarness::fileProgressValue() const
{
    return find<QLabel>("fileProgressValue");
}
QLabel* UiHarness::currentFileValue() const
{
    return find<QLabel>("currentFileValue");
}
QLabel* UiHarness::processedValue() const
{
    return find<QLabel>("processedValue");
}
QProgressBar* UiHarness::progressBar() const
{
    return find<QProgressBar>("progressBar");
}
QAction* UiHarness::undoAction() const
{
    return find<QAction>("undoAction");
}
QTimer* UiHarness::countTimer() const
{
    return find<QTimer>("countTimer");
}
QTimer* UiHarness::progressTimer() const
{
    return find<QTimer>("progressTimer");
}

QAction* UiHarness::action(ui::Command command) const
{
    return find<QAction>((std::string(CommandKey(command)) + "Action").c_str());
}

QToolButton* UiHarness::commandButton(ui::Command command) const
{
    return find<QToolButton>((std::string(CommandKey(command)) + "Button").c_str());
}

const RunCounters& UiHarness::counters() const
{
    return window->findChild<ui::RunController*>()->counters();
}

bool UiHarness::clickSieveAndWait()
{
    QSignalSpy finished(window.get(), &ui::MainWindow::runFinished);
    click(ui::Command::Sieve);
    return waitFor([&] { return finished.count() > 0; });
}

bool UiHarness::waitFor(const std::function<bool()>& condition, int ms)
{
    return QTest::qWaitFor(condition, ms);
}

std::vector<std::string> UiHarness::logMessages() const
{
    std::vector<std::string> messages;
    const ui::LogWindow* log = window->logWindow();
    if (log == nullptr)
        return messages;
    const ui::LogModel& model = log->model();
    for (std::size_t i = 0; i < model.entryCount(); ++i) {
        const std::string_view text = model.entryText(i);
        const std::size_t dash = text.find(" - ");
        messages.emplace_back(dash == std::string_view::npos ? text : text.substr(dash + 3));
    }
    return messages;
}

} // namespace quillbox::test
