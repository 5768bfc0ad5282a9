#include "ui/main/main_window.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QRadioButton>
#include <QScreen>
#include <QThread>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "core/statistics_text.h"
#include "ui/about/about_dialog.h"
#include "ui/about/version_title.h"
#include "ui/common/icons.h"
#include "ui/common/twips.h"
#include "ui/main/folder_drop.h"
#include "ui/services/locale_facts.h"

namespace quillbox::ui {

namespace {

constexpr int kCountTimerMs = 200;
constexpr int kProgressTimerMs = 250;
// Pixels between a statistics caption and its value.
constexpr int kCaptionGap = 6;

const QString kSourcePickTitle =
    QStringLiteral("Select the directory that contains the files that require sorting..");
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

// The main toolbar's buttons carry no tooltip, although Qt would show their
// captions as one.
class NoToolTip final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ToolTip)
            return true;
        return QObject::eventFilter(watched, event);
    }
};

// A toolbar's overflow button never shows in this fixed layout; it still
// gets a name, since assistive tools list it.
void NameExtensionButton(QToolBar* bar)
{
    if (auto* more = bar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button")))
        more->setAccessibleName(QStringLiteral("More buttons"));
}

QString Bytes(const std::string& bytes)
{
    return QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

QString Utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToBytes(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

// Arial where the system has it or a font with its metrics; fontconfig
// picks the nearest one otherwise.
QFont ArialFont(double points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(false);
    return font;
}

} // namespace

MainWindowServices SystemServices(FileSystem& fileSystem, Clock& clock, JournalStore* journals)
{
    MainWindowServices services;
    services.fileSystem = &fileSystem;
    services.clock = &clock;
    services.journals = journals;
    services.locale = SystemLocaleFacts();
    services.pickFolder = BrowseForFolder;
    services.messageBox = ShowMessageBox;
    services.programFolder = ProgramFolder();
    return services;
}

MainWindow::MainWindow(MainWindowServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_services(std::move(services))
    , m_logHost(m_services.messageBox, m_services.pickSaveFile)
    , m_log(m_logHost, *m_services.clock, m_services.locale)
    , m_job(*m_services.fileSystem, *m_services.clock, m_bridge, m_services.journals)
    , m_counters(&m_job.counters())
{
    if (m_services.journals != nullptr)
        m_undo = std::make_unique<UndoJob>(*m_services.fileSystem, *m_services.journals, *m_services.clock, m_bridge);
    setObjectName(QStringLiteral("wMain"));
    setWindowTitle(VersionTitle(kVersionMajor, kVersionMinor));
    setWindowIcon(PictureIcon(Picture::Program));
    setFixedSize(TwipsSize(4125, 4050));

    // The layout was measured for a narrow 8-point dialog font; Arial's
    // metrics come closest to it, and the prompts ask for Arial anyway.
    setFont(ArialFont(8.25));

    buildOptionsFrame();
    buildStatisticsFrame();
    // Frames with their caption on the top border line, so the first row of
    // controls sits inside the border where the layout puts it.
    const QString frameStyle = QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px;"
        " padding: 0px 2px; }");
    m_statisticsFrame->setStyleSheet(frameStyle);
    m_optionsFrame->setStyleSheet(frameStyle);
    buildToolbars();
    setTabOrder();

    m_countTimer.setInterval(kCountTimerMs);
    m_progressTimer.setInterval(kProgressTimerMs);
    connect(&m_countTimer, &QTimer::timeout, this, [this] { showCountLine(m_counters->figures()); });
    connect(&m_progressTimer, &QTimer::timeout, this, [this] { showProgress(m_counters->figures()); });

    connect(&m_bridge, &RunBridge::entriesLogged, this, &MainWindow::onEntriesLogged);
    connect(&m_bridge, &RunBridge::logWindowRequested, this, [this] { m_log.ShowLogWindow(); });
    connect(&m_bridge, &RunBridge::phaseReached, this, &MainWindow::onPhaseReached);
    connect(&m_bridge, &RunBridge::runEnded, this,
            [this](RunEnd, const RunFigures& last) { onRunEnded(last); });

    centreOnScreen();

    // The program's own folder in both fields; loading the log window
    // writes its first row.
    m_sourceField->setText(m_services.programFolder + QLatin1Char('/'));
    m_destinationField->setText(m_sourceField->text());
    m_log.LogWindow();

    m_undoAction = new QAction(QStringLiteral("Undo last run..."), this);
    m_undoAction->setObjectName(QStringLiteral("undoLastRun"));
    m_undoAction->setShortcut(QKeySequence::Undo);
    m_undoAction->setEnabled(m_undo != nullptr);
    connect(m_undoAction, &QAction::triggered, this, [this] {
        QMetaObject::invokeMethod(this, &MainWindow::undoLastRun, Qt::QueuedConnection);
    });
    addAction(m_undoAction);
    if (LogWindow* log = m_logHost.window())
        log->list()->addAction(m_undoAction);
}

MainWindow::~MainWindow()
{
    m_countTimer.stop();
    m_progressTimer.stop();
    if (m_worker != nullptr) {
        // Only a window torn down without closing gets here with a run on.
        m_controls.stop.store(true);
        m_worker->wait();
        delete m_worker;
    }
}

QFont MainWindow::regularFont() const
{
    QFont regular = font();
    regular.setBold(false);
    return regular;
}

// A frame titled in bold. The controls in it are given the regular weight
// explicitly, or they would inherit the frame's bold.
QGroupBox* MainWindow::addFrame(const QString& title, const char* objectName, const QRect& geometry)
{
    QFont bold = regularFont();
    bold.setBold(true);
    auto* frame = new QGroupBox(title, this);
    frame->setObjectName(QString::fromLatin1(objectName));
    frame->setFont(bold);
    frame->setGeometry(geometry);
    return frame;
}

void MainWindow::buildOptionsFrame()
{
    const QFont normal = regularFont();
    m_optionsFrame = addFrame(QStringLiteral("Options"), "Frame2", Twips(30, 30, 4065, 2070));

    m_sourcePrompt = new QLabel(QStringLiteral("Select the directory containing the files to sort."), m_optionsFrame);
    m_sourcePrompt->setObjectName(QStringLiteral("Label2"));
    m_sourcePrompt->setFont(ArialFont(8.25));
    m_sourcePrompt->setTextFormat(Qt::PlainText);
    m_sourcePrompt->setGeometry(Twips(165, 285, 3645, 225));

    m_sourceField = new QLineEdit(m_optionsFrame);
    m_sourceField->setObjectName(QStringLiteral("txtSource"));
    m_sourceField->setFont(normal);
    m_sourceField->setGeometry(Twips(150, 510, 3390, 285));
    m_sourceField->setAccessibleName(m_sourcePrompt->text());
    m_sourcePrompt->setBuddy(m_sourceField);

    m_destinationPrompt = new QLabel(QStringLiteral("Select where to place the created dirs+files."), m_optionsFrame);
    m_destinationPrompt->setObjectName(QStringLiteral("Label5"));
    m_destinationPrompt->setFont(ArialFont(8.25));
    m_destinationPrompt->setGeometry(Twips(180, 885, 3645, 225));

    m_destinationField = new QLineEdit(m_optionsFrame);
    m_destinationField->setObjectName(QStringLiteral("txtDestination"));
    m_destinationField->setFont(normal);
    m_destinationField->setGeometry(Twips(165, 1110, 3390, 285));
    m_destinationField->setAccessibleName(m_destinationPrompt->text());
    m_destinationPrompt->setBuddy(m_destinationField);
    FolderDrop::enable(m_sourceField);
    FolderDrop::enable(m_destinationField);

    m_copyOption = new QRadioButton(QStringLiteral("Copy the files"), m_optionsFrame);
    m_copyOption->setObjectName(QStringLiteral("optCopyMode0"));
    m_copyOption->setFont(normal);
    m_copyOption->setToolTip(QStringLiteral("Make a copy of the files"));
    m_copyOption->setGeometry(Twips(165, 1470, 1320, 255));
    m_copyOption->setChecked(true);

    m_moveOption = new QRadioButton(QStringLiteral("Move the files"), m_optionsFrame);
    m_moveOption->setObjectName(QStringLiteral("optCopyMode1"));
    m_moveOption->setFont(normal);
    m_moveOption->setToolTip(QStringLiteral("Copy the files and then delete the originals"));
    m_moveOption->setGeometry(Twips(165, 1725, 1320, 255));
    // The run reads the mode for every file: a switch applies from the next
    // file on.
    connect(m_moveOption, &QAbstractButton::toggled, this, [this](bool checked) {
        m_controls.mode.store(checked ? TransferMode::Move : TransferMode::Copy);
    });

    m_createFoldersBox = new QCheckBox(QStringLiteral("Create #-Z directories"), m_optionsFrame);
    m_createFoldersBox->setObjectName(QStringLiteral("chkCreateDirs"));
    m_createFoldersBox->setFont(normal);
    m_createFoldersBox->setGeometry(Twips(1725, 1470, 1860, 270));
    m_createFoldersBox->setChecked(true);

    m_viewLogBox = new QCheckBox(QStringLiteral("View log when done"), m_optionsFrame);
    m_viewLogBox->setObjectName(QStringLiteral("chkViewLogWhenDone"));
    m_viewLogBox->setFont(normal);
    m_viewLogBox->setToolTip(QStringLiteral("Display the log window when operation has completed"));
    m_viewLogBox->setGeometry(Twips(1725, 1725, 1860, 270));

    // Where this platform's indicator and font need more room than the layout
    // gives, a choice widens to the right, up to its neighbour or the frame.
    auto widenToFit = [](QWidget* control, int rightLimit) {
        const int wanted = std::min(control->sizeHint().width(), rightLimit - control->x());
        if (wanted > control->width())
            control->resize(wanted, control->height());
    };
    widenToFit(m_copyOption, m_createFoldersBox->x() - 2);
    widenToFit(m_moveOption, m_viewLogBox->x() - 2);
    widenToFit(m_createFoldersBox, m_optionsFrame->width() - 4);
    widenToFit(m_viewLogBox, m_optionsFrame->width() - 4);
}

void MainWindow::buildStatisticsFrame()
{
    const QFont normal = regularFont();
    m_statisticsFrame = addFrame(QStringLiteral("Statistics"), "Frame1", Twips(30, 2190, 4065, 1470));

    // Each caption is as wide as its text, and its value starts after it
    // with a gap, wherever this font puts the colon.
    auto addRow = [&](const char* captionName, const QString& caption, const QString& tip, const char* valueName,
                      int top) {
        auto* label = new QLabel(caption, m_statisticsFrame);
        label->setObjectName(QString::fromLatin1(captionName));
        label->setFont(normal);
        label->setTextFormat(Qt::PlainText);
        label->setToolTip(tip);
        const QRect captionArea = Twips(225, top, 1080, 195);
        const int captionWidth = label->fontMetrics().horizontalAdvance(caption);
        label->setGeometry(captionArea.x(), captionArea.y(), captionWidth, captionArea.height());

        auto* value = new QLabel(QStringLiteral("--"), m_statisticsFrame);
        value->setObjectName(QString::fromLatin1(valueName));
        value->setFont(normal);
        value->setTextFormat(Qt::PlainText);
        const QRect valueArea = Twips(1305, top, 2655, 195);
        const int left = std::max(valueArea.x(), captionArea.x() + captionWidth + kCaptionGap);
        value->setGeometry(left, valueArea.y(), valueArea.right() + 1 - left, valueArea.height());
        value->setAccessibleDescription(tip);
        return value;
    };
    m_fileProgress = addRow("Label1", QStringLiteral("File Progress :"), QStringLiteral("current file OF total files"),
                            "labFileProgress", 255);
    m_currentFile = addRow("Label3", QStringLiteral("Current File   :"),
                           QStringLiteral("Filename of the file currently being processed"), "labCurrentFile", 495);
    m_processed = addRow("Label4", QStringLiteral("Processed    :"), QStringLiteral("Processed megabytes of data"),
                         "labMBMoved", 735);

    m_progressBar = new QProgressBar(m_statisticsFrame);
    m_progressBar->setObjectName(QStringLiteral("prgProgress"));
    m_progressBar->setFont(normal);
    m_progressBar->setGeometry(Twips(120, 1005, 3810, 345));
    m_progressBar->setToolTip(QStringLiteral("Progress of operation"));
    m_progressBar->setAccessibleName(QStringLiteral("Progress of operation"));
    m_progressBar->setTextVisible(false);
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
}

void MainWindow::buildToolbars()
{
    const QFont normal = font();
    auto* noToolTip = new NoToolTip(this);

    auto makeFolderBar = [&](const char* name, QWidget* frame, QRect geometry, QAction*& action,
                             const QString& accessibleName, const QString& tip) {
        auto* bar = new QToolBar(frame);
        bar->setObjectName(QString::fromLatin1(name));
        bar->setMovable(false);
        bar->setFloatable(false);
        bar->setIconSize(QSize(16, 16));
        bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
        bar->setContentsMargins(0, 0, 0, 0);
        bar->layout()->setContentsMargins(0, 0, 0, 0);
        bar->layout()->setSpacing(0);
        bar->setGeometry(geometry);
        bar->setAccessibleName(accessibleName);
        NameExtensionButton(bar);
        action = bar->addAction(FolderButtonIcon(), QString());
        action->setToolTip(tip);
        auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(action));
        button->setObjectName(QString::fromLatin1(name) + QStringLiteral("Button1"));
        button->setAutoRaise(true);
        button->setFixedSize(TwipsSize(345, 330));
        button->setFocusPolicy(Qt::TabFocus);
        button->setAccessibleName(accessibleName);
        if (tip.isEmpty())
            button->installEventFilter(noToolTip);
        return bar;
    };
    m_sourceBar = makeFolderBar("tbrSource", m_optionsFrame, Twips(3600, 480, 345, 330), m_pickSourceAction,
                                QStringLiteral("Select source directory.."), QStringLiteral("Select source directory.."));
    m_destinationBar = makeFolderBar("tbrDestination", m_optionsFrame, Twips(3600, 1080, 345, 330), m_pickDestinationAction,
                                     QStringLiteral("Select destination directory.."), QString());
    // The pickers open a modal dialog: start them from the event loop.
    connect(m_pickSourceAction, &QAction::triggered, this, [this] {
        QMetaObject::invokeMethod(this, &MainWindow::pickSource, Qt::QueuedConnection);
    });
    connect(m_pickDestinationAction, &QAction::triggered, this, [this] {
        QMetaObject::invokeMethod(this, &MainWindow::pickDestination, Qt::QueuedConnection);
    });

    m_commandBar = new QToolBar(this);
    m_commandBar->setObjectName(QStringLiteral("tbrDoSieve"));
    m_commandBar->setMovable(false);
    m_commandBar->setFloatable(false);
    m_commandBar->setIconSize(QSize(16, 16));
    m_commandBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_commandBar->setFont(normal);
    m_commandBar->setContentsMargins(0, 0, 0, 0);
    m_commandBar->layout()->setContentsMargins(0, 0, 0, 0);
    m_commandBar->layout()->setSpacing(0);
    m_commandBar->setGeometry(Twips(135, 3690, 4080, 330));
    m_commandBar->setAccessibleName(QStringLiteral("Sieve commands"));
    NameExtensionButton(m_commandBar);

    auto addButton = [&](Command command, const char* key, const QString& caption, Picture picture) {
        QAction* action = m_commandBar->addAction(PictureIcon(picture), caption);
        const QString keyText = QString::fromLatin1(key);
        action->setObjectName(keyText);
        action->setData(static_cast<int>(command));
        auto* button = qobject_cast<QToolButton*>(m_commandBar->widgetForAction(action));
        button->setObjectName(QStringLiteral("tbrDoSieve") + keyText);
        button->setFixedSize(TwipsSize(960, 330));
        button->setFocusPolicy(Qt::TabFocus);
        button->setAccessibleName(caption);
        button->installEventFilter(noToolTip);
        return action;
    };
    m_sieveAction = addButton(Command::Sieve, "_sieve", QStringLiteral("Sieve!"), Picture::Sieve);
    m_stopAction = addButton(Command::Stop, "_stop", QStringLiteral("Stop!"), Picture::Warning);
    m_stopAction->setCheckable(true);
    m_stopAction->setEnabled(false);
    connect(m_stopAction, &QAction::toggled, this, [this](bool checked) {
        // Once the window is closing, the run stays stopped.
        if (!checked && m_closeRequested && isRunning()) {
            m_stopAction->setChecked(true);
            return;
        }
        m_controls.stop.store(checked);
    });
    m_loggingAction = addButton(Command::Logging, "_logging", QStringLiteral("Logging"), Picture::Logging);
    m_aboutAction = addButton(Command::About, "_about", QStringLiteral("About"), Picture::Information);

    // Stop toggles by itself. The other commands run from the event loop, so
    // that a click (or an assistive tool's press) returns at once instead of
    // waiting for a modal box.
    connect(m_commandBar, &QToolBar::actionTriggered, this, [this](QAction* action) {
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
}

void MainWindow::setTabOrder()
{
    QWidget* order[] = {
        m_sourceField,
        sourceButton(),
        m_copyOption,
        m_moveOption,
        m_createFoldersBox,
        m_viewLogBox,
        commandButton(Command::Sieve),
        commandButton(Command::Stop),
        commandButton(Command::Logging),
        commandButton(Command::About),
        m_destinationField,
        destinationButton(),
    };
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    m_sourceField->setFocus();
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
    const auto withSeparator = [](QString path) {
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        return path;
    };
    if (source.isEmpty())
        return;
    m_sourceField->setText(withSeparator(source));
    m_destinationField->setText(withSeparator(destination.isEmpty() ? source : destination));
}

template <class F>
void MainWindow::runModalCommand(F&& command)
{
    if (m_modalOpen)
        return;
    m_modalOpen = true;
    command();
    m_modalOpen = false;
    if (m_closeRequested && !isRunning()) {
        m_closeRequested = false;
        close();
    }
}

QString MainWindow::pickFolder(QAction* picker, const QString& title)
{
    if (!picker->isEnabled() || isRunning())
        return {};
    QString path;
    runModalCommand([&] {
        path = m_services.pickFolder(this, title);
        // The run may have been started, or the window closed, meanwhile:
        // a folder chosen then is not used.
        if (isRunning() || m_closeRequested)
            path.clear();
    });
    if (!path.isEmpty() && !path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

void MainWindow::pickSource()
{
    const QString path = pickFolder(m_pickSourceAction, kSourcePickTitle);
    if (path.isEmpty())
        return;
    m_sourceField->setText(path);
    m_destinationField->setText(path);
}

void MainWindow::pickDestination()
{
    const QString path = pickFolder(m_pickDestinationAction, kDestinationPickTitle);
    if (!path.isEmpty())
        m_destinationField->setText(path);
}

void MainWindow::showLog()
{
    m_log.ShowLogWindow();
}

void MainWindow::showAbout()
{
    if (!m_aboutAction->isEnabled() || isRunning())
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
    if (isRunning() || !m_sieveAction->isEnabled())
        return;
    bool confirmed = true;
    runModalCommand([this, &confirmed] {
        if (m_moveOption->isChecked()) {
            const auto answer = m_services.messageBox(this, MoveConfirmationText(),
                                                      QStringLiteral("Move confirmation.."), BoxStyle::YesNoQuestion);
            confirmed = answer == QMessageBox::Yes;
        }
        // The window may have been asked to close while the box was open.
        confirmed = confirmed && !m_closeRequested;
    });
    if (!confirmed || m_modalOpen || isRunning())
        return;

    // Both fields end in the separator before the run reads them.
    for (QLineEdit* field : {m_sourceField, m_destinationField}) {
        if (!field->text().endsWith(QLatin1Char('/')))
            field->setText(field->text() + QLatin1Char('/'));
    }
    RunSettings settings;
    settings.source = ToBytes(m_sourceField->text());
    settings.destination = ToBytes(m_destinationField->text());
    settings.createFolders = m_createFoldersBox->isChecked();
    m_controls.stop.store(false);
    m_controls.mode.store(m_moveOption->isChecked() ? TransferMode::Move : TransferMode::Copy);

    startOnWorker([this, settings = std::move(settings)] { m_job.run(settings, m_controls); }, m_job.counters());
}

template <class Work>
void MainWindow::startOnWorker(Work&& work, const RunCounters& counters)
{
    m_counters = &counters;
    lockForRun(true);
    m_worker = QThread::create(std::forward<Work>(work));
    m_worker->setObjectName(QStringLiteral("sieve run"));
    m_worker->start();
}

void MainWindow::undoLastRun()
{
    if (m_undo == nullptr || isRunning() || !m_undoAction->isEnabled())
        return;
    const std::optional<JournalSummary> last = m_services.journals->newestToTakeBack();
    std::string id;
    bool confirmed = false;
    runModalCommand([&] {
        if (!last) {
            m_services.messageBox(this, QStringLiteral("There is no run to take back."),
                                  QStringLiteral("Undo last run.."), BoxStyle::Information);
            return;
        }
        const JournalSummary& run = *last;
        const QString count = QString::number(run.files);
        const QString what = run.header.mode == TransferMode::Move
                                 ? QStringLiteral("It will put back %1 moved file(s).").arg(count)
                                 : QStringLiteral("It will remove %1 copied file(s).").arg(count);
        const QString text = QStringLiteral("Take back the run of %1?\n\n%2\n\nOnly files that are still as the "
                                            "run left them are touched; nothing is replaced.")
                                 .arg(Bytes(RunDescription(run.header)), what);
        confirmed = m_services.messageBox(this, text, QStringLiteral("Undo last run.."), BoxStyle::YesNoQuestion) ==
                        QMessageBox::Yes &&
                    !m_closeRequested;
        id = run.id;
    });
    if (!confirmed || m_modalOpen || isRunning())
        return;
    m_controls.stop.store(false);
    startOnWorker([this, id] { m_undo->run(id, m_controls); }, m_undo->counters());
}

void MainWindow::lockForRun(bool locked)
{
    m_pickSourceAction->setEnabled(!locked);
    m_pickDestinationAction->setEnabled(!locked);
    m_sieveAction->setEnabled(!locked);
    m_aboutAction->setEnabled(!locked);
    m_stopAction->setEnabled(locked);
    if (!locked)
        m_stopAction->setChecked(false);
    m_sourceField->setEnabled(!locked);
    m_destinationField->setEnabled(!locked);
    m_createFoldersBox->setEnabled(!locked);
    if (m_undoAction != nullptr)
        m_undoAction->setEnabled(!locked && m_undo != nullptr);
}

void MainWindow::onEntriesLogged(const std::vector<LogEntry>& entries)
{
    for (const LogEntry& entry : entries)
        m_log.append(entry);
}

void MainWindow::onPhaseReached(RunPhase phase, const RunFigures& figures)
{
    switch (phase) {
    case RunPhase::Counting:
        m_currentFile->setText(QStringLiteral("Counting files.."));
        m_countTimer.start();
        break;
    case RunPhase::Counted:
        m_countTimer.stop();
        showCountLine(figures);
        break;
    case RunPhase::NoFiles:
        m_countTimer.stop();
        showCountLine(figures);
        m_fileProgress->setText(QStringLiteral("No files were found. Check Log."));
        break;
    case RunPhase::Processing:
        m_found = figures.filesFound;
        showBar(0, m_found);
        m_progressTimer.start();
        break;
    case RunPhase::Processed:
        m_progressTimer.stop();
        showProgress(figures);
        showBar(m_found, m_found);
        break;
    }
}

void MainWindow::onRunEnded(const RunFigures& last)
{
    // The run's thread has nothing left to do but return.
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;

    m_countTimer.stop();
    // A run stopped while processing leaves the bar where it stopped; the
    // labels keep what they showed last.
    if (m_progressTimer.isActive())
        showBar(std::min(last.filesProcessed, m_found), m_found);
    m_progressTimer.stop();
    const bool closing = m_closeRequested;
    m_closeRequested = false;
    lockForRun(false);
    if (m_viewLogBox->isChecked())
        m_log.ShowLogWindow();
    emit runFinished();
    if (closing && !m_modalOpen)
        close();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (isRunning() || m_modalOpen) {
        // Closing during a run stops it; the window closes once the run has
        // ended through its usual ending (or the modal window has closed).
        m_closeRequested = true;
        if (isRunning()) {
            m_controls.stop.store(true);
            m_stopAction->setChecked(true);
        }
        event->ignore();
        return;
    }
    m_logHost.forceUnload();
    event->accept();
}

// ---- Statistics -----------------------------------------------------------

void MainWindow::showCountLine(const RunFigures& figures)
{
    m_currentFile->setText(Utf8(CountLineText(figures)));
}

void MainWindow::showProgress(const RunFigures& figures)
{
    const std::string& separator = m_services.locale.thousandsSeparator;
    m_fileProgress->setText(Utf8(FileProgressText(figures, separator)));
    m_currentFile->setText(Bytes(m_bridge.currentName()));
    m_processed->setText(Utf8(BytesText(figures, separator)));
    // Files added to the folder after counting leave the bar full.
    showBar(std::min(figures.filesProcessed, m_found), m_found);
}

void MainWindow::showBar(double value, double max)
{
    // The widget counts in int: a range that does not fit is shown scaled.
    constexpr double kIntMax = std::numeric_limits<int>::max();
    int shownMax = 0;
    int shownValue = 0;
    if (max <= kIntMax) {
        shownMax = static_cast<int>(max);
        shownValue = static_cast<int>(value);
    } else {
        constexpr int kSteps = 1'000'000;
        shownMax = kSteps;
        shownValue = static_cast<int>(std::floor(value / max * kSteps));
    }
    if (m_progressBar->minimum() != 0 || m_progressBar->maximum() != shownMax)
        m_progressBar->setRange(0, shownMax);
    m_progressBar->setValue(shownValue);
}

// ---- Controls -------------------------------------------------------------

QAction* MainWindow::action(Command command) const
{
    switch (command) {
    case Command::Sieve: return m_sieveAction;
    case Command::Stop: return m_stopAction;
    case Command::Logging: return m_loggingAction;
    case Command::About: return m_aboutAction;
    }
    return nullptr;
}

QToolButton* MainWindow::commandButton(Command command) const
{
    return qobject_cast<QToolButton*>(m_commandBar->widgetForAction(action(command)));
}

QToolButton* MainWindow::sourceButton() const
{
    return qobject_cast<QToolButton*>(m_sourceBar->widgetForAction(m_pickSourceAction));
}

QToolButton* MainWindow::destinationButton() const
{
    return qobject_cast<QToolButton*>(m_destinationBar->widgetForAction(m_pickDestinationAction));
}

} // namespace quillbox::ui
