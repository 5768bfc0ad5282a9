// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as it is created, and its folder picks.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QRadioButton>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

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
    EXPECT_EQ(h.sourceField()->text(), folder);
    EXPECT_EQ(h.destinationField()->text(), folder);

    EXPECT_TRUE(h.copyOption()->isChecked());
    EXPECT_FALSE(h.moveOption()->isChecked());
    EXPECT_TRUE(h.createFoldersBox()->isChecked());
    EXPECT_FALSE(h.viewLogBox()->isChecked());
    EXPECT_EQ(h.fileProgressValue()->text(), QStringLiteral("--"));
    EXPECT_EQ(h.currentFileValue()->text(), QStringLiteral("--"));
    EXPECT_EQ(h.processedValue()->text(), QStringLiteral("--"));
    EXPECT_EQ(h.progressBar()->value(), 0);
    EXPECT_EQ(h.progressBar()->maximum(), 100);

    EXPECT_EQ(h.countTimer()->interval(), 200);
    EXPECT_EQ(h.progressTimer()->interval(), 250);
    EXPECT_FALSE(h.countTimer()->isActive());
    EXPECT_FALSE(h.progressTimer()->isActive());

    // The toolbar: keys, captions, "_stop" a disabled, released check button.
    const std::pair<ui::Command, const char*> buttons[] = {{ui::Command::Sieve, "Sieve!"},
                                                           {ui::Command::Stop, "Stop!"},
                                                           {ui::Command::Logging, "Logging"},
                                                           {ui::Command::About, "About"}};
    auto* toolbar = w.findChild<QToolBar*>(QStringLiteral("commandBar"));
    ASSERT_NE(toolbar, nullptr);
    ASSERT_EQ(toolbar->actions().size(), 4);
    for (int i = 0; i < 4; ++i) {
        QAction* action = toolbar->actions().at(i);
        EXPECT_EQ(action, h.action(buttons[i].first));
        EXPECT_EQ(action->text(), QString::fromLatin1(buttons[i].second));
        EXPECT_EQ(h.commandButton(buttons[i].first)->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
        EXPECT_FALSE(action->icon().isNull());
    }
    EXPECT_TRUE(h.action(ui::Command::Stop)->isCheckable());
    EXPECT_FALSE(h.action(ui::Command::Stop)->isEnabled());
    EXPECT_FALSE(h.action(ui::Command::Stop)->isChecked());
    EXPECT_TRUE(h.action(ui::Command::Sieve)->isEnabled());

    // The log window is loaded, hidden, with its start-up entry.
    ASSERT_NE(w.logWindow(), nullptr);
    EXPECT_FALSE(w.logWindow()->isVisible());
    EXPECT_EQ(h.logMessages(), std::vector<std::string> {"Quillbox loaded and running."});
}

TEST(MainWindowLayout, CaptionsTooltipsAndAccessibleNames)
{
    UiHarness h;
    ui::MainWindow& w = h.w();

    EXPECT_EQ(w.findChild<QGroupBox*>(QStringLiteral("optionsFrame"))->title(), QStringLiteral("Options"));
    EXPECT_EQ(w.findChild<QGroupBox*>(QStringLiteral("statisticsFrame"))->title(), QStringLiteral("Statistics"));
    EXPECT_TRUE(w.findChild<QGroupBox*>(QStringLiteral("statisticsFrame"))->font().bold());
    EXPECT_FALSE(w.findChild<QLabel*>(QStringLiteral("fileProgressCaption"))->font().bold())
        << "only the frame captions are bold";
    EXPECT_EQ(Label(w, "sourcePrompt"), QStringLiteral("Select the directory containing the files to sort."));
    EXPECT_EQ(Label(w, "destinationPrompt"), QStringLiteral("Select where to place the created dirs+files."));
    EXPECT_EQ(Label(w, "fileProgressCaption"), QStringLiteral("File Progress :"));
    EXPECT_EQ(Label(w, "currentFileCaption"), QStringLiteral("Current File   :"));
    EXPECT_EQ(Label(w, "processedCaption"), QStringLiteral("Processed    :"));

    EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("fileProgressCaption"))->toolTip(),
              QStringLiteral("current file OF total files"));
    EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("currentFileCaption"))->toolTip(),
              QStringLiteral("Filename of the file currently being processed"));
    EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("processedCaption"))->toolTip(),
              QStringLiteral("Processed megabytes of data"));
    EXPECT_EQ(h.copyOption()->toolTip(), QStringLiteral("Make a copy of the files"));
    EXPECT_EQ(h.moveOption()->toolTip(), QStringLiteral("Copy the files and then delete the originals"));
    EXPECT_EQ(h.viewLogBox()->toolTip(), QStringLiteral("Display the log window when operation has completed"));
    EXPECT_TRUE(h.createFoldersBox()->toolTip().isEmpty());
    EXPECT_EQ(h.progressBar()->toolTip(), QStringLiteral("Progress of operation"));
    EXPECT_EQ(h.sourceButton()->toolTip(), QStringLiteral("Select source directory.."));
    EXPECT_TRUE(h.destinationButton()->toolTip().isEmpty());

    EXPECT_EQ(h.sourceButton()->accessibleName(), QStringLiteral("Select source directory.."));
    EXPECT_EQ(h.destinationButton()->accessibleName(), QStringLiteral("Select destination directory.."));
    EXPECT_EQ(h.commandButton(ui::Command::Sieve)->accessibleName(), QStringLiteral("Sieve!"));
    EXPECT_EQ(h.commandButton(ui::Command::Stop)->accessibleName(), QStringLiteral("Stop!"));
    EXPECT_FALSE(h.sourceField()->accessibleName().isEmpty());
    EXPECT_FALSE(h.destinationField()->accessibleName().isEmpty());
    EXPECT_EQ(h.progressBar()->accessibleName(), QStringLiteral("Progress of operation"));

    // Each caption shows whole, with a gap before its value.
    const std::pair<const char*, QLabel*> rows[] = {{"fileProgressCaption", h.fileProgressValue()},
                                                    {"currentFileCaption", h.currentFileValue()},
                                                    {"processedCaption", h.processedValue()}};
    for (const auto& [name, value] : rows) {
        auto* caption = w.findChild<QLabel*>(QString::fromLatin1(name));
        const int textRight = caption->x() + caption->fontMetrics().horizontalAdvance(caption->text());
        EXPECT_GE(caption->width(), textRight - caption->x()) << name;
        EXPECT_GE(value->x() - textRight, 4) << name;
    }

    // Folder buttons: closed folder normally, open folder under the pointer.
    const QIcon icon = h.sourceButton()->icon();
    const QImage normal = icon.pixmap(QSize(16, 16), QIcon::Normal).toImage();
    const QImage active = icon.pixmap(QSize(16, 16), QIcon::Active).toImage();
    EXPECT_NE(normal, active);
    EXPECT_TRUE(h.sourceButton()->autoRaise());
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
            unnamed << QStringLiteral("%1 %2")
                           .arg(node->role())
                           .arg(node->object() ? node->object()->objectName() : QString());
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
    h.sourceField()->setFocus();
    // The source field comes before the options, the destination field
    // after them although it sits above them. "Stop!" is disabled, so Tab
    // passes it by.
    QWidget* expected[] = {h.sourceButton(),
                           h.copyOption(),
                           h.createFoldersBox(),
                           h.viewLogBox(),
                           h.commandButton(ui::Command::Sieve),
                           h.commandButton(ui::Command::Logging),
                           h.commandButton(ui::Command::About),
                           h.destinationField(),
                           h.destinationButton(),
                           h.sourceField()};
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
    QTest::mouseClick(h.moveOption(), Qt::LeftButton);
    EXPECT_TRUE(h.moveOption()->isChecked());
    EXPECT_FALSE(h.copyOption()->isChecked());
    QTest::mouseClick(h.copyOption(), Qt::LeftButton);
    EXPECT_TRUE(h.copyOption()->isChecked());
    EXPECT_FALSE(h.moveOption()->isChecked());

    h.click(ui::Command::Stop);
    EXPECT_FALSE(h.action(ui::Command::Stop)->isChecked());
    h.action(ui::Command::Stop)->setEnabled(true);
    h.click(ui::Command::Stop);
    EXPECT_TRUE(h.action(ui::Command::Stop)->isChecked());
    h.click(ui::Command::Stop);
    EXPECT_FALSE(h.action(ui::Command::Stop)->isChecked()) << "a second click releases it again";
}

TEST(FolderPicks, SourcePickSetsBothFieldsAndCancelKeepsThem)
{
    UiHarness h;
    ui::MainWindow& w = h.w();
    w.show();
    const QString before = h.sourceField()->text();

    h.pickerAnswers = {QString()};
    QTest::mouseClick(h.sourceButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.pickerTitles.size() == 1; }, 5000));
    EXPECT_EQ(h.pickerTitles[0], QStringLiteral("Select the directory that contains the files that require sorting.."));
    EXPECT_EQ(h.sourceField()->text(), before);
    EXPECT_EQ(h.destinationField()->text(), before);

    // A picked destination is overwritten by a newly picked source.
    h.pickerAnswers = {QStringLiteral("/srv/elsewhere"), QStringLiteral("/home/me/Downloads")};
    w.pickDestination();
    EXPECT_EQ(h.pickerTitles.back(),
              QStringLiteral("Select the directory that you would like the (optional) #-Z directories created in, "
                             "and then the files copied to.."));
    EXPECT_EQ(h.destinationField()->text(), QStringLiteral("/srv/elsewhere/"));
    EXPECT_EQ(h.sourceField()->text(), before) << "a destination pick leaves the source alone";
    w.pickSource();
    EXPECT_EQ(h.sourceField()->text(), QStringLiteral("/home/me/Downloads/"));
    EXPECT_EQ(h.destinationField()->text(), QStringLiteral("/home/me/Downloads/"));

    // The root folder comes back with its "/" and keeps a single one.
    h.pickerAnswers = {QStringLiteral("/")};
    w.pickSource();
    EXPECT_EQ(h.sourceField()->text(), QStringLiteral("/"));
    EXPECT_EQ(h.destinationField()->text(), QStringLiteral("/"));

    h.pickerAnswers = {QString()};
    w.pickDestination();
    EXPECT_EQ(h.destinationField()->text(), QStringLiteral("/"));
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
    EXPECT_EQ(h.sourceField()->text().toStdString(), h.dir / "photos/");
    EXPECT_EQ(h.destinationField()->text().toStdString(), h.dir / "photos/");
    w.openFolders(QStringLiteral("/srv/in"), QStringLiteral("/srv/out"));
    EXPECT_EQ(h.destinationField()->text(), QStringLiteral("/srv/out/"));

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
    drop(h.destinationField(), h.dir / "photos");
    EXPECT_EQ(h.destinationField()->text().toStdString(), h.dir / "photos/");
    drop(h.sourceField(), h.dir / "photos/img.jpg");
    EXPECT_EQ(h.sourceField()->text().toStdString(), h.dir / "photos/");
    EXPECT_EQ(h.destinationField()->text().toStdString(), h.dir / "photos/") << "a drop fills only its own field";
}
