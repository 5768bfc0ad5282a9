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
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QRadioButton>
#include <QScreen>
#include <QToolBar>
#include <QToolButton>

#include "ui/main/event_pump.h"
#include "ui/common/icons.h"
#include "core/statistics_text.h"
#include "platform/system_clock.h"
#include "ui/services/locale_facts.h"
#include "ui/common/twips.h"
#include "ui/about/about_dialog.h"

namespace quillbox::ui {

namespace {

constexpr int kCountTimerMs = 200;
constexpr int kProgressTimerMs = 250;

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

MainWindowServices SystemServices(FileSystem& fileSystem, Clock& clock)
{
    MainWindowServices services;
    services.fileSystem = &fileSystem;
    services.clock = &clock;
    services.locale = SystemLocaleFacts();
    services.pickFolder = BrowseForFolder;
    services.messageBox = ShowMessageBox;
    services.programFolder = ProgramFolder();
    return services;
}

wMain::wMain(MainWindowServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_services(std::move(services))
    , m_logHost(m_services.messageBox)
    , m_log(m_logHost, *m_services.clock, m_services.locale)
    , m_sieve(*this, m_log, *m_services.fileSystem)
{
    setObjectName(QStringLiteral("wMain"));
    setWindowTitle(QStringLiteral("Quillbox v0.97"));
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
    m_frame1->setStyleSheet(frameStyle);
    m_frame2->setStyleSheet(frameStyle);
    buildToolbars();
    setTabOrderByIndex();

    m_tmrCountFiles.setInterval(kCountTimerMs);
    m_tmrTimer.setInterval(kProgressTimerMs);
    connect(&m_tmrCountFiles, &QTimer::timeout, this, &wMain::tmrCountFiles_Timer);
    connect(&m_tmrTimer, &QTimer::timeout, this, &wMain::tmrTimer_Timer);

    centreOnScreen();
    Form_Load();
}

wMain::~wMain()
{
    m_tmrCountFiles.stop();
    m_tmrTimer.stop();
}

void wMain::buildOptionsFrame()
{
    // Set the weight explicitly, or the controls would inherit the frame's bold.
    QFont normal = font();
    normal.setBold(false);
    QFont bold = normal;
    bold.setBold(true);

    m_frame2 = new QGroupBox(QStringLiteral("Options"), this);
    m_frame2->setObjectName(QStringLiteral("Frame2"));
    m_frame2->setFont(bold);
    m_frame2->setGeometry(Twips(30, 30, 4065, 2070));

    m_label2 = new QLabel(QStringLiteral("Select the directory containing the files to sort."), m_frame2);
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_label2->setFont(ArialFont(8.25));
    m_label2->setTextFormat(Qt::PlainText);
    m_label2->setGeometry(Twips(165, 285, 3645, 225));

    m_txtSource = new QLineEdit(m_frame2);
    m_txtSource->setObjectName(QStringLiteral("txtSource"));
    m_txtSource->setFont(normal);
    m_txtSource->setGeometry(Twips(150, 510, 3390, 285));
    m_txtSource->setAccessibleName(m_label2->text());
    m_label2->setBuddy(m_txtSource);

    m_label5 = new QLabel(QStringLiteral("Select where to place the created dirs+files."), m_frame2);
    m_label5->setObjectName(QStringLiteral("Label5"));
    m_label5->setFont(ArialFont(8.25));
    m_label5->setGeometry(Twips(180, 885, 3645, 225));

    m_txtDestination = new QLineEdit(m_frame2);
    m_txtDestination->setObjectName(QStringLiteral("txtDestination"));
    m_txtDestination->setFont(normal);
    m_txtDestination->setGeometry(Twips(165, 1110, 3390, 285));
    m_txtDestination->setAccessibleName(m_label5->text());
    m_label5->setBuddy(m_txtDestination);

    m_optCopy = new QRadioButton(QStringLiteral("Copy the files"), m_frame2);
    m_optCopy->setObjectName(QStringLiteral("optCopyMode0"));
    m_optCopy->setFont(normal);
    m_optCopy->setToolTip(QStringLiteral("Make a copy of the files"));
    m_optCopy->setGeometry(Twips(165, 1470, 1320, 255));
    m_optCopy->setChecked(true);

    m_optMove = new QRadioButton(QStringLiteral("Move the files"), m_frame2);
    m_optMove->setObjectName(QStringLiteral("optCopyMode1"));
    m_optMove->setFont(normal);
    m_optMove->setToolTip(QStringLiteral("Copy the files and then delete the originals"));
    m_optMove->setGeometry(Twips(165, 1725, 1320, 255));
    // The run reads the mode for every file; kept here as the buttons change.
    m_copyChecked = m_optCopy->isChecked();
    m_moveChecked = m_optMove->isChecked();
    connect(m_optCopy, &QAbstractButton::toggled, this, [this](bool checked) { m_copyChecked = checked; });
    connect(m_optMove, &QAbstractButton::toggled, this, [this](bool checked) { m_moveChecked = checked; });

    m_chkCreateDirs = new QCheckBox(QStringLiteral("Create #-Z directories"), m_frame2);
    m_chkCreateDirs->setObjectName(QStringLiteral("chkCreateDirs"));
    m_chkCreateDirs->setFont(normal);
    m_chkCreateDirs->setGeometry(Twips(1725, 1470, 1860, 270));
    m_chkCreateDirs->setChecked(true);

    m_chkViewLogWhenDone = new QCheckBox(QStringLiteral("View log when done"), m_frame2);
    m_chkViewLogWhenDone->setObjectName(QStringLiteral("chkViewLogWhenDone"));
    m_chkViewLogWhenDone->setFont(normal);
    m_chkViewLogWhenDone->setToolTip(QStringLiteral("Display the log window when operation has completed"));
    m_chkViewLogWhenDone->setGeometry(Twips(1725, 1725, 1860, 270));

    // Where this platform's indicator and font need more room than the layout
    // gives, a choice widens to the right, up to its neighbour or the frame.
    auto widenToFit = [](QWidget* control, int rightLimit) {
        const int wanted = std::min(control->sizeHint().width(), rightLimit - control->x());
        if (wanted > control->width())
            control->resize(wanted, control->height());
    };
    widenToFit(m_optCopy, m_chkCreateDirs->x() - 2);
    widenToFit(m_optMove, m_chkViewLogWhenDone->x() - 2);
    widenToFit(m_chkCreateDirs, m_frame2->width() - 4);
    widenToFit(m_chkViewLogWhenDone, m_frame2->width() - 4);
}

void wMain::buildStatisticsFrame()
{
    // Set the weight explicitly, or the controls would inherit the frame's bold.
    QFont normal = font();
    normal.setBold(false);
    QFont bold = normal;
    bold.setBold(true);

    m_frame1 = new QGroupBox(QStringLiteral("Statistics"), this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    m_frame1->setFont(bold);
    m_frame1->setGeometry(Twips(30, 2190, 4065, 1470));

    // The caption labels reach to their value labels, so that the colon
    // shows whatever the font's width.
    auto makeLabel = [&](const char* name, const QString& text, const QString& tip, QRect geometry) {
        auto* label = new QLabel(text, m_frame1);
        label->setObjectName(QString::fromLatin1(name));
        label->setFont(normal);
        label->setTextFormat(Qt::PlainText);
        label->setGeometry(geometry);
        if (!tip.isEmpty())
            label->setToolTip(tip);
        return label;
    };
    m_label1 = makeLabel("Label1", QStringLiteral("File Progress :"), QStringLiteral("current file OF total files"),
                         Twips(225, 255, 1080, 195));
    m_labFileProgress = makeLabel("labFileProgress", QStringLiteral("--"), {}, Twips(1305, 255, 2655, 195));
    m_label3 = makeLabel("Label3", QStringLiteral("Current File   :"),
                         QStringLiteral("Filename of the file currently being processed"),
                         Twips(225, 495, 1080, 195));
    m_labCurrentFile = makeLabel("labCurrentFile", QStringLiteral("--"), {}, Twips(1305, 495, 2655, 195));
    m_label4 = makeLabel("Label4", QStringLiteral("Processed    :"), QStringLiteral("Processed megabytes of data"),
                         Twips(225, 735, 1080, 195));
    m_labMBMoved = makeLabel("labMBMoved", QStringLiteral("--"), {}, Twips(1305, 735, 2655, 195));
    m_labFileProgress->setAccessibleDescription(m_label1->toolTip());
    m_labCurrentFile->setAccessibleDescription(m_label3->toolTip());
    m_labMBMoved->setAccessibleDescription(m_label4->toolTip());

    m_prgProgress = new QProgressBar(m_frame1);
    m_prgProgress->setObjectName(QStringLiteral("prgProgress"));
    m_prgProgress->setFont(normal);
    m_prgProgress->setGeometry(Twips(120, 1005, 3810, 345));
    m_prgProgress->setToolTip(QStringLiteral("Progress of operation"));
    m_prgProgress->setAccessibleName(QStringLiteral("Progress of operation"));
    m_prgProgress->setTextVisible(false);
    m_prgProgress->setRange(0, 100);
    m_prgProgress->setValue(0);
}

void wMain::buildToolbars()
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
    m_tbrSource = makeFolderBar("tbrSource", m_frame2, Twips(3600, 480, 345, 330), m_actSource,
                                QStringLiteral("Select source directory.."), QStringLiteral("Select source directory.."));
    m_tbrDestination = makeFolderBar("tbrDestination", m_frame2, Twips(3600, 1080, 345, 330), m_actDestination,
                                     QStringLiteral("Select destination directory.."), QString());
    // The pickers open a modal dialog: start them from the event loop.
    connect(m_actSource, &QAction::triggered, this, [this] {
        QMetaObject::invokeMethod(this, &wMain::tbrSource_ButtonClick, Qt::QueuedConnection);
    });
    connect(m_actDestination, &QAction::triggered, this, [this] {
        QMetaObject::invokeMethod(this, &wMain::tbrDestination_ButtonClick, Qt::QueuedConnection);
    });

    m_tbrDoSieve = new QToolBar(this);
    m_tbrDoSieve->setObjectName(QStringLiteral("tbrDoSieve"));
    m_tbrDoSieve->setMovable(false);
    m_tbrDoSieve->setFloatable(false);
    m_tbrDoSieve->setIconSize(QSize(16, 16));
    m_tbrDoSieve->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_tbrDoSieve->setFont(normal);
    m_tbrDoSieve->setContentsMargins(0, 0, 0, 0);
    m_tbrDoSieve->layout()->setContentsMargins(0, 0, 0, 0);
    m_tbrDoSieve->layout()->setSpacing(0);
    m_tbrDoSieve->setGeometry(Twips(135, 3690, 4080, 330));
    m_tbrDoSieve->setAccessibleName(QStringLiteral("Sieve commands"));
    NameExtensionButton(m_tbrDoSieve);

    auto addButton = [&](std::string_view key, const QString& caption, Picture picture) {
        QAction* action = m_tbrDoSieve->addAction(PictureIcon(picture), caption);
        const QString keyText = QString::fromLatin1(key.data(), static_cast<qsizetype>(key.size()));
        action->setObjectName(keyText);
        action->setData(keyText);
        auto* button = qobject_cast<QToolButton*>(m_tbrDoSieve->widgetForAction(action));
        button->setObjectName(QStringLiteral("tbrDoSieve") + keyText);
        button->setFixedSize(TwipsSize(960, 330));
        button->setFocusPolicy(Qt::TabFocus);
        button->setAccessibleName(caption);
        button->installEventFilter(noToolTip);
        return action;
    };
    m_actSieve = addButton(kKeySieve, QStringLiteral("Sieve!"), Picture::Sieve);
    m_actStop = addButton(kKeyStop, QStringLiteral("Stop!"), Picture::Warning);
    m_actStop->setCheckable(true);
    m_actStop->setEnabled(false);
    // The run asks for Stop after every file: kept here, it is read
    // without reaching into the action.
    connect(m_actStop, &QAction::toggled, this, [this](bool checked) { m_stopChecked = checked; });
    m_actLogging = addButton(kKeyLogging, QStringLiteral("Logging"), Picture::Logging);
    m_actAbout = addButton(kKeyAbout, QStringLiteral("About"), Picture::Information);

    // "_stop" toggles by itself; the run reads it. The other commands run
    // from the event loop, so a click (or an assistive tool's press) returns
    // at once instead of waiting for a whole run or a modal box.
    connect(m_tbrDoSieve, &QToolBar::actionTriggered, this, [this](QAction* action) {
        const QString key = action->data().toString();
        QMetaObject::invokeMethod(this, [this, key] { tbrDoSieve_ButtonClick(key); }, Qt::QueuedConnection);
    });
}

void wMain::setTabOrderByIndex()
{
    // Ascending tab index: txtSource 7, tbrSource 8, optCopyMode 12/13,
    // chkCreateDirs 14, chkViewLogWhenDone 15, tbrDoSieve 16,
    // txtDestination 17, tbrDestination 19.
    QWidget* order[] = {
        m_txtSource,
        sourceButton(),
        m_optCopy,
        m_optMove,
        m_chkCreateDirs,
        m_chkViewLogWhenDone,
        toolbarButton(kKeySieve),
        toolbarButton(kKeyStop),
        toolbarButton(kKeyLogging),
        toolbarButton(kKeyAbout),
        m_txtDestination,
        destinationButton(),
    };
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    m_txtSource->setFocus();
}

void wMain::centreOnScreen()
{
    if (QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

// ---- Commands --------------------------------------------------------------

void wMain::Form_Load()
{
    const QString folder = m_services.programFolder + QLatin1Char('/');
    m_txtSource->setText(folder);
    m_txtDestination->setText(m_txtSource->text());
    // Loading the log window writes its first row.
    m_log.LogWindow();
}

void wMain::Form_Unload()
{
    m_logHost.forceUnload();
}

void wMain::tbrSource_ButtonClick()
{
    if (!m_actSource->isEnabled())
        return;
    const QString chosen = m_services.pickFolder(this, kSourcePickTitle);
    if (chosen.isEmpty())
        return;
    QString path = chosen;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    m_txtSource->setText(path);
    m_txtDestination->setText(m_txtSource->text());
}

void wMain::tbrDestination_ButtonClick()
{
    if (!m_actDestination->isEnabled())
        return;
    const QString chosen = m_services.pickFolder(this, kDestinationPickTitle);
    if (chosen.isEmpty())
        return;
    QString path = chosen;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    m_txtDestination->setText(path);
}

void wMain::tbrDoSieve_ButtonClick(const QString& key)
{
    if (key == QLatin1String(kKeySieve.data(), static_cast<qsizetype>(kKeySieve.size())))
        sieveCommand();
    else if (key == QLatin1String(kKeyLogging.data(), static_cast<qsizetype>(kKeyLogging.size())))
        m_log.ShowLogWindow();
    else if (key == QLatin1String(kKeyAbout.data(), static_cast<qsizetype>(kKeyAbout.size())))
        aboutCommand();
}

void wMain::sieveCommand()
{
    // A click queued before the run locked the toolbar finds it running.
    if (m_commandActive || m_sieve.IsRunning() || !m_actSieve->isEnabled())
        return;
    m_commandActive = true;
    bool run = true;
    if (m_optMove->isChecked()) {
        const auto answer = m_services.messageBox(this, MoveConfirmationText(), QStringLiteral("Move confirmation.."),
                                                  BoxStyle::YesNoQuestion);
        run = answer == QMessageBox::Yes;
    }
    if (run && !m_closeAfterCommand)
        m_sieve.SieveFiles();
    m_commandActive = false;
    emit sieveCommandFinished();
    closeIfAsked();
}

void wMain::aboutCommand()
{
    if (m_commandActive || m_sieve.IsRunning() || !m_actAbout->isEnabled())
        return;
    m_commandActive = true;
    {
        // Loaded afresh for every showing, and gone when closed.
        wAbout about(this, m_services.messageBox);
        about.exec();
    }
    m_commandActive = false;
    closeIfAsked();
}

void wMain::closeIfAsked()
{
    if (!m_closeAfterCommand)
        return;
    m_closeAfterCommand = false;
    close();
}

void wMain::closeEvent(QCloseEvent* event)
{
    if (m_sieve.IsRunning() || m_commandActive) {
        // Closing during a run stops it: the run sees Stop at its next file
        // and ends as usual; the window closes once the command has returned.
        m_closeAfterCommand = true;
        if (m_sieve.IsRunning())
            m_actStop->setChecked(true);
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

// ---- Statistics -----------------------------------------------------------

void wMain::tmrCountFiles_Timer()
{
    m_labCurrentFile->setText(Utf8(CountLineText(m_sieve.Counters())));
    m_labCurrentFile->repaint();
}

void wMain::tmrTimer_Timer()
{
    const RunCounters& counters = m_sieve.Counters();
    const std::string& separator = m_services.locale.thousandsSeparator;
    m_labFileProgress->setText(Utf8(FileProgressText(counters, separator)));
    m_labCurrentFile->setText(Bytes(m_timerTag));
    m_labMBMoved->setText(Utf8(BytesText(counters, separator)));
    m_labFileProgress->repaint();
    m_labCurrentFile->repaint();
    showBar();
}

// ---- Controls -------------------------------------------------------------

QAction* wMain::toolbarAction(std::string_view key) const
{
    if (key == kKeySieve)
        return m_actSieve;
    if (key == kKeyStop)
        return m_actStop;
    if (key == kKeyLogging)
        return m_actLogging;
    if (key == kKeyAbout)
        return m_actAbout;
    return nullptr;
}

QToolButton* wMain::toolbarButton(std::string_view key) const
{
    QAction* action = toolbarAction(key);
    return action ? qobject_cast<QToolButton*>(m_tbrDoSieve->widgetForAction(action)) : nullptr;
}

QToolButton* wMain::sourceButton() const
{
    return qobject_cast<QToolButton*>(m_tbrSource->widgetForAction(m_actSource));
}

QToolButton* wMain::destinationButton() const
{
    return qobject_cast<QToolButton*>(m_tbrDestination->widgetForAction(m_actDestination));
}

// ---- MainWindowPort -------------------------------------------------------

void wMain::setSourcePickerEnabled(bool enabled)
{
    m_actSource->setEnabled(enabled);
}

void wMain::setDestinationPickerEnabled(bool enabled)
{
    m_actDestination->setEnabled(enabled);
}

void wMain::setToolbarButtonEnabled(std::string_view key, bool enabled)
{
    if (QAction* action = toolbarAction(key))
        action->setEnabled(enabled);
}

bool wMain::isStopPressed()
{
    return m_stopChecked;
}

void wMain::setStopPressed(bool pressed)
{
    m_actStop->setChecked(pressed);
}

void wMain::setSourceEnabled(bool enabled)
{
    m_txtSource->setEnabled(enabled);
}

std::string wMain::sourceText()
{
    return ToBytes(m_txtSource->text());
}

void wMain::setSourceText(const std::string& text)
{
    m_txtSource->setText(Bytes(text));
}

void wMain::setDestinationEnabled(bool enabled)
{
    m_txtDestination->setEnabled(enabled);
}

std::string wMain::destinationText()
{
    return ToBytes(m_txtDestination->text());
}

void wMain::setDestinationText(const std::string& text)
{
    m_txtDestination->setText(Bytes(text));
}

void wMain::setCreateDirsEnabled(bool enabled)
{
    m_chkCreateDirs->setEnabled(enabled);
}

bool wMain::isCreateDirsChecked()
{
    return m_chkCreateDirs->isChecked();
}

bool wMain::isCopyModeSelected(int index)
{
    return index == 0 ? m_copyChecked : index == 1 ? m_moveChecked : false;
}

bool wMain::isViewLogWhenDoneChecked()
{
    return m_chkViewLogWhenDone->isChecked();
}

void wMain::setCurrentFileCaption(const std::string& caption)
{
    m_labCurrentFile->setText(Utf8(caption));
}

void wMain::repaintCurrentFile()
{
    m_labCurrentFile->repaint();
}

void wMain::setFileProgressCaption(const std::string& caption)
{
    m_labFileProgress->setText(Utf8(caption));
}

void wMain::repaintFileProgress()
{
    m_labFileProgress->repaint();
}

void wMain::setProgressMax(double max)
{
    m_barMax = max;
    if (m_barMin > m_barMax)
        m_barMin = m_barMax;
    if (m_barValue > m_barMax)
        m_barValue = m_barMax;
    showBar();
}

void wMain::setProgressMin(double min)
{
    m_barMin = min;
    if (m_barMax < m_barMin)
        m_barMax = m_barMin;
    if (m_barValue < m_barMin)
        m_barValue = m_barMin;
    showBar();
}

bool wMain::setProgressValue(double value)
{
    if (!(value >= m_barMin && value <= m_barMax))
        return false;
    m_barValue = value;
    // Per file, the widget is told only what a person could see: a change
    // of the filled width, or either end. The statistics tick brings it to
    // the exact value, for assistive tools, a few times a second.
    const bool end = value == m_barMin || value == m_barMax;
    const int filled = barFilled();
    if (filled == m_barFilledShown && !end)
        return true;
    // The widget repaints itself at once on such a change. While the run's
    // statistics tick, a fast file system would have it drawn hundreds of
    // times a second; it is drawn at most every kBarInterval instead, and a
    // change in between waits for the first file after that.
    if (m_barPaced && !end) {
        const double now = CoarseSeconds();
        if (now < m_barShownAt + kBarInterval)
            return true;
        m_barShownAt = now;
    }
    m_barFilledShown = filled;
    showBar();
    return true;
}

int wMain::barFilled() const
{
    const double span = m_barMax - m_barMin;
    return span > 0 ? static_cast<int>((m_barValue - m_barMin) / span * m_barWidth) : 0;
}

double wMain::progressValue()
{
    return m_barValue;
}

double wMain::progressMax()
{
    return m_barMax;
}

void wMain::showBar()
{
    // The widget counts in int: a range that does not fit is shown scaled.
    constexpr double kIntMax = std::numeric_limits<int>::max();
    const bool fits = m_barMin >= 0 && m_barMax <= kIntMax;
    int min = 0, max = 0, value = 0;
    if (fits) {
        min = static_cast<int>(m_barMin);
        max = static_cast<int>(m_barMax);
        value = static_cast<int>(m_barValue);
    } else {
        constexpr int kSteps = 1'000'000;
        const double span = m_barMax - m_barMin;
        max = kSteps;
        value = span > 0 ? static_cast<int>(std::floor((m_barValue - m_barMin) / span * kSteps)) : 0;
    }
    if (m_prgProgress->minimum() != min || m_prgProgress->maximum() != max)
        m_prgProgress->setRange(min, max);
    m_prgProgress->setValue(value);
    m_barWidth = m_prgProgress->width();
}

void wMain::setCountTimerEnabled(bool enabled)
{
    if (enabled && !m_tmrCountFiles.isActive())
        m_tmrCountFiles.start();
    else if (!enabled)
        m_tmrCountFiles.stop();
}

void wMain::runCountTimerTick()
{
    tmrCountFiles_Timer();
}

void wMain::setProgressTimerEnabled(bool enabled)
{
    m_barPaced = enabled;
    if (enabled && !m_tmrTimer.isActive()) {
        m_tmrTimer.start();
    } else if (!enabled) {
        m_tmrTimer.stop();
        // Whatever the pacing held back shows now.
        m_barFilledShown = barFilled();
        showBar();
    }
}

void wMain::setProgressTimerTag(const std::string& name)
{
    m_timerTag = name;
}

void wMain::runProgressTimerTick()
{
    tmrTimer_Timer();
}

void wMain::processPendingEvents()
{
    PumpPendingEvents();
}

} // namespace quillbox::ui
