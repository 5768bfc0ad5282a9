#include "tests/ui/ui_harness.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "ui/log/log_model.h"

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
    w().sourceField()->setText(QString::fromStdString(source()));
    w().destinationField()->setText(QString::fromStdString(destination()));
}

void UiHarness::click(ui::Command command)
{
    QTest::mouseClick(w().commandButton(command), Qt::LeftButton);
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
