#include "tests/ui/ui_harness.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "ui/log/log_model.h"

namespace quillbox::test {

namespace {

class CountingListing final : public FileListing {
public:
    CountingListing(std::unique_ptr<FileListing> real, std::function<void(int)> hook)
        : m_real(std::move(real)), m_hook(std::move(hook))
    {
    }
    const std::string& next() override
    {
        const std::string& name = m_real->next();
        if (!name.empty() && m_hook)
            m_hook(++m_counted);
        return name;
    }

private:
    std::unique_ptr<FileListing> m_real;
    std::function<void(int)> m_hook;
    int m_counted = 0;
};

} // namespace

std::unique_ptr<FileListing> HookedFileSystem::listFiles(const std::string& folder)
{
    if (++listings % 2 == 1)
        return std::make_unique<CountingListing>(m_real.listFiles(folder), afterCounted);
    return m_real.listFiles(folder);
}

FsStatus HookedFileSystem::copyFile(const std::string& source, const std::string& target,
                                    const ChunkCallback& betweenChunks)
{
    const FsStatus status = m_real.copyFile(source, target, betweenChunks);
    after();
    return status;
}

FsStatus HookedFileSystem::moveFile(const std::string& source, const std::string& target,
                                    const ChunkCallback& betweenChunks)
{
    const FsStatus status = m_real.moveFile(source, target, betweenChunks);
    after();
    return status;
}

void HookedFileSystem::after()
{
    ++handled;
    if (afterFile)
        afterFile(handled);
}

UiHarness::UiHarness()
{
    ui::MainWindowServices services;
    services.fileSystem = &fs;
    services.clock = &clock;
    services.locale.thousandsSeparator = ",";
    services.locale.timeSeparator = ":";
    services.programFolder = QString::fromStdString(dir.path());
    services.pickFolder = [this](QWidget*, const QString& title) {
        pickerTitles.push_back(title);
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
    window = std::make_unique<ui::wMain>(std::move(services));
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
    w().txtSource()->setText(QString::fromStdString(source()));
    w().txtDestination()->setText(QString::fromStdString(destination()));
}

void UiHarness::click(std::string_view key)
{
    QTest::mouseClick(w().toolbarButton(key), Qt::LeftButton);
}

bool UiHarness::clickSieveAndWait()
{
    QSignalSpy finished(window.get(), &ui::wMain::sieveCommandFinished);
    click(kKeySieve);
    return QTest::qWaitFor([&] { return finished.count() > 0; }, 20000);
}

std::vector<std::string> UiHarness::logMessages() const
{
    std::vector<std::string> messages;
    const ui::wLogging* log = window->logWindow();
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
