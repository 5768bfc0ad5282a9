// SPDX-License-Identifier: GPL-3.0-or-later
// The log window: its rows, batches, close and unload, and the row box.
#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>

#include <sys/stat.h>

#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "tests/support/fault_tools.h"
#include "tests/ui/ui_harness.h"
#include "ui/log/log_model.h"

using namespace quillbox;

namespace {

struct LogFixture {
    std::vector<test::BoxRequest> boxes;
    QString saveAs; // what the save dialog answers
    ui::LogHost host {[this](QWidget*, const QString& text, const QString& title, BoxStyle style) {
                          boxes.push_back({text, title, style});
                          return QMessageBox::Ok;
                      },
                      [this](QWidget*, const QString&, const QString&) { return saveAs; }};
    ui::LogWindow& window()
    {
        host.createLogWindow();
        return *host.window();
    }
};

} // namespace

TEST(LogWindow, ShowsRowsInOrderWithTheirIcons)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    EXPECT_EQ(log.windowTitle(), QStringLiteral("Quillbox Error Log.."));
    EXPECT_EQ(log.size(), QSize(378, 295));
    EXPECT_FALSE(log.isVisible()) << "created hidden";

    log.appendRow("12:00:01 - first", LogIcon::Information);
    log.appendRow("", LogIcon::None);
    log.appendRow("12:00:02 - careful", LogIcon::Exclamation);
    log.appendRow("12:00:03 - bad \xff name\n12:00:04 - forged", LogIcon::Critical);
    log.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.isVisible(); }, 5000));

    QAbstractItemModel* model = log.list()->model();
    ASSERT_EQ(model->rowCount(), 4) << "showing brings every stored row in";
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Logged Entries.."));
    EXPECT_EQ(model->index(0, 0).data().toString(), QStringLiteral("12:00:01 - first"));
    EXPECT_EQ(model->index(1, 0).data().toString(), QString());
    EXPECT_FALSE(model->index(1, 0).data(Qt::DecorationRole).isValid()) << "a blank row has no icon";
    EXPECT_EQ(model->index(3, 0).data().toString(), QStringLiteral("12:00:03 - bad \\xFF name\\n12:00:04 - forged"))
        << "shown escaped, as the saved log writes it";
    const auto image = [&](int row) {
        return qvariant_cast<QIcon>(model->index(row, 0).data(Qt::DecorationRole)).pixmap(16, 16).toImage();
    };
    EXPECT_FALSE(image(0).isNull());
    EXPECT_NE(image(0), image(2));
    EXPECT_NE(image(2), image(3));
    EXPECT_NE(image(0), image(3));
    EXPECT_EQ(log.model().entryText(3), "12:00:03 - bad \xff name\n12:00:04 - forged")
        << "stored as the bytes they are";
    EXPECT_EQ(log.model().entryIcon(2), LogIcon::Exclamation);
}

TEST(LogWindow, RowsReachTheVisibleListInBatches)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    log.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.isVisible(); }, 5000));
    QSignalSpy inserted(log.list()->model(), &QAbstractItemModel::rowsInserted);

    constexpr int kRows = 150'000;
    std::string text;
    text.reserve(100);
    const std::size_t heapBefore = test::HeapInUse();
    for (int i = 0; i < kRows; ++i) {
        text = "12:34:56 - Could not copy/move file name-" + std::to_string(i) + ". File exists.";
        log.appendRow(text, LogIcon::Exclamation);
    }
    const std::size_t heapAfter = test::HeapInUse();
    const std::size_t heapGrowth = heapAfter > heapBefore ? heapAfter - heapBefore : 0;
    EXPECT_EQ(log.model().entryCount(), static_cast<std::size_t>(kRows));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.list()->model()->rowCount() == kRows; }, 10000));
    EXPECT_EQ(inserted.count(), 1) << "one insertion for the whole batch";
    EXPECT_EQ(log.list()->model()->index(kRows - 1, 0).data().toString(),
              QStringLiteral("12:34:56 - Could not copy/move file name-149999. File exists."));
    EXPECT_TRUE(log.list()->uniformRowHeights());
    // Typical rows of ~70 characters cost well under 100 bytes each.
    EXPECT_LT(heapGrowth / kRows, 100u) << "bytes per row";

    // The view can jump to the end and paint there.
    log.list()->scrollToBottom();
    EXPECT_FALSE(log.list()->grab().isNull());
}

TEST(LogWindow, CloseHidesAndKeepsRowsUntilForcedUnload)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    log.appendRow("12:00:01 - kept", LogIcon::Information);
    log.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.isVisible(); }, 5000));

    EXPECT_FALSE(log.close()) << "a close only hides it";
    EXPECT_FALSE(log.isVisible());
    EXPECT_TRUE(f.host.isLogWindowLoaded());
    log.show();
    EXPECT_EQ(log.list()->model()->rowCount(), 1);

    // Once closing is allowed it goes; the host forgets it.
    QPointer<ui::LogWindow> gone = &log;
    log.allowClose();
    EXPECT_TRUE(log.close());
    EXPECT_FALSE(f.host.isLogWindowLoaded());
    EXPECT_TRUE(QTest::qWaitFor([&] { return gone.isNull(); }, 5000));

    // The next use loads a fresh one.
    f.host.createLogWindow();
    ASSERT_NE(f.host.window(), nullptr);
    EXPECT_EQ(f.host.window()->model().entryCount(), 0u);
    QPointer<ui::LogWindow> second = f.host.window();
    f.host.forceUnload();
    ASSERT_FALSE(second.isNull()) << "deleted from the event loop, not inside its own close";
    EXPECT_FALSE(f.host.isLogWindowLoaded());
    EXPECT_TRUE(QTest::qWaitFor([&] { return second.isNull(); }, 5000));
}

TEST(LogWindow, ListFollowsTheWindowSize)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    log.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.isVisible(); }, 5000));
    QTreeView* list = log.list();
    EXPECT_EQ(list->geometry(), QRect(0, 1, 378, 294));
    EXPECT_EQ(list->columnWidth(0), 378 - 23);
    // A long row is cut at the column; the list never scrolls sideways.
    log.appendRow(std::string(400, 'w'), LogIcon::Information);
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->model()->rowCount() == 1; }, 5000));
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);

    log.resize(500, 400);
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->width() == 500; }, 5000));
    EXPECT_EQ(list->geometry(), QRect(0, 1, 500, 399));
    EXPECT_EQ(list->columnWidth(0), 477);

    // Too small for the list: its height stays, its width still follows, and
    // the column keeps its width when it would be negative.
    log.setMinimumSize(0, 0);
    log.resize(20, 0);
    ASSERT_EQ(log.height(), 0);
    EXPECT_EQ(list->height(), 399);
    EXPECT_EQ(list->width(), 20);
    EXPECT_EQ(list->columnWidth(0), 477);
}

TEST(LogWindow, ClickingARowShowsItsTextInABox)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    log.appendRow("12:00:01 - first", LogIcon::Information);
    log.appendRow("", LogIcon::None);
    log.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.isVisible(); }, 5000));

    const QRect first = log.list()->visualRect(log.list()->model()->index(0, 0));
    QTest::mouseClick(log.list()->viewport(), Qt::LeftButton, {}, first.center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.boxes.size() == 1; }, 5000));
    EXPECT_EQ(f.boxes[0].text, QStringLiteral("12:00:01 - first"));
    EXPECT_EQ(f.boxes[0].title, QStringLiteral("Selected entry.."));
    EXPECT_EQ(f.boxes[0].style, BoxStyle::Information);

    const QRect blank = log.list()->visualRect(log.list()->model()->index(1, 0));
    QTest::mouseClick(log.list()->viewport(), Qt::LeftButton, {}, blank.center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.boxes.size() == 2; }, 5000));
    EXPECT_EQ(f.boxes[1].text, QString()) << "the blank row shows an empty box";
}

TEST(LogWindow, KeysCopyTheSelectionAndSaveTheWholeLog)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    log.appendRow("12:00:01 - first", LogIcon::Information);
    log.appendRow("", LogIcon::None);
    log.appendRow("12:00:02 - Could not copy/move file caf\xc3\xa9 \xff\\x\r\n. File exists.", LogIcon::Exclamation);
    log.show();
    log.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&log));
    log.list()->setFocus();

    QTest::keyClick(log.list(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(log.list(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().count(QLatin1Char('\n')), 3) << "one line per entry";
    EXPECT_TRUE(QGuiApplication::clipboard()->text().startsWith(QStringLiteral("12:00:01 - first\n\n12:00:02")));
    EXPECT_EQ(log.list()->actions().size(), 3) << "Copy, Select all, Save log as...";

    // Saved whole, names that are not UTF-8 told apart from those that are.
    test::TempDir dir;
    dir.write("log.txt", "an older log");
    f.saveAs = QString::fromStdString(dir / "log.txt");
    QTest::keyClick(log.list(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return test::ReadFile(dir / "log.txt") != "an older log"; }, 5000));
    EXPECT_EQ(test::ReadFile(dir / "log.txt"),
              "12:00:01 - first\n\n12:00:02 - Could not copy/move file caf\xc3\xa9 \\xFF\\\\x\\r\\n. File exists.\n");
    EXPECT_EQ(dir.names(), std::set<std::string> {"log.txt"}) << "no temporary file left";

    // A save that cannot be written leaves the old file and says why.
    ::chmod(dir.path().c_str(), 0555);
    f.saveAs = QString::fromStdString(dir / "other.txt");
    {
        test::WithoutDacOverride noOverride;
        EXPECT_FALSE(log.saveLog());
    }
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(f.boxes.size(), 1u);
    EXPECT_EQ(dir.names(), std::set<std::string> {"log.txt"});
}

TEST(LogWindow, ShiftOrCtrlClickOnlyExtendsTheSelection)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    for (const char* text : {"12:00:01 - one", "12:00:02 - two", "12:00:03 - three", "12:00:04 - four"})
        log.appendRow(text, LogIcon::Information);
    log.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.isVisible(); }, 5000));
    QWidget* viewport = log.list()->viewport();
    const auto rowCentre = [&](int row) { return log.list()->visualRect(log.list()->model()->index(row, 0)).center(); };
    const auto selectedRows = [&] {
        std::set<int> rows;
        for (const QModelIndex& index : log.list()->selectionModel()->selectedRows())
            rows.insert(index.row());
        return rows;
    };

    QTest::mouseClick(viewport, Qt::LeftButton, {}, rowCentre(0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.boxes.size() == 1; }, 5000));
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ShiftModifier, rowCentre(2));
    EXPECT_EQ(selectedRows(), (std::set<int> {0, 1, 2}));
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, rowCentre(1));
    EXPECT_EQ(selectedRows(), (std::set<int> {0, 2}));

    // Boxes open in click order: the next one is the plain click's, so the
    // two modified clicks asked for none.
    QTest::mouseClick(viewport, Qt::LeftButton, {}, rowCentre(3));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.boxes.size() >= 2; }, 5000));
    EXPECT_EQ(f.boxes.size(), 2u);
    EXPECT_EQ(f.boxes[1].text, QStringLiteral("12:00:04 - four"));
    EXPECT_EQ(selectedRows(), (std::set<int> {3}));
}

TEST(LogWindow, ARowTooLongForTheColumnIsElidedWithTheWholeEntryAsTooltip)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    const std::string longEntry = "12:00:01 - Could not copy/move file " + std::string(300, 'w') + "\t.";
    log.appendRow("12:00:00 - short", LogIcon::Information);
    log.appendRow(longEntry, LogIcon::Exclamation);
    log.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.list()->model()->rowCount() == 2; }, 5000));
    EXPECT_EQ(log.list()->textElideMode(), Qt::ElideRight);

    QWidget* viewport = log.list()->viewport();
    const auto hover = [&](int row) {
        const QPoint at = log.list()->visualRect(log.list()->model()->index(row, 0)).center();
        QHelpEvent event(QEvent::ToolTip, at, viewport->mapToGlobal(at));
        QApplication::sendEvent(viewport, &event);
    };
    const QString whole =
        QString::fromStdString("12:00:01 - Could not copy/move file " + std::string(300, 'w') + "\\t.");
    hover(1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QToolTip::isVisible() && QToolTip::text() == whole; }, 5000))
        << QToolTip::text().toStdString();
    // A row that fits has no tooltip: the long row's goes, none takes its place.
    hover(0);
    EXPECT_NE(QToolTip::text().toStdString(), "12:00:00 - short");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QToolTip::isVisible(); }, 5000));
}

// The Logging button and "View log when done" both bring a minimised log
// window back, in front and active.
TEST(LogWindow, ShowingItAgainUnminimisesRaisesAndActivatesIt)
{
    test::UiHarness h;
    h.useFolders({"apple"});
    ui::MainWindow& w = h.w();
    w.show();
    h.click(ui::Command::Logging);
    ui::LogWindow* log = w.logWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log->isVisible(); }, 5000));

    const auto minimiseAndFocusMain = [&] {
        log->showMinimized();
        ASSERT_TRUE(QTest::qWaitFor([&] { return log->isMinimized(); }, 5000));
        w.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    };
    const auto inFront = [&] {
        return QTest::qWaitFor([&] { return !log->isMinimized() && log->isVisible() && log->isActiveWindow(); }, 5000);
    };

    minimiseAndFocusMain();
    h.click(ui::Command::Logging);
    EXPECT_TRUE(inFront()) << "Logging";

    minimiseAndFocusMain();
    h.viewLogBox()->setChecked(true);
    ASSERT_TRUE(h.clickSieveAndWait());
    EXPECT_TRUE(inFront()) << "View log when done";
}

TEST(LogWindow, NoRowLooksChosenUntilTheUserPicksOne)
{
    LogFixture f;
    ui::LogWindow& log = f.window();
    log.appendRow("12:00:01 - Quillbox loaded and running.", LogIcon::Information);
    log.appendRow("12:00:02 - second", LogIcon::Information);
    log.show();
    log.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&log));
    QTreeView* list = log.list();
    ASSERT_EQ(QApplication::focusWidget(), list) << "the list has the focus";
    EXPECT_FALSE(list->currentIndex().isValid()) << "no row is drawn as the current one";
    EXPECT_TRUE(list->selectionModel()->selectedRows().isEmpty());

    // Hidden and shown again, still nothing.
    log.close();
    log.show();
    log.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&log));
    EXPECT_FALSE(list->currentIndex().isValid());

    // A key picks the first row; from then on the list keeps what was picked.
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->currentIndex().row(), 0);
    ASSERT_EQ(list->selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(list->selectionModel()->selectedRows().front().row(), 0);
    QTest::keyClick(list, Qt::Key_Down);
    list->clearFocus();
    list->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(list->currentIndex().row(), 1);
}

namespace {

// What the next modal message box showed, read once it is up (bounded),
// and then closed with OK.
struct SeenBox {
    bool shown = false;
    QString text;
    bool labelShown = true;
    bool viewShown = false;
    QString viewText;
    int horizontalOverflow = -1;
    int verticalScroll = -1;
    QSize size;
};

void ReadNextBox(SeenBox& seen)
{
    auto* poll = new QTimer;
    auto deadline = std::make_shared<int>(500);
    QObject::connect(poll, &QTimer::timeout, [=, &seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr && box->isVisible()) {
            seen.shown = true;
            seen.text = box->text();
            seen.size = box->size();
            if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
                seen.labelShown = label->isVisible();
            if (auto* view = box->findChild<QTextEdit*>(QStringLiteral("messageText"))) {
                seen.viewShown = view->isVisible();
                seen.viewText = view->toPlainText();
                seen.horizontalOverflow = view->horizontalScrollBar()->maximum() +
                    std::max(0, static_cast<int>(view->document()->idealWidth()) - view->viewport()->width());
                seen.verticalScroll = view->verticalScrollBar()->maximum();
            }
            box->button(QMessageBox::Ok)->click();
        }
        if (box != nullptr || --*deadline == 0) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(10);
}

} // namespace

TEST(LogWindow, TheBoxOfALongRowShowsAllOfItWrapped)
{
    ui::LogHost host(ShowMessageBox);
    host.createLogWindow();
    ui::LogWindow& log = *host.window();
    // A name of 202 characters, with no space to wrap at.
    const std::string name = std::string(195, 'n') + "end.txt";
    ASSERT_EQ(name.size(), 202u);
    const std::string row = "12:00:01 - Could not copy/move file " + name + ". File exists.";
    log.appendRow(row, LogIcon::Exclamation);
    log.appendRow("12:00:02 - short", LogIcon::Information);
    log.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.isVisible(); }, 5000));

    SeenBox seen;
    ReadNextBox(seen);
    log.showEntryBox(0);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.text, QString::fromStdString(row)) << "the box's text is the row's";
    EXPECT_TRUE(seen.viewShown);
    EXPECT_FALSE(seen.labelShown);
    EXPECT_EQ(seen.viewText, QString::fromStdString(row));
    EXPECT_EQ(seen.horizontalOverflow, 0) << "wrapped: nothing lies beyond the right edge";
    EXPECT_EQ(seen.verticalScroll, 0) << "a few lines need no scrolling";
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(seen.size.width(), screen.width());

    // A short row keeps the plain box.
    SeenBox plain;
    ReadNextBox(plain);
    log.showEntryBox(1);
    ASSERT_TRUE(plain.shown);
    EXPECT_TRUE(plain.labelShown);
    EXPECT_FALSE(plain.viewShown);
}

TEST(LogWindow, AVeryLongTextScrollsInsideABoxThatFitsTheScreen)
{
    QString text;
    for (int i = 1; i <= 300; ++i)
        text += QStringLiteral("line %1 of a long text\n").arg(i);
    SeenBox seen;
    ReadNextBox(seen);
    EXPECT_EQ(ShowMessageBox(nullptr, text, QStringLiteral("Selected entry.."), BoxStyle::Information),
              QMessageBox::Ok);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.viewText.trimmed(), text.trimmed()) << "all of it, to the last line";
    EXPECT_GT(seen.verticalScroll, 0) << "scrollable";
    EXPECT_EQ(seen.horizontalOverflow, 0);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(seen.size.height(), screen.height());
}
