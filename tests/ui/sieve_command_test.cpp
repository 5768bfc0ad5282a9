// SPDX-License-Identifier: GPL-3.0-or-later
// Runs started from the toolbar, end to end on real files, with the run on
// its own thread: the window locks and unlocks around it, stays answerable
// while it goes, and reacts to Stop, the mode, boxes and a close.
#include <algorithm>
#include <cerrno>
#include <set>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <gtest/gtest.h>

#include "tests/ui/ui_harness.h"
#include "ui/about/about_dialog.h"
#include "ui/log/log_model.h"

using namespace quillbox;
using quillbox::test::Gate;
using quillbox::test::UiHarness;

namespace {

// The last two log messages.
std::vector<std::string> Tail(const std::vector<std::string>& messages)
{
    if (messages.size() < 2)
        return messages;
    return {messages.end() - 2, messages.end()};
}

bool LockedForRun(const UiHarness& h)
{
    return !h.sourceField()->isEnabled() && !h.destinationField()->isEnabled() && !h.sourceButton()->isEnabled() &&
        !h.destinationButton()->isEnabled() && !h.action(ui::Command::Sieve)->isEnabled() &&
        !h.action(ui::Command::About)->isEnabled() && h.action(ui::Command::Stop)->isEnabled() &&
        !h.createFoldersBox()->isEnabled() && h.action(ui::Command::Logging)->isEnabled() &&
        h.viewLogBox()->isEnabled() && h.copyOption()->isEnabled();
}

void ExpectIdle(UiHarness& h)
{
    EXPECT_FALSE(h.w().isRunning());
    EXPECT_TRUE(h.sourceButton()->isEnabled());
    EXPECT_TRUE(h.destinationButton()->isEnabled());
    EXPECT_TRUE(h.action(ui::Command::Sieve)->isEnabled());
    EXPECT_TRUE(h.action(ui::Command::About)->isEnabled());
    EXPECT_FALSE(h.action(ui::Command::Stop)->isEnabled());
    EXPECT_FALSE(h.action(ui::Command::Stop)->isChecked());
    EXPECT_TRUE(h.sourceField()->isEnabled());
    EXPECT_TRUE(h.destinationField()->isEnabled());
    EXPECT_TRUE(h.createFoldersBox()->isEnabled());
    EXPECT_FALSE(h.countTimer()->isActive());
    EXPECT_FALSE(h.progressTimer()->isActive());
    EXPECT_EQ(h.counters().figures().filesFound, 0);
}

// Holds the run before its `index`th file.
void HoldBefore(UiHarness& h, Gate& gate, int index)
{
    h.fs.beforeFile = [&gate, index](const std::string&, int at) {
        if (at == index)
            gate.pass();
    };
}

std::size_t FilesUnder(const UiHarness& h, const std::string& folder)
{
    std::size_t count = 0;
    for (const std::string& bucket : h.dir.names(folder))
        count += h.dir.names(folder + "/" + bucket).size();
    return count;
}

} // namespace

TEST(SieveCommand, CopyRunLocksTheWindowThenShowsItsFinalFigures)
{
    UiHarness h;
    h.useFolders({"apple", "Banana", "1num", "zed"});
    h.dir.write("in/big", std::string(1'500'000, 'x'));
    ui::MainWindow& w = h.w();
    w.show();
    Gate gate;
    HoldBefore(h, gate, 2);

    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return gate.reached(); }));
    EXPECT_TRUE(LockedForRun(h));
    EXPECT_TRUE(w.isRunning());
    // The window's thread is free: the progress timer ticks while the run
    // is held, and shows the file in hand.
    EXPECT_TRUE(UiHarness::waitFor([&] { return h.fileProgressValue()->text() == QStringLiteral("2 of 5"); }, 5000));
    EXPECT_FALSE(h.currentFileValue()->text().isEmpty());
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);
    gate.release();
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 1; }));

    EXPECT_TRUE(h.boxes.empty()) << "copy mode asks nothing";
    EXPECT_EQ(h.dir.names("out").size(), 27u) << "A..Z and #";
    EXPECT_EQ(h.dir.names("out/B"), (std::set<std::string> {"Banana", "big"}));
    EXPECT_EQ(h.dir.names("in").size(), 5u) << "a copy leaves the sources";
    EXPECT_EQ(h.sourceField()->text().toStdString(), h.source() + "/") << "fields get their trailing separator";
    EXPECT_EQ(Tail(h.logMessages()),
              (std::vector<std::string> {"Operation complete. 5 file(s) processed.", "Cleaning up complete."}));
    EXPECT_EQ(h.fileProgressValue()->text(), QStringLiteral("5 of 5"));
    EXPECT_EQ(h.processedValue()->text(), QStringLiteral("1,500,062 bytes (1 MB)"));
    EXPECT_EQ(h.progressBar()->maximum(), 5);
    EXPECT_EQ(h.progressBar()->value(), 5);
    ExpectIdle(h);
    EXPECT_FALSE(w.logWindow()->isVisible()) << "\"View log when done\" is off";
}

TEST(SieveCommand, MoveIsConfirmedFirstAndNoDoesNothing)
{
    UiHarness h;
    h.useFolders({"apple", "berry"});
    ui::MainWindow& w = h.w();
    w.show();
    QTest::mouseClick(h.moveOption(), Qt::LeftButton);

    h.boxAnswers = {QMessageBox::No};
    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return h.boxes.size() == 1; }));
    QApplication::processEvents();
    EXPECT_EQ(h.boxes[0].title, QStringLiteral("Move confirmation.."));
    EXPECT_EQ(h.boxes[0].style, BoxStyle::YesNoQuestion);
    EXPECT_FALSE(w.isRunning());
    EXPECT_EQ(h.logMessages(), std::vector<std::string> {"Quillbox loaded and running."});
    EXPECT_EQ(h.dir.names("in").size(), 2u);

    h.boxAnswers = {QMessageBox::Yes};
    ASSERT_TRUE(h.clickSieveAndWait());
    EXPECT_EQ(h.dir.names("in").size(), 0u);
    EXPECT_EQ(FilesUnder(h, "out"), 2u);
    ExpectIdle(h);
}

TEST(SieveCommand, StopEndsTheRunBeforeTheNextFile)
{
    UiHarness h;
    h.useFolders({"a1", "b2", "c3", "d4", "e5"});
    ui::MainWindow& w = h.w();
    w.show();
    h.viewLogBox()->setChecked(true);
    Gate gate;
    HoldBefore(h, gate, 2);
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);

    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return gate.reached(); }));
    h.click(ui::Command::Stop);
    EXPECT_TRUE(h.action(ui::Command::Stop)->isChecked());
    gate.release();
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 1; }));

    EXPECT_EQ(FilesUnder(h, "out"), 2u) << "the file in hand completes, no further one is touched";
    EXPECT_EQ(Tail(h.logMessages()),
              (std::vector<std::string> {"Processing aborted by user.", "Cleaning up complete."}));
    EXPECT_TRUE(w.logWindow()->isVisible()) << "shown at the end, with the last entry in it";
    EXPECT_EQ(static_cast<std::size_t>(w.logWindow()->list()->model()->rowCount()), w.logWindow()->model().entryCount())
        << "every entry is in the list";
    EXPECT_EQ(h.progressBar()->value(), 2) << "the bar keeps where the run stopped";
    ExpectIdle(h);
}

TEST(SieveCommand, SwitchingToMoveMidRunMovesTheFollowingFilesWithoutAsking)
{
    UiHarness h;
    h.useFolders({"a1", "a2", "a3", "a4"});
    ui::MainWindow& w = h.w();
    w.show();
    Gate gate;
    // Held after two files have been copied, before the third is taken up.
    h.fs.afterFile = [&](int handled) {
        if (handled == 2)
            gate.pass();
    };
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);

    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return gate.reached(); }));
    QTest::mouseClick(h.moveOption(), Qt::LeftButton);
    gate.release();
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 1; }));

    EXPECT_TRUE(h.boxes.empty());
    EXPECT_EQ(h.dir.names("in").size(), 2u);
    EXPECT_EQ(h.dir.names("out/A").size(), 4u);
    const auto messages = h.logMessages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Copy Mode = Copy"), messages.end());
}

// The box of a clicked log row is modal; the run goes on behind it.
TEST(SieveCommand, LogRowBoxDuringARunDoesNotHoldTheRun)
{
    UiHarness h;
    h.useFolders({"a1", "b2", "c3"});
    ui::MainWindow& w = h.w();
    w.show();
    Gate gate;
    HoldBefore(h, gate, 1);
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);
    bool endedWhileBoxOpen = false;
    h.w().logWindow(); // loaded at start
    // The box: lets the run go on, then stays open (in its own loop, as a
    // modal box does) until the run has ended.
    ui::LogWindow* log = w.logWindow();
    ASSERT_NE(log, nullptr);

    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return gate.reached(); }));
    h.boxAnswers.clear();
    std::size_t boxesBefore = h.boxes.size();
    QTimer::singleShot(0, log, [&] {
        gate.release();
        endedWhileBoxOpen = UiHarness::waitFor([&] { return finished.count() == 1; });
    });
    log->showEntryBox(0);
    EXPECT_EQ(h.boxes.size(), boxesBefore + 1);
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 1; }));
    EXPECT_TRUE(endedWhileBoxOpen);
    EXPECT_EQ(FilesUnder(h, "out"), 3u);
}

// Once the window has been asked to close, a second click on Stop! does not
// release the run: the close wins, the run ends through its usual ending,
// and the window closes.
TEST(SieveCommand, CloseMidRunStopsAndASecondStopClickDoesNotUndoIt)
{
    UiHarness h;
    h.useFolders({"a1", "b2", "c3", "d4"});
    ui::MainWindow& w = h.w();
    w.show();
    Gate gate;
    HoldBefore(h, gate, 2);
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);

    std::vector<std::string> logAtEnd;
    QObject::connect(&w, &ui::MainWindow::runFinished, [&] { logAtEnd = h.logMessages(); });

    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return gate.reached(); }));
    EXPECT_FALSE(w.close()) << "the window waits for the run";
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(h.action(ui::Command::Stop)->isChecked());
    h.click(ui::Command::Stop);
    EXPECT_TRUE(h.action(ui::Command::Stop)->isChecked());
    gate.release();
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 1; }));

    EXPECT_TRUE(UiHarness::waitFor([&] { return !w.isVisible(); }));
    EXPECT_EQ(FilesUnder(h, "out"), 2u);
    EXPECT_EQ(Tail(logAtEnd), (std::vector<std::string> {"Processing aborted by user.", "Cleaning up complete."}));
    EXPECT_EQ(w.logWindow(), nullptr) << "the log window went with it";
}

// A Sieve! click that arrives while a folder picker is open is dropped: no
// run starts inside the picker, nor after it.
TEST(SieveCommand, SieveClickDuringAPickerNeverStartsANestedRun)
{
    UiHarness h;
    h.useFolders({"a1"});
    ui::MainWindow& w = h.w();
    w.show();
    bool runningInsidePicker = false;
    h.pickerAnswers = {QString::fromStdString(h.source())};
    h.whilePickerOpen = [&] {
        QTest::mouseClick(h.commandButton(ui::Command::Sieve), Qt::LeftButton);
        QApplication::processEvents(); // the dialog's own loop delivers the click
        runningInsidePicker = w.isRunning();
    };
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);

    QTest::mouseClick(h.sourceButton(), Qt::LeftButton);
    ASSERT_TRUE(UiHarness::waitFor([&] { return !h.pickerTitles.empty(); }));
    QApplication::processEvents();

    EXPECT_FALSE(runningInsidePicker);
    EXPECT_FALSE(w.isRunning());
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(h.dir.names("out").size(), 0u);
    EXPECT_EQ(h.sourceField()->text().toStdString(), h.source() + "/") << "the pick itself still counts";
}

TEST(SieveCommand, AboutStaysShutDuringARun)
{
    UiHarness h;
    h.useFolders({"a1", "b2"});
    ui::MainWindow& w = h.w();
    w.show();
    Gate gate;
    HoldBefore(h, gate, 1);
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);

    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return gate.reached(); }));
    EXPECT_FALSE(h.action(ui::Command::About)->isEnabled());
    w.showAbout(); // as a stray queued click would
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    gate.release();
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 1; }));
}

TEST(SieveCommand, NoFilesShowsTheCountLineAndTheNoFilesText)
{
    UiHarness h;
    h.useFolders({});
    ui::MainWindow& w = h.w();
    w.show();
    ASSERT_TRUE(h.clickSieveAndWait());
    EXPECT_EQ(h.currentFileValue()->text(), QStringLiteral("0 files found.."));
    EXPECT_EQ(h.fileProgressValue()->text(), QStringLiteral("No files were found. Check Log."));
    EXPECT_EQ(
        Tail(h.logMessages()),
        (std::vector<std::string> {"No files found in the selected directory. Aborting.", "Cleaning up complete."}));
    ExpectIdle(h);
}

// A source that cannot be listed ends as one without files does, with the
// reason in one more row, and the log window shows it.
TEST(SieveCommand, SourceThatCannotBeListedShowsTheNoFilesTextAndTheReason)
{
    UiHarness h;
    h.useFolders({"apple", "berry"});
    h.fs.openDirectoryError = EIO;
    ui::MainWindow& w = h.w();
    w.show();
    ASSERT_TRUE(h.clickSieveAndWait());
    EXPECT_EQ(h.currentFileValue()->text(), QStringLiteral("0 files found.."));
    EXPECT_EQ(h.fileProgressValue()->text(), QStringLiteral("No files were found. Check Log."));
    const std::vector<std::string> messages = h.logMessages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(
        (std::vector<std::string> {messages.end() - 3, messages.end()}),
        (std::vector<std::string> {"Error while sieving: [5] - Input/output error.",
                                   "No files found in the selected directory. Aborting.", "Cleaning up complete."}));
    EXPECT_TRUE(w.logWindow() != nullptr && w.logWindow()->isVisible());
    EXPECT_EQ(h.dir.names("in"), (std::set<std::string> {"apple", "berry"}));
    ExpectIdle(h);
}

TEST(SieveCommand, ClosingWhenIdleTakesTheVisibleLogWindowAlong)
{
    UiHarness h;
    ui::MainWindow& w = h.w();
    w.show();
    h.click(ui::Command::Logging);
    ASSERT_TRUE(UiHarness::waitFor([&] { return w.logWindow() && w.logWindow()->isVisible(); }));
    QPointer<ui::LogWindow> log = w.logWindow();
    EXPECT_TRUE(w.close());
    EXPECT_EQ(w.logWindow(), nullptr);
    EXPECT_TRUE(UiHarness::waitFor([&] { return log.isNull(); }));
}

TEST(SieveCommand, AboutOpensModalFromTheToolbarAndCloses)
{
    UiHarness h;
    ui::MainWindow& w = h.w();
    w.show();
    // The About window runs its own loop; look at it and close it from a
    // timer inside that loop, as a person would.
    QString title, caption;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* about = qobject_cast<ui::AboutDialog*>(QApplication::activeModalWidget())) {
            title = about->windowTitle();
            caption = about->titleLabel()->text();
            about->close();
        }
    });
    poll.start(10);
    h.click(ui::Command::About);
    ASSERT_TRUE(UiHarness::waitFor([&] { return !title.isEmpty(); }, 5000));
    poll.stop();
    EXPECT_EQ(title, QStringLiteral("Quillbox .."));
    EXPECT_EQ(caption, QStringLiteral("Quillbox v0.97"));
    EXPECT_TRUE(UiHarness::waitFor([] { return QApplication::activeModalWidget() == nullptr; }, 5000));
    EXPECT_TRUE(h.action(ui::Command::Sieve)->isEnabled());
}

// Ctrl+Z asks which run it would take back, then takes it back as a run of
// its own; it is shut while a run goes.
TEST(SieveCommand, UndoLastRunAsksThenPutsTheFilesBack)
{
    UiHarness h;
    h.useFolders({"apple", "berry"});
    ui::MainWindow& w = h.w();
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::mouseClick(h.moveOption(), Qt::LeftButton);
    Gate gate;
    HoldBefore(h, gate, 2);
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);
    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return gate.reached(); }));
    EXPECT_FALSE(h.undoAction()->isEnabled());
    gate.release();
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 1; }));
    ASSERT_TRUE(h.dir.names("in").empty());
    EXPECT_TRUE(h.undoAction()->isEnabled());
    EXPECT_TRUE(w.logWindow()->list()->actions().contains(h.undoAction())) << "in the log window's menu too";

    h.boxAnswers = {QMessageBox::Yes};
    const std::size_t boxesBefore = h.boxes.size();
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 2; }));
    ASSERT_EQ(h.boxes.size(), boxesBefore + 1);
    EXPECT_TRUE(h.boxes.back().text.contains(QStringLiteral("Move from ") + QString::fromStdString(h.source())));
    EXPECT_TRUE(h.boxes.back().text.contains(QStringLiteral("put back 2 moved file(s)")));
    EXPECT_EQ(h.dir.names("in"), (std::set<std::string> {"apple", "berry"}));
    EXPECT_EQ(Tail(h.logMessages()).front(),
              "Undo complete. 2 file(s) put back, 0 copies removed, 0 left as they were.");
    ExpectIdle(h);
}

// A copy switched to Move part way: the box counts each kind.
TEST(SieveCommand, UndoBoxCountsTheMovedAndTheCopiedFilesOfARunThatSwitched)
{
    UiHarness h;
    h.useFolders({"apple", "berry", "cherry"});
    ui::MainWindow& w = h.w();
    w.show();
    Gate gate;
    HoldBefore(h, gate, 2);
    QSignalSpy finished(&w, &ui::MainWindow::runFinished);
    h.click(ui::Command::Sieve);
    ASSERT_TRUE(UiHarness::waitFor([&] { return gate.reached(); }));
    QTest::mouseClick(h.moveOption(), Qt::LeftButton);
    gate.release();
    ASSERT_TRUE(UiHarness::waitFor([&] { return finished.count() == 1; }));
    ASSERT_EQ(h.dir.names("in").size(), 2u) << "the first two files were copied";

    h.boxAnswers = {QMessageBox::No};
    const std::size_t boxesBefore = h.boxes.size();
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    ASSERT_TRUE(UiHarness::waitFor([&] { return h.boxes.size() == boxesBefore + 1; }));
    EXPECT_TRUE(h.boxes.back().text.contains(QStringLiteral("Copy from ")));
    EXPECT_TRUE(
        h.boxes.back().text.contains(QStringLiteral("It will put back 1 moved file(s) and remove 2 copied file(s).")))
        << h.boxes.back().text.toStdString();
    ExpectIdle(h);
}
