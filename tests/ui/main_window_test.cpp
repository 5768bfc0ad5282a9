// The main window as it is created, and its folder picks.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QUrl>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

#include "tests/ui/ui_harness.h"

using namespace quillbox;
using quillbox::test::UiHarness;

namespace {

QString Label(ui::MainWindow& w, const char* name)
{
    auto* label = w.findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<missing>");
}

} // namespace

TEST(MainWindowLayout, FreshWindowHoldsTheDefaults)
{
    UiHarness h;
    ui::MainWindow& w = h.w();

    EXPECT_EQ(w.windowTitle(), QStringLiteral("Quillbox v0.97"));
    EXPECT_EQ(w.size(), QSize(275, 270));
    EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "the window must not be resizable";
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);

    // Both fields on the program's folder, with one "/" appended.
    const QString folder = QString::fromStdString(h.dir.path()) + QLatin1Char('/');
    EXPECT_EQ(w.sourceField()->text(), folder);
    EXPECT_EQ(w.destinationField()->text(), folder);

    EXPECT_TRUE(w.copyOption()->isChecked());
    EXPECT_FALSE(w.moveOption()->isChecked());
    EXPECT_TRUE(w.createFoldersBox()->isChecked());
    EXPECT_FALSE(w.viewLogBox()->isChecked());
    EXPECT_EQ(w.fileProgressLabel()->text(), QStringLiteral("--"));
    EXPECT_EQ(w.currentFileLabel()->text(), QStringLiteral("--"));
    EXPECT_EQ(w.processedLabel()->text(), QStringLiteral("--"));
    EXPECT_EQ(w.progressBar()->value(), 0);
    EXPECT_EQ(w.progressBar()->maximum(), 100);

    EXPECT_EQ(w.countTimer().interval(), 200);
    EXPECT_EQ(w.progressTimer().interval(), 250);
    EXPECT_FALSE(w.countTimer().isActive());
    EXPECT_FALSE(w.progressTimer().isActive());

    // The toolbar: keys, captions, "_stop" a disabled, released check button.
    const std::pair<ui::Command, const char*> buttons[] = {{ui::Command::Sieve, "Sieve!"},
                                                           {ui::Command::Stop, "Stop!"},
                                                           {ui::Command::Logging, "Logging"},
                                                           {ui::Command::About, "About"}};
    auto* toolbar = w.findChild<QToolBar*>(QStringLiteral("tbrDoSieve"));
    ASSERT_NE(toolbar, nullptr);
    ASSERT_EQ(toolbar->actions().size(), 4);
    for (int i = 0; i < 4; ++i) {
        QAction* action = toolbar->actions().at(i);
        EXPECT_EQ(action, w.action(buttons[i].first));
        EXPECT_EQ(action->text(), QString::fromLatin1(buttons[i].second));
        EXPECT_EQ(w.commandButton(buttons[i].first)->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
        EXPECT_FALSE(action->icon().isNull());
    }
    EXPECT_TRUE(w.action(ui::Command::Stop)->isCheckable());
    EXPECT_FALSE(w.action(ui::Command::Stop)->isEnabled());
    EXPECT_FALSE(w.action(ui::Command::Stop)->isChecked());
    EXPECT_TRUE(w.action(ui::Command::Sieve)->isEnabled());

    // The log window is loaded, hidden, with its start-up entry.
    ASSERT_NE(w.logWindow(), nullptr);
    EXPECT_FALSE(w.logWindow()->isVisible());
    EXPECT_EQ(h.logMessages(), std::vector<std::string>{"Quillbox loaded and running."});
}

TEST(MainWindowLayout, CaptionsTooltipsAndAccessibleNames)
{
    UiHarness h;
    ui::MainWindow& w = h.w();

    EXPECT_EQ(w.findChild<QGroupBox*>(QStringLiteral("Frame2"))->title(), QStringLiteral("Options"));
    EXPECT_EQ(w.findChild<QGroupBox*>(QStringLiteral("Frame1"))->title(), QStringLiteral("Statistics"));
    EXPECT_TRUE(w.findChild<QGroupBox*>(QStringLiteral("Frame1"))->font().bold());
    EXPECT_FALSE(w.findChild<QLabel*>(QStringLiteral("Label1"))->font().bold()) << "only the frame captions are bold";
    EXPECT_EQ(Label(w, "Label2"), QStringLiteral("Select the directory containing the files to sort."));
    EXPECT_EQ(Label(w, "Label5"), QStringLiteral("Select where to place the created dirs+files."));
    EXPECT_EQ(Label(w, "Label1"), QStringLiteral("File Progress :"));
    EXPECT_EQ(Label(w, "Label3"), QStringLiteral("Current File   :"));
    EXPECT_EQ(Label(w, "Label4"), QStringLiteral("Processed    :"));

    EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("Label1"))->toolTip(), QStringLiteral("current file OF total files"));
    EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("Label3"))->toolTip(),
              QStringLiteral("Filename of the file currently being processed"));
    EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("Label4"))->toolTip(), QStringLiteral("Processed megabytes of data"));
    EXPECT_EQ(w.copyOption()->toolTip(), QStringLiteral("Make a copy of the files"));
    EXPECT_EQ(w.moveOption()->toolTip(), QStringLiteral("Copy the files and then delete the originals"));
    EXPECT_EQ(w.viewLogBox()->toolTip(), QStringLiteral("Display the log window when operation has completed"));
    EXPECT_TRUE(w.createFoldersBox()->toolTip().isEmpty());
    EXPECT_EQ(w.progressBar()->toolTip(), QStringLiteral("Progress of operation"));
    EXPECT_EQ(w.sourceButton()->toolTip(), QStringLiteral("Select source directory.."));
    EXPECT_TRUE(w.destinationButton()->toolTip().isEmpty());

    EXPECT_EQ(w.sourceButton()->accessibleName(), QStringLiteral("Select source directory.."));
    EXPECT_EQ(w.destinationButton()->accessibleName(), QStringLiteral("Select destination directory.."));
    EXPECT_EQ(w.commandButton(ui::Command::Sieve)->accessibleName(), QStringLiteral("Sieve!"));
    EXPECT_EQ(w.commandButton(ui::Command::Stop)->accessibleName(), QStringLiteral("Stop!"));
    EXPECT_FALSE(w.sourceField()->accessibleName().isEmpty());
    EXPECT_FALSE(w.destinationField()->accessibleName().isEmpty());
    EXPECT_EQ(w.progressBar()->accessibleName(), QStringLiteral("Progress of operation"));

    // Each caption shows whole, with a gap before its value.
    const std::pair<const char*, QLabel*> rows[] = {
        {"Label1", w.fileProgressLabel()}, {"Label3", w.currentFileLabel()}, {"Label4", w.processedLabel()}};
    for (const auto& [name, value] : rows) {
        auto* caption = w.findChild<QLabel*>(QString::fromLatin1(name));
        const int textRight = caption->x() + caption->fontMetrics().horizontalAdvance(caption->text());
        EXPECT_GE(caption->width(), textRight - caption->x()) << name;
        EXPECT_GE(value->x() - textRight, 4) << name;
    }

    // Folder buttons: closed folder normally, open folder under the pointer.
    const QIcon icon = w.sourceButton()->icon();
    const QImage normal = icon.pixmap(QSize(16, 16), QIcon::Normal).toImage();
    const QImage active = icon.pixmap(QSize(16, 16), QIcon::Active).toImage();
    EXPECT_NE(normal, active);
    EXPECT_TRUE(w.sourceButton()->autoRaise());
}

namespace {

// Every control of a window, as an assistive tool sees it: role and name.
void CollectUnnamed(QAccessibleInterface* node, QStringList& unnamed, int& controls)
{
    if (node == nullptr)
        return;
    switch (node->role()) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::EditableText:
    case QAccessible::ProgressBar:
    case QAccessible::StaticText:
    case QAccessible::ToolBar:
    case QAccessible::List:
    case QAccessible::Tree:
        ++controls;
        if (node->text(QAccessible::Name).isEmpty())
            unnamed << QStringLiteral("%1 %2").arg(node->role()).arg(node->object() ? node->object()->objectName()
                                                                                     : QString());
        break;
    default:
        break;
    }
    for (int i = 0; i < node->childCount(); ++i)
        CollectUnnamed(node->child(i), unnamed, controls);
}

} // namespace

TEST(MainWindowLayout, EveryControlHasAnAccessibleName)
{
    UiHarness h;
    h.w().show();
    QStringList unnamed;
    int controls = 0;
    CollectUnnamed(QAccessible::queryAccessibleInterface(&h.w()), unnamed, controls);
    EXPECT_GE(controls, 20);
    EXPECT_TRUE(unnamed.isEmpty()) << unnamed.join(QStringLiteral(", ")).toStdString();

    ui::LogWindow* log = h.w().logWindow();
    log->show();
    unnamed.clear();
    controls = 0;
    CollectUnnamed(QAccessible::queryAccessibleInterface(log), unnamed, controls);
    EXPECT_GE(controls, 1);
    EXPECT_TRUE(unnamed.isEmpty()) << unnamed.join(QStringLiteral(", ")).toStdString();
}

TEST(MainWindowLayout, TabOrderFollowsTheTabIndexes)
{
    UiHarness h;
    ui::MainWindow& w = h.w();
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    w.sourceField()->setFocus();
    // txtSource (7) comes before the options (12..15), txtDestination (17)
    // after them although it sits above them. "Stop!" is disabled, so Tab
    // passes it by.
    QWidget* expected[] = {w.sourceButton(), w.copyOption(), w.createFoldersBox(), w.viewLogBox(),
                           w.commandButton(ui::Command::Sieve), w.commandButton(ui::Command::Logging), w.commandButton(ui::Command::About),
                           w.destinationField(), w.destinationButton(), w.sourceField()};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), expected[i]) << "Tab number " << i + 1;
    }
}

TEST(MainWindowLayout, OptionsExcludeEachOtherAndStopIgnoresClicksUntilEnabled)
{
    UiHarness h;
    ui::MainWindow& w = h.w();
    w.show();
    QTest::mouseClick(w.moveOption(), Qt::LeftButton);
    EXPECT_TRUE(w.moveOption()->isChecked());
    EXPECT_FALSE(w.copyOption()->isChecked());
    QTest::mouseClick(w.copyOption(), Qt::LeftButton);
    EXPECT_TRUE(w.copyOption()->isChecked());
    EXPECT_FALSE(w.moveOption()->isChecked());

    h.click(ui::Command::Stop);
    EXPECT_FALSE(w.action(ui::Command::Stop)->isChecked());
    w.action(ui::Command::Stop)->setEnabled(true);
    h.click(ui::Command::Stop);
    EXPECT_TRUE(w.action(ui::Command::Stop)->isChecked());
    h.click(ui::Command::Stop);
    EXPECT_FALSE(w.action(ui::Command::Stop)->isChecked()) << "a second click releases it again";
}

TEST(FolderPicks, SourcePickSetsBothFieldsAndCancelKeepsThem)
{
    UiHarness h;
    ui::MainWindow& w = h.w();
    w.show();
    const QString before = w.sourceField()->text();

    h.pickerAnswers = {QString()};
    QTest::mouseClick(w.sourceButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.pickerTitles.size() == 1; }, 5000));
    EXPECT_EQ(h.pickerTitles[0], QStringLiteral("Select the directory that contains the files that require sorting.."));
    EXPECT_EQ(w.sourceField()->text(), before);
    EXPECT_EQ(w.destinationField()->text(), before);

    // A picked destination is overwritten by a newly picked source.
    h.pickerAnswers = {QStringLiteral("/srv/elsewhere"), QStringLiteral("/home/me/Downloads")};
    w.pickDestination();
    EXPECT_EQ(h.pickerTitles.back(),
              QStringLiteral("Select the directory that you would like the (optional) #-Z directories created in, "
                             "and then the files copied to.."));
    EXPECT_EQ(w.destinationField()->text(), QStringLiteral("/srv/elsewhere/"));
    EXPECT_EQ(w.sourceField()->text(), before) << "a destination pick leaves the source alone";
    w.pickSource();
    EXPECT_EQ(w.sourceField()->text(), QStringLiteral("/home/me/Downloads/"));
    EXPECT_EQ(w.destinationField()->text(), QStringLiteral("/home/me/Downloads/"));

    // The root folder comes back with its "/" and keeps a single one.
    h.pickerAnswers = {QStringLiteral("/")};
    w.pickSource();
    EXPECT_EQ(w.sourceField()->text(), QStringLiteral("/"));
    EXPECT_EQ(w.destinationField()->text(), QStringLiteral("/"));

    h.pickerAnswers = {QString()};
    w.pickDestination();
    EXPECT_EQ(w.destinationField()->text(), QStringLiteral("/"));
}

TEST(FolderPicks, DialogResultsBecomeFullPathsWithoutTrailingSlash)
{
    EXPECT_EQ(FolderPickResult(QString()), QString());
    EXPECT_EQ(FolderPickResult(QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_EQ(FolderPickResult(QStringLiteral("/home/me/")), QStringLiteral("/home/me"));
    EXPECT_EQ(FolderPickResult(QStringLiteral("/home/me")), QStringLiteral("/home/me"));
    EXPECT_EQ(FolderPickResult(QStringLiteral("relative/dir")), QString()) << "no file-system path";
}

TEST(MainWindowCommands, LoggingRaisesTheLogWindowWhenItIsAlreadyOpen)
{
    UiHarness h;
    ui::MainWindow& w = h.w();
    w.show();
    h.click(ui::Command::Logging);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.logWindow()->isVisible(); }, 5000));
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));

    h.click(ui::Command::Logging);
    EXPECT_TRUE(QTest::qWaitForWindowActive(w.logWindow()));
}

// "Open with" fills the fields; so does a folder dropped from a file
// manager, and a dropped file gives its folder.
TEST(MainWindowCommands, OpenWithAndDroppedFoldersFillTheFields)
{
    UiHarness h;
    ui::MainWindow& w = h.w();
    h.dir.mkdir("photos");
    h.dir.write("photos/img.jpg", "j");
    w.openFolders(QString::fromStdString(h.dir / "photos"), QString());
    EXPECT_EQ(w.sourceField()->text().toStdString(), h.dir / "photos/");
    EXPECT_EQ(w.destinationField()->text().toStdString(), h.dir / "photos/");
    w.openFolders(QStringLiteral("/srv/in"), QStringLiteral("/srv/out"));
    EXPECT_EQ(w.destinationField()->text(), QStringLiteral("/srv/out/"));

    w.show();
    const auto drop = [&](QLineEdit* field, const std::string& path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(field, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(field, &dropped);
    };
    drop(w.destinationField(), h.dir / "photos");
    EXPECT_EQ(w.destinationField()->text().toStdString(), h.dir / "photos/");
    drop(w.sourceField(), h.dir / "photos/img.jpg");
    EXPECT_EQ(w.sourceField()->text().toStdString(), h.dir / "photos/");
    EXPECT_EQ(w.destinationField()->text().toStdString(), h.dir / "photos/") << "a drop fills only its own field";
}
