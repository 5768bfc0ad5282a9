// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/main_form.h"

#include <algorithm>

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QToolBar>
#include <QToolButton>

#include "ui/common/icons.h"
#include "ui/common/twips.h"

namespace quillbox::ui {

namespace {

// Pixels between a statistics caption and its value.
constexpr int kCaptionGap = 6;

enum class Kind {
    Frame,      // a group box with a bold caption
    Prompt,     // a label naming the field that follows it
    Field,      // a one-line text field
    Option,     // a radio button
    Check,      // a check box
    Statistic,  // a caption and its value: `text` and `name`, the value at `valueLeft`
    Bar,        // the progress bar
    FolderBar,  // a toolbar of one folder button, `text` its accessible name; `name`
                // the folder whose "...Bar", "...Button" and "...PickAction" it is
    CommandBar, // the main toolbar, `text` its accessible name
    Command,    // a button of the main toolbar, `name` its key
};

// One control of the layout; positions in twips, relative to `parent` (the
// window when it is null).
struct Item {
    Kind kind;
    const char* name;
    const char* parent;
    int left, top, width, height;
    const char* text;
    const char* tip;
    Picture picture = Picture::Program; // a command's icon
};

constexpr int kValueLeft = 1305;
constexpr int kValueWidth = 2655;

// The form, in the order the controls are created: the options, the
// statistics, then the toolbars.
constexpr Item kOptions[] = {
    {Kind::Frame, "optionsFrame", nullptr, 30, 30, 4065, 2070, "Options", ""},
    {Kind::Prompt, "sourcePrompt", "optionsFrame", 165, 285, 3645, 225,
     "Select the directory containing the files to sort.", ""},
    {Kind::Field, "sourceField", "optionsFrame", 150, 510, 3390, 285, "", ""},
    {Kind::Prompt, "destinationPrompt", "optionsFrame", 180, 885, 3645, 225,
     "Select where to place the created dirs+files.", ""},
    {Kind::Field, "destinationField", "optionsFrame", 165, 1110, 3390, 285, "", ""},
    {Kind::Option, "copyOption", "optionsFrame", 165, 1470, 1320, 255, "Copy the files", "Make a copy of the files"},
    {Kind::Option, "moveOption", "optionsFrame", 165, 1725, 1320, 255, "Move the files",
     "Copy the files and then delete the originals"},
    {Kind::Check, "createFoldersBox", "optionsFrame", 1725, 1470, 1860, 270, "Create #-Z directories", ""},
    {Kind::Check, "viewLogBox", "optionsFrame", 1725, 1725, 1860, 270, "View log when done",
     "Display the log window when operation has completed"},
};

constexpr Item kStatistics[] = {
    {Kind::Frame, "statisticsFrame", nullptr, 30, 2190, 4065, 1470, "Statistics", ""},
    {Kind::Statistic, "fileProgress", "statisticsFrame", 225, 255, 1080, 195,
     "File Progress :", "current file OF total files"},
    {Kind::Statistic, "currentFile", "statisticsFrame", 225, 495, 1080, 195,
     "Current File   :", "Filename of the file currently being processed"},
    {Kind::Statistic, "processed", "statisticsFrame", 225, 735, 1080, 195,
     "Processed    :", "Processed megabytes of data"},
    {Kind::Bar, "progressBar", "statisticsFrame", 120, 1005, 3810, 345, "Progress of operation",
     "Progress of operation"},
};

constexpr Item kToolbars[] = {
    {Kind::FolderBar, "source", "optionsFrame", 3600, 480, 345, 330, "Select source directory..",
     "Select source directory.."},
    {Kind::FolderBar, "destination", "optionsFrame", 3600, 1080, 345, 330, "Select destination directory..", ""},
    {Kind::CommandBar, "commandBar", nullptr, 135, 3690, 4080, 330, "Sieve commands", ""},
    // In the order of Command, which their data tells.
    {Kind::Command, "sieve", "commandBar", 0, 0, 960, 330, "Sieve!", "", Picture::Sieve},
    {Kind::Command, "stop", "commandBar", 0, 0, 960, 330, "Stop!", "", Picture::Warning},
    {Kind::Command, "logging", "commandBar", 0, 0, 960, 330, "Logging", "", Picture::Logging},
    {Kind::Command, "about", "commandBar", 0, 0, 960, 330, "About", "", Picture::Information},
};

// Frames with their caption on the top border line, so the first row of
// controls sits inside the border where the layout puts it.
const char* const kFrameStyle =
    "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px;"
    " padding: 0px 2px; }";

// The main toolbar's buttons carry no tooltip, although Qt would show their
// captions as one; nor does a folder button without a tip of its own.
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

QString Text(const char* text)
{
    return QString::fromUtf8(text);
}

// A toolbar with no margins and no spacing, its overflow button named:
// that button never shows in this fixed layout, but assistive tools list it.
QToolBar* AddToolBar(QWidget* parent, const Item& item, const QString& name)
{
    auto* bar = new QToolBar(parent);
    bar->setObjectName(name);
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setIconSize(QSize(16, 16));
    bar->setContentsMargins(0, 0, 0, 0);
    bar->layout()->setContentsMargins(0, 0, 0, 0);
    bar->layout()->setSpacing(0);
    bar->setGeometry(Twips(item.left, item.top, item.width, item.height));
    bar->setAccessibleName(Text(item.text));
    if (auto* more = bar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button")))
        more->setAccessibleName(QStringLiteral("More buttons"));
    return bar;
}

// Where this platform's indicator and font need more room than the layout
// gives, a choice widens to the right, up to its neighbour or the frame.
void WidenToFit(QWidget* control, int rightLimit)
{
    const int wanted = std::min(control->sizeHint().width(), rightLimit - control->x());
    if (wanted > control->width())
        control->resize(wanted, control->height());
}

// Each caption is as wide as its text, and its value starts after it with a
// gap, wherever this font puts the colon.
QLabel* AddStatistic(QWidget* frame, const Item& item, const QFont& font)
{
    const QString caption = Text(item.text);
    auto* label = new QLabel(caption, frame);
    label->setObjectName(Text(item.name) + QStringLiteral("Caption"));
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setToolTip(Text(item.tip));
    const QRect captionArea = Twips(item.left, item.top, item.width, item.height);
    const int captionWidth = label->fontMetrics().horizontalAdvance(caption);
    label->setGeometry(captionArea.x(), captionArea.y(), captionWidth, captionArea.height());

    auto* value = new QLabel(QStringLiteral("--"), frame);
    value->setObjectName(Text(item.name) + QStringLiteral("Value"));
    value->setFont(font);
    value->setTextFormat(Qt::PlainText);
    const QRect valueArea = Twips(kValueLeft, item.top, kValueWidth, item.height);
    const int left = std::max(valueArea.x(), captionArea.x() + captionWidth + kCaptionGap);
    value->setGeometry(left, valueArea.y(), valueArea.right() + 1 - left, valueArea.height());
    value->setAccessibleDescription(Text(item.tip));
    return value;
}

// Builds the items of one section of the form into `window`.
template <std::size_t N>
void Build(const Item (&items)[N], QWidget* window, NoToolTip* noToolTip)
{
    // The controls have the regular weight explicitly, or those in a frame
    // would inherit its bold caption.
    QFont normal = window->font();
    normal.setBold(false);
    QFont bold = normal;
    bold.setBold(true);

    QLabel* lastPrompt = nullptr;
    const auto parentOf = [&](const Item& item) -> QWidget* {
        if (item.parent == nullptr)
            return window;
        return window->findChild<QWidget*>(Text(item.parent));
    };
    for (const Item& item : items) {
        QWidget* parent = parentOf(item);
        const QRect geometry = Twips(item.left, item.top, item.width, item.height);
        const QString name = Text(item.name);
        switch (item.kind) {
        case Kind::Frame: {
            auto* frame = new QGroupBox(Text(item.text), parent);
            frame->setObjectName(name);
            frame->setFont(bold);
            frame->setGeometry(geometry);
            break;
        }
        case Kind::Prompt:
            lastPrompt = new QLabel(Text(item.text), parent);
            lastPrompt->setObjectName(name);
            lastPrompt->setFont(normal);
            lastPrompt->setTextFormat(Qt::PlainText);
            lastPrompt->setGeometry(geometry);
            break;
        case Kind::Field: {
            auto* field = new QLineEdit(parent);
            field->setObjectName(name);
            field->setFont(normal);
            field->setGeometry(geometry);
            // Named by the prompt above it.
            field->setAccessibleName(lastPrompt->text());
            lastPrompt->setBuddy(field);
            break;
        }
        case Kind::Option: {
            auto* option = new QRadioButton(Text(item.text), parent);
            option->setObjectName(name);
            option->setFont(normal);
            option->setToolTip(Text(item.tip));
            option->setGeometry(geometry);
            break;
        }
        case Kind::Check: {
            auto* box = new QCheckBox(Text(item.text), parent);
            box->setObjectName(name);
            box->setFont(normal);
            box->setToolTip(Text(item.tip));
            box->setGeometry(geometry);
            break;
        }
        case Kind::Statistic:
            AddStatistic(parent, item, normal);
            break;
        case Kind::Bar: {
            auto* bar = new QProgressBar(parent);
            bar->setObjectName(name);
            bar->setFont(normal);
            bar->setGeometry(geometry);
            bar->setToolTip(Text(item.tip));
            bar->setAccessibleName(Text(item.text));
            bar->setTextVisible(false);
            bar->setRange(0, 100);
            bar->setValue(0);
            break;
        }
        case Kind::FolderBar: {
            QToolBar* bar = AddToolBar(parent, item, name + QStringLiteral("Bar"));
            bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
            QAction* action = bar->addAction(FolderButtonIcon(), QString());
            action->setObjectName(name + QStringLiteral("PickAction"));
            action->setToolTip(Text(item.tip));
            auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(action));
            button->setObjectName(name + QStringLiteral("Button"));
            button->setAutoRaise(true);
            button->setFixedSize(TwipsSize(item.width, item.height));
            button->setFocusPolicy(Qt::TabFocus);
            button->setAccessibleName(Text(item.text));
            if (action->toolTip().isEmpty())
                button->installEventFilter(noToolTip);
            break;
        }
        case Kind::CommandBar: {
            QToolBar* bar = AddToolBar(parent, item, name);
            bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
            bar->setFont(window->font());
            break;
        }
        case Kind::Command: {
            auto* bar = static_cast<QToolBar*>(parent);
            const int index = static_cast<int>(bar->actions().size());
            QAction* action = bar->addAction(PictureIcon(item.picture), Text(item.text));
            action->setObjectName(name + QStringLiteral("Action"));
            action->setData(index);
            auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(action));
            button->setObjectName(name + QStringLiteral("Button"));
            button->setFixedSize(TwipsSize(item.width, item.height));
            button->setFocusPolicy(Qt::TabFocus);
            button->setAccessibleName(Text(item.text));
            button->installEventFilter(noToolTip);
            break;
        }
        }
    }
}

} // namespace

MainForm BuildMainForm(QWidget* window)
{
    const auto find = [window]<class T>(T*& control, const char* name) {
        control = window->findChild<T*>(QString::fromLatin1(name));
        Q_ASSERT(control != nullptr);
    };
    MainForm form;
    // One filter serves every section of the window.
    auto* noToolTip = new NoToolTip(window);
    Build(kOptions, window, noToolTip);
    find(form.optionsFrame, "optionsFrame");
    find(form.sourceField, "sourceField");
    find(form.destinationField, "destinationField");
    find(form.copyOption, "copyOption");
    find(form.moveOption, "moveOption");
    find(form.createFoldersBox, "createFoldersBox");
    find(form.viewLogBox, "viewLogBox");
    form.copyOption->setChecked(true);
    form.createFoldersBox->setChecked(true);
    WidenToFit(form.copyOption, form.createFoldersBox->x() - 2);
    WidenToFit(form.moveOption, form.viewLogBox->x() - 2);
    WidenToFit(form.createFoldersBox, form.optionsFrame->width() - 4);
    WidenToFit(form.viewLogBox, form.optionsFrame->width() - 4);

    Build(kStatistics, window, noToolTip);
    find(form.statisticsFrame, "statisticsFrame");
    find(form.fileProgressValue, "fileProgressValue");
    find(form.currentFileValue, "currentFileValue");
    find(form.processedValue, "processedValue");
    find(form.progressBar, "progressBar");
    form.statisticsFrame->setStyleSheet(QString::fromLatin1(kFrameStyle));
    form.optionsFrame->setStyleSheet(QString::fromLatin1(kFrameStyle));

    Build(kToolbars, window, noToolTip);
    find(form.pickSourceAction, "sourcePickAction");
    find(form.pickDestinationAction, "destinationPickAction");
    find(form.sourceButton, "sourceButton");
    find(form.destinationButton, "destinationButton");
    find(form.commandBar, "commandBar");
    find(form.sieveAction, "sieveAction");
    find(form.stopAction, "stopAction");
    find(form.loggingAction, "loggingAction");
    find(form.aboutAction, "aboutAction");
    form.stopAction->setCheckable(true);
    form.stopAction->setEnabled(false);
    return form;
}

QAction* MainForm::action(Command command) const
{
    switch (command) {
    case Command::Sieve:
        return sieveAction;
    case Command::Stop:
        return stopAction;
    case Command::Logging:
        return loggingAction;
    case Command::About:
        return aboutAction;
    }
    return nullptr;
}

QToolButton* MainForm::button(Command command) const
{
    return qobject_cast<QToolButton*>(commandBar->widgetForAction(action(command)));
}

} // namespace quillbox::ui
