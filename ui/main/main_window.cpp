// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QKeySequence>
#include <QLineEdit>
#include <QMetaObject>
#include <QRadioButton>
#include <QScreen>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "core/log/undo_messages.h"
#include "ui/about/about_dialog.h"
#include "ui/about/version_title.h"
#include "ui/common/fonts.h"
#include "ui/common/icons.h"
#include "ui/common/text_bytes.h"
#include "ui/common/twips.h"
#include "ui/main/folder_drop.h"
#include "ui/main/run_controller.h"
#include "ui/main/statistics_view.h"

namespace quillbox::ui {

namespace {

const QString kSourcePickTitle = QStringLiteral("Select the directory that contains the files that require sorting..");
const QString kDestinationPickTitle = QStringLiteral(
    "Select the directory that you would like the (optional) #-Z directories created in, and then the files "
    "copied to..");

QString MoveConfirmationText()
{
    return QStringLiteral("You have selected MOVE for the copymode - all files\n"
                          "contained within the source directory will be moved\n"
                          "to the destination directory.\n"
                          "\n"
                          "ARE YOU SURE YOU WANT TO DO THIS?");
}

} // namespace

MainWindow::MainWindow(MainWindowServices services, QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_services(std::move(services))
    , m_logHost(m_services.messageBox, m_services.pickSaveFile)
    , m_log(m_logHost, *m_services.clock, m_services.locale)
{
    m_run = new RunController({*m_services.fileSystem, *m_services.clock, m_services.journals}, this);
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(VersionTitle(kVersionMajor, kVersionMinor));
    setWindowIcon(PictureIcon(Picture::Program));
    setFixedSize(TwipsSize(4125, 4050));

    // The layout was measured for a narrow 8-point dialog font; Arial's
    // metrics come closest to it, and the prompts ask for Arial anyway.
    setFont(ArialFont(8.25));
    m_form = BuildMainForm(this);
    m_statistics =
        std::make_unique<StatisticsView>(m_form.fileProgressValue, m_form.currentFileValue, m_form.processedValue,
                                         m_form.progressBar, m_services.locale.thousandsSeparator);
    FolderDrop::enable(m_form.sourceField);
    FolderDrop::enable(m_form.destinationField);
    connectCommands();
    setTabOrder();
    centreOnScreen();

    // The program's own folder in both fields, or the home folder where that
    // is no place to sort files in; loading the log window writes its first
    // row.
    m_form.sourceField->setText(StartFolder(m_services.programFolder, QDir::homePath(), m_services.mayWrite) +
                                QLatin1Char('/'));
    m_form.destinationField->setText(m_form.sourceField->text());
    m_log.LogWindow();

    m_undoAction = new QAction(QStringLiteral("Undo last run..."), this);
    m_undoAction->setObjectName(QStringLiteral("undoAction"));
    m_undoAction->setShortcut(QKeySequence::Undo);
    m_undoAction->setEnabled(m_run->canUndo());
    connect(m_undoAction, &QAction::triggered, this,
            [this] { QMetaObject::invokeMethod(this, &MainWindow::undoLastRun, Qt::QueuedConnection); });
    addAction(m_undoAction);
    if (LogWindow* log = m_logHost.window())
        log->list()->addAction(m_undoAction);
}

MainWindow::~MainWindow()
{
    // A run still on (only a window torn down without closing has one) is
    // stopped and waited for before anything it reports to goes.
    delete m_run;
}

void MainWindow::connectCommands()
{
    // The run reads the mode for every file: a switch applies from the next
    // file on.
    connect(m_form.moveOption, &QAbstractButton::toggled, this,
            [this](bool checked) { m_run->setMode(checked ? TransferMode::Move : TransferMode::Copy); });
    connect(m_form.stopAction, &QAction::toggled, this, [this](bool checked) {
        // Once the window is closing, the run stays stopped.
        if (!checked && m_state.phase() == WindowPhase::ClosingAfterRun) {
            m_form.stopAction->setChecked(true);
            return;
        }
        m_run->setStop(checked);
    });

    // The pickers open a modal dialog: start them from the event loop.
    connect(m_form.pickSourceAction, &QAction::triggered, this,
            [this] { QMetaObject::invokeMethod(this, &MainWindow::pickSource, Qt::QueuedConnection); });
    connect(m_form.pickDestinationAction, &QAction::triggered, this,
            [this] { QMetaObject::invokeMethod(this, &MainWindow::pickDestination, Qt::QueuedConnection); });
    // Stop toggles by itself. The other commands run from the event loop, so
    // that a click (or an assistive tool's press) returns at once instead of
    // waiting for a modal box.
    connect(m_form.commandBar, &QToolBar::actionTriggered, this, [this](QAction* action) {
        switch (static_cast<Command>(action->data().toInt())) {
        case Command::Sieve:
            QMetaObject::invokeMethod(this, &MainWindow::startSieve, Qt::QueuedConnection);
            break;
        case Command::Logging:
            QMetaObject::invokeMethod(this, &MainWindow::showLog, Qt::QueuedConnection);
            break;
        case Command::About:
            QMetaObject::invokeMethod(this, &MainWindow::showAbout, Qt::QueuedConnection);
            break;
        case Command::Stop:
            break;
        }
    });

    connect(m_run, &RunController::entriesLogged, this, &MainWindow::onEntriesLogged);
    connect(m_run, &RunController::logWindowRequested, this, [this] { m_log.ShowLogWindow(); });
    connect(m_run, &RunController::phaseReached, this, [this](RunPhase phase, const RunFigures& figures) {
        m_statistics->showPhase(phase, figures, m_run->currentName());
    });
    connect(m_run, &RunController::countTick, this,
            [this](const RunFigures& figures) { m_statistics->showCountLine(figures); });
    connect(m_run, &RunController::progressTick, this,
            [this](const RunFigures& figures) { m_statistics->showProgress(figures, m_run->currentName()); });
    connect(m_run, &RunController::runEnded, this,
            [this](RunEnd, const RunFigures& last, bool processing) { onRunEnded(last, processing); });
}

void MainWindow::setTabOrder()
{
    QWidget* order[] = {
        m_form.sourceField,
        m_form.sourceButton,
        m_form.copyOption,
        m_form.moveOption,
        m_form.createFoldersBox,
        m_form.viewLogBox,
        m_form.button(Command::Sieve),
        m_form.button(Command::Stop),
        m_form.button(Command::Logging),
        m_form.button(Command::About),
        m_form.destinationField,
        m_form.destinationButton,
    };
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    m_form.sourceField->setFocus();
}

void MainWindow::centreOnScreen()
{
    if (QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

// ---- Commands --------------------------------------------------------------

void MainWindow::openFolders(const QString& source, const QString& destination)
{
    const auto withSeparator = [](const QString& path) { return WithTrailingSeparator(path); };
    if (source.isEmpty())
        return;
    m_form.sourceField->setText(withSeparator(source));
    m_form.destinationField->setText(withSeparator(destination.isEmpty() ? source : destination));
}

template <class F>
bool MainWindow::runModalCommand(F&& command)
{
    if (!m_state.openModal())
        return false;
    command();
    if (m_state.closeModal())
        close();
    return true;
}

QString MainWindow::pickFolder(QAction* picker, const QString& title)
{
    if (!picker->isEnabled() || isRunning())
        return {};
    QString path;
    runModalCommand([&] {
        path = m_services.pickFolder(this, title);
        // The window may have been asked to close meanwhile: a folder
        // chosen then is not used.
        if (m_state.isClosing())
            path.clear();
    });
    return path.isEmpty() ? path : WithTrailingSeparator(path);
}

void MainWindow::pickSource()
{
    const QString path = pickFolder(m_form.pickSourceAction, kSourcePickTitle);
    if (path.isEmpty())
        return;
    m_form.sourceField->setText(path);
    m_form.destinationField->setText(path);
}

void MainWindow::pickDestination()
{
    const QString path = pickFolder(m_form.pickDestinationAction, kDestinationPickTitle);
    if (!path.isEmpty())
        m_form.destinationField->setText(path);
}

void MainWindow::showLog()
{
    m_log.ShowLogWindow();
}

void MainWindow::showAbout()
{
    if (!m_form.aboutAction->isEnabled() || isRunning())
        return;
    runModalCommand([this] {
        // Loaded afresh for every showing, and gone when closed.
        AboutDialog about(this, m_services.messageBox);
        about.exec();
    });
}

void MainWindow::startSieve()
{
    // A click queued before the run locked the toolbar finds it running.
    if (isRunning() || !m_form.sieveAction->isEnabled())
        return;
    bool confirmed = true;
    const bool ran = runModalCommand([this, &confirmed] {
        if (m_form.moveOption->isChecked()) {
            const auto answer = m_services.messageBox(this, MoveConfirmationText(),
                                                      QStringLiteral("Move confirmation.."), BoxStyle::YesNoQuestion);
            confirmed = answer == QMessageBox::Yes;
        }
        // The window may have been asked to close while the box was open.
        confirmed = confirmed && !m_state.isClosing();
    });
    if (!ran || !confirmed || !m_state.startRun())
        return;

    // Both fields end in the separator before the run reads them.
    for (QLineEdit* field : {m_form.sourceField, m_form.destinationField}) {
        if (const QString text = WithTrailingSeparator(field->text()); text != field->text())
            field->setText(text);
    }
    RunRequest request;
    request.source = NameBytes(m_form.sourceField->text());
    request.destination = NameBytes(m_form.destinationField->text());
    request.mode = m_form.moveOption->isChecked() ? TransferMode::Move : TransferMode::Copy;
    request.createDirs = m_form.createFoldersBox->isChecked();
    lockForRun(true);
    m_run->start(request);
}

void MainWindow::undoLastRun()
{
    if (!m_run->canUndo() || isRunning() || !m_undoAction->isEnabled())
        return;
    const std::optional<JournalSummary> last = m_run->newestToTakeBack();
    std::string id;
    bool confirmed = false;
    const bool ran = runModalCommand([&] {
        if (!last) {
            m_services.messageBox(this, QStringLiteral("There is no run to take back."),
                                  QStringLiteral("Undo last run.."), BoxStyle::Information);
            return;
        }
        const JournalSummary& run = *last;
        const QString what = QString::fromStdString(TakeBackPlanMessage(run));
        const QString text = QStringLiteral("Take back the run of %1?\n\n%2\n\nOnly files that are still as the "
                                            "run left them are touched; nothing is replaced.")
                                 .arg(NameText(RunDescription(run.header)), what);
        confirmed = m_services.messageBox(this, text, QStringLiteral("Undo last run.."), BoxStyle::YesNoQuestion) ==
                QMessageBox::Yes &&
            !m_state.isClosing();
        id = run.id;
    });
    if (!ran || !confirmed || !m_state.startRun())
        return;
    RunRequest request;
    request.kind = RunKind::Undo;
    request.run = id;
    lockForRun(true);
    m_run->start(request);
}

void MainWindow::lockForRun(bool locked)
{
    m_form.pickSourceAction->setEnabled(!locked);
    m_form.pickDestinationAction->setEnabled(!locked);
    m_form.sieveAction->setEnabled(!locked);
    m_form.aboutAction->setEnabled(!locked);
    m_form.stopAction->setEnabled(locked);
    if (!locked)
        m_form.stopAction->setChecked(false);
    m_form.sourceField->setEnabled(!locked);
    m_form.destinationField->setEnabled(!locked);
    m_form.createFoldersBox->setEnabled(!locked);
    if (m_undoAction != nullptr)
        m_undoAction->setEnabled(!locked && m_run->canUndo());
}

void MainWindow::onEntriesLogged(const std::vector<LogEntry>& entries)
{
    for (const LogEntry& entry : entries)
        m_log.append(entry);
}

void MainWindow::onRunEnded(const RunFigures& last, bool processing)
{
    m_statistics->showEnd(last, processing);
    const bool closeNow = m_state.endRun();
    lockForRun(false);
    if (m_form.viewLogBox->isChecked())
        m_log.ShowLogWindow();
    emit runFinished();
    if (closeNow)
        close();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    switch (m_state.requestClose()) {
    case CloseAnswer::Accept:
        m_logHost.forceUnload();
        event->accept();
        return;
    case CloseAnswer::StopAndWait:
        // Closing during a run stops it; the window closes once the run has
        // ended through its usual ending.
        m_run->setStop(true);
        m_form.stopAction->setChecked(true);
        break;
    case CloseAnswer::Wait:
        // The window closes once the modal window has closed.
        break;
    }
    event->ignore();
}

} // namespace quillbox::ui
