// Runs started from the toolbar, end to end on real files.
#include <algorithm>
#include <set>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include "tests/ui/ui_harness.h"
#include "ui/about/about_dialog.h"

using namespace quillbox;
using quillbox::test::UiHarness;

namespace {

bool Contains(const std::vector<std::string>& messages, const std::string& message)
{
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

// The last two log messages.
std::vector<std::string> Tail(const std::vector<std::string>& messages)
{
    if (messages.size() < 2)
        return messages;
    return {messages.end() - 2, messages.end()};
}

void ExpectIdleControls(ui::wMain& w)
{
    EXPECT_TRUE(w.sourceButton()->isEnabled());
    EXPECT_TRUE(w.destinationButton()->isEnabled());
    EXPECT_TRUE(w.toolbarAction(kKeySieve)->isEnabled());
    EXPECT_TRUE(w.toolbarAction(kKeyAbout)->isEnabled());
    EXPECT_FALSE(w.toolbarAction(kKeyStop)->isEnabled());
    EXPECT_FALSE(w.toolbarAction(kKeyStop)->isChecked());
    EXPECT_TRUE(w.txtSource()->isEnabled());
    EXPECT_TRUE(w.txtDestination()->isEnabled());
    EXPECT_TRUE(w.chkCreateDirs()->isEnabled());
    EXPECT_FALSE(w.tmrCountFiles().isActive());
    EXPECT_FALSE(w.tmrTimer().isActive());
    EXPECT_FALSE(w.sieve().IsRunning());
}

} // namespace

TEST(SieveCommand, CopyRunSortsEveryFileWithoutAskingAndShowsFinalFigures)
{
    UiHarness h;
    h.useFolders({"apple", "Banana", "1num", "zed"});
    h.dir.write("in/big", std::string(1'500'000, 'x'));
    ui::wMain& w = h.w();
    w.show();

    // While the run is on, the window is locked.
    bool lockedDuringRun = false;
    h.fs.afterFile = [&](int) {
        lockedDuringRun = !w.txtSource()->isEnabled() && !w.sourceButton()->isEnabled() &&
                          !w.toolbarAction(kKeySieve)->isEnabled() && !w.toolbarAction(kKeyAbout)->isEnabled() &&
                          w.toolbarAction(kKeyStop)->isEnabled() && !w.chkCreateDirs()->isEnabled() &&
                          w.toolbarAction(kKeyLogging)->isEnabled() && w.chkViewLogWhenDone()->isEnabled();
    };
    ASSERT_TRUE(h.clickSieveAndWait());

    EXPECT_TRUE(h.boxes.empty()) << "copy mode asks nothing";
    EXPECT_TRUE(lockedDuringRun);
    EXPECT_EQ(h.dir.names("out").size(), 27u) << "A..Z and #";
    EXPECT_EQ(h.dir.names("out/A"), std::set<std::string>{"apple"});
    EXPECT_EQ(h.dir.names("out/B"), (std::set<std::string>{"Banana", "big"}));
    EXPECT_EQ(h.dir.names("out/#"), std::set<std::string>{"1num"});
    EXPECT_EQ(h.dir.names("out/Z"), std::set<std::string>{"zed"});
    EXPECT_EQ(h.dir.names("in").size(), 5u) << "a copy leaves the sources";
    EXPECT_EQ(test::ReadFile(h.dir / "out/A/apple"), "content of apple");

    // Fields got their trailing "/" from the run.
    EXPECT_EQ(w.txtSource()->text().toStdString(), h.source() + "/");

    const auto messages = h.logMessages();
    EXPECT_TRUE(Contains(messages, " -- SIEVING ----"));
    EXPECT_TRUE(Contains(messages, "Copy Mode = Copy"));
    EXPECT_TRUE(Contains(messages, "Found 5 file(s) for processing."));
    EXPECT_EQ(Tail(messages),
              (std::vector<std::string>{"Operation complete. 5 file(s) processed.", "Cleaning up complete."}));

    const std::size_t bytes = 1'500'000 + std::string("content of apple").size() + std::string("content of Banana").size() +
                              std::string("content of 1num").size() + std::string("content of zed").size();
    EXPECT_EQ(w.labFileProgress()->text(), QStringLiteral("5 of 5"));
    EXPECT_EQ(w.labCurrentFile()->text().toStdString(), w.progressTimerTag());
    EXPECT_FALSE(w.progressTimerTag().empty());
    EXPECT_EQ(w.labMBMoved()->text(), QStringLiteral("1,500,%1 bytes (1 MB)").arg(bytes - 1'500'000, 3, 10, QLatin1Char('0')));
    EXPECT_EQ(w.prgProgress()->maximum(), 5);
    EXPECT_EQ(w.prgProgress()->value(), 5);
    ExpectIdleControls(w);
    EXPECT_EQ(w.sieve().Counters().FilesFound, 0) << "counters are reset, the labels keep the figures";
    EXPECT_FALSE(w.logWindow()->isVisible()) << "\"View log when done\" is off";
}

TEST(SieveCommand, MoveAskedAndAnsweredYesMovesTheFiles)
{
    UiHarness h;
    h.useFolders({"alpha", "beta", "Gamma"});
    ui::wMain& w = h.w();
    w.show();
    QTest::mouseClick(w.optCopyMode(1), Qt::LeftButton);
    w.chkViewLogWhenDone()->setChecked(true);
    h.boxAnswers = {QMessageBox::Yes};

    ASSERT_TRUE(h.clickSieveAndWait());

    ASSERT_EQ(h.boxes.size(), 1u);
    EXPECT_EQ(h.boxes[0].title, QStringLiteral("Move confirmation.."));
    EXPECT_EQ(h.boxes[0].text, QStringLiteral("You have selected MOVE for the copymode - all files\n"
                                              "contained within the source directory will be moved\n"
                                              "to the destination directory.\n\n"
                                              "ARE YOU SURE YOU WANT TO DO THIS?"));
    EXPECT_EQ(h.boxes[0].style, BoxStyle::YesNoQuestion);
    EXPECT_TRUE(h.dir.names("in").empty());
    EXPECT_EQ(h.dir.names("out/A"), std::set<std::string>{"alpha"});
    EXPECT_EQ(h.dir.names("out/G"), std::set<std::string>{"Gamma"});
    EXPECT_TRUE(Contains(h.logMessages(), "Copy Mode = Move"));
    ASSERT_NE(w.logWindow(), nullptr);
    EXPECT_TRUE(w.logWindow()->isVisible()) << "\"View log when done\" shows the log at the end";
    ExpectIdleControls(w);
}

TEST(SieveCommand, MoveAnsweredNoDoesNothingAtAll)
{
    UiHarness h;
    h.useFolders({"alpha", "beta"});
    ui::wMain& w = h.w();
    w.show();
    w.optCopyMode(1)->setChecked(true);
    h.boxAnswers = {QMessageBox::No};
    const auto logBefore = h.logMessages();

    ASSERT_TRUE(h.clickSieveAndWait());

    EXPECT_EQ(h.boxes.size(), 1u);
    EXPECT_EQ(h.logMessages(), logBefore) << "no run, no log entry";
    EXPECT_EQ(h.dir.names("in"), (std::set<std::string>{"alpha", "beta"}));
    EXPECT_TRUE(h.dir.names("out").empty());
    EXPECT_EQ(w.labFileProgress()->text(), QStringLiteral("--"));
    EXPECT_EQ(w.txtSource()->text().toStdString(), h.source()) << "not even the trailing /";
    ExpectIdleControls(w);
}

TEST(SieveCommand, StopPressedMidRunEndsBeforeTheNextFile)
{
    UiHarness h;
    h.useFolders({"a1", "b2", "c3", "d4", "e5", "f6"});
    ui::wMain& w = h.w();
    w.show();
    int handledAtStop = -1;
    h.fs.afterFile = [&](int handled) {
        if (handled == 2) {
            handledAtStop = handled;
            // The person's click arrives with the run's next event processing.
            QMetaObject::invokeMethod(
                &w, [&w] { QTest::mouseClick(w.toolbarButton(kKeyStop), Qt::LeftButton); }, Qt::QueuedConnection);
        }
    };
    ASSERT_TRUE(h.clickSieveAndWait());

    EXPECT_EQ(handledAtStop, 2);
    EXPECT_EQ(h.fs.handled, 2) << "no file after the one during which Stop was pressed";
    std::size_t copied = 0;
    for (const std::string& bucket : h.dir.names("out"))
        copied += h.dir.names("out/" + bucket).size();
    EXPECT_EQ(copied, 2u);
    EXPECT_EQ(Tail(h.logMessages()),
              (std::vector<std::string>{"Processing aborted by user.", "Cleaning up complete."}));
    ExpectIdleControls(w);
    EXPECT_EQ(w.prgProgress()->value(), 2) << "the bar stays part-way";
}

TEST(SieveCommand, StatisticsShowAtTicksAndNoFilesIsReported)
{
    UiHarness h;
    h.useFolders({"a1", "b2", "c3", "d4"});
    ui::wMain& w = h.w();
    w.show();
    QString atTick;
    QString nameAtTick;
    bool tickSeen = false;
    h.fs.afterFile = [&](int handled) {
        if (handled != 3)
            return;
        nameAtTick = QString::fromStdString(w.progressTimerTag());
        // Wait (bounded) for a real tick of tmrTimer to write the labels.
        tickSeen = QTest::qWaitFor([&] { return w.labFileProgress()->text() == QStringLiteral("3 of 4"); }, 5000);
        atTick = w.labFileProgress()->text() + QLatin1Char('|') + w.labCurrentFile()->text();
    };
    ASSERT_TRUE(h.clickSieveAndWait());
    EXPECT_TRUE(tickSeen);
    EXPECT_FALSE(nameAtTick.isEmpty());
    EXPECT_EQ(atTick, QStringLiteral("3 of 4|") + nameAtTick) << "the tick shows the file handled last";
    EXPECT_EQ(w.labFileProgress()->text(), QStringLiteral("4 of 4"));

    // An empty source: the count line for 0 files and the no-files text.
    test::RemoveTree(h.source());
    h.dir.mkdir("in");
    ASSERT_TRUE(h.clickSieveAndWait());
    EXPECT_EQ(w.labCurrentFile()->text(), QStringLiteral("0 files found.."));
    EXPECT_EQ(w.labFileProgress()->text(), QStringLiteral("No files were found. Check Log."));
    EXPECT_EQ(Tail(h.logMessages()), (std::vector<std::string>{"No files found in the selected directory. Aborting.",
                                                               "Cleaning up complete."}));
}

TEST(SieveCommand, TickHandlersWriteTheLocaleTexts)
{
    UiHarness h;
    ui::wMain& w = h.w();
    // A direct call behaves as a tick, whether the timer runs or not.
    w.setProgressTimerTag("caf\xc3\xa9 \xff.txt");
    w.tmrTimer_Timer();
    EXPECT_EQ(w.labFileProgress()->text(), QStringLiteral(" of "));
    EXPECT_EQ(w.labMBMoved()->text(), QStringLiteral("0 bytes ( MB)"));
    EXPECT_TRUE(w.labCurrentFile()->text().startsWith(QStringLiteral("caf\u00e9 "))) << "names show as best possible";
    w.tmrCountFiles_Timer();
    EXPECT_EQ(w.labCurrentFile()->text(), QStringLiteral("0 files found.."));
}

TEST(SieveCommand, CommandsAreDispatchedByExactKeyAndNeverNest)
{
    UiHarness h;
    h.useFolders({"a1", "b2", "c3"});
    ui::wMain& w = h.w();
    w.show();
    const auto logBefore = h.logMessages();
    w.tbrDoSieve_ButtonClick(QStringLiteral("_SIEVE"));
    w.tbrDoSieve_ButtonClick(QStringLiteral("_stop"));
    w.tbrDoSieve_ButtonClick(QStringLiteral("sieve"));
    EXPECT_EQ(h.logMessages(), logBefore);

    // A second "_sieve" reaching the window during a run is dropped, and
    // "_logging" works meanwhile.
    h.fs.afterFile = [&](int handled) {
        if (handled == 1) {
            w.tbrDoSieve_ButtonClick(QStringLiteral("_sieve"));
            w.tbrDoSieve_ButtonClick(QStringLiteral("_about"));
            h.click(kKeyLogging);
        }
    };
    ASSERT_TRUE(h.clickSieveAndWait());
    const auto messages = h.logMessages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), std::string(" -- SIEVING ----")), 1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ASSERT_NE(w.logWindow(), nullptr);
    EXPECT_TRUE(w.logWindow()->isVisible());

    // Showing it again keeps one window.
    ui::wLogging* first = w.logWindow();
    w.tbrDoSieve_ButtonClick(QStringLiteral("_logging"));
    EXPECT_EQ(w.logWindow(), first);
}

TEST(SieveCommand, ClosingTheMainWindowMidRunStopsTheRunAndThenCloses)
{
    UiHarness h;
    h.useFolders({"a1", "b2", "c3", "d4", "e5", "f6"});
    ui::wMain& w = h.w();
    w.show();
    w.optCopyMode(1)->setChecked(true);
    w.chkViewLogWhenDone()->setChecked(true);
    QPointer<ui::wLogging> log = w.logWindow();
    std::vector<std::string> logAtEnd;
    QObject::connect(&w, &ui::wMain::sieveCommandFinished, [&] { logAtEnd = h.logMessages(); });
    h.fs.afterFile = [&](int handled) {
        if (handled == 2)
            QMetaObject::invokeMethod(&w, [&w] { w.close(); }, Qt::QueuedConnection);
    };

    ASSERT_TRUE(h.clickSieveAndWait());

    EXPECT_EQ(h.fs.handled, 2);
    EXPECT_EQ(Tail(logAtEnd), (std::vector<std::string>{"Processing aborted by user.", "Cleaning up complete."}));
    EXPECT_FALSE(w.sieve().IsRunning());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 5000));
    // The log window went with it.
    EXPECT_EQ(w.logWindow(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return log.isNull(); }, 5000));
    // Every file is in exactly one place.
    std::set<std::string> everywhere = h.dir.names("in");
    std::size_t moved = 0;
    for (const std::string& bucket : h.dir.names("out")) {
        for (const std::string& name : h.dir.names("out/" + bucket)) {
            everywhere.insert(name);
            ++moved;
        }
    }
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(h.dir.names("in").size(), 4u);
    EXPECT_EQ(everywhere, (std::set<std::string>{"a1", "b2", "c3", "d4", "e5", "f6"}));
}

TEST(SieveCommand, ClosingWhenIdleTakesTheVisibleLogWindowAlong)
{
    UiHarness h;
    ui::wMain& w = h.w();
    w.show();
    h.click(kKeyLogging);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.logWindow() && w.logWindow()->isVisible(); }, 5000));
    QPointer<ui::wLogging> log = w.logWindow();
    EXPECT_TRUE(w.close());
    EXPECT_EQ(w.logWindow(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return log.isNull(); }, 5000));
}

TEST(SieveCommand, AboutOpensModalFromTheToolbarAndCloses)
{
    UiHarness h;
    ui::wMain& w = h.w();
    w.show();
    // The About window runs its own loop; look at it and close it from a
    // timer inside that loop, as a person would.
    QString title, caption;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* about = qobject_cast<ui::wAbout*>(QApplication::activeModalWidget())) {
            title = about->windowTitle();
            caption = about->labTitle()->text();
            about->close();
        }
    });
    poll.start(10);
    h.click(kKeyAbout);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !title.isEmpty(); }, 5000));
    poll.stop();
    EXPECT_EQ(title, QStringLiteral("Quillbox .."));
    EXPECT_EQ(caption, QStringLiteral("Quillbox v0.97"));
    EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::activeModalWidget() == nullptr; }, 5000));
    EXPECT_TRUE(w.toolbarAction(kKeySieve)->isEnabled());
}

TEST(SieveCommand, ProgressBarRefusesValuesOutsideItsRange)
{
    UiHarness h;
    ui::wMain& w = h.w();
    w.setProgressValue(0);
    w.setProgressMax(10);
    w.setProgressMin(0);
    EXPECT_TRUE(w.setProgressValue(10));
    EXPECT_FALSE(w.setProgressValue(11));
    EXPECT_FALSE(w.setProgressValue(-1));
    EXPECT_EQ(w.progressValue(), 10);
    EXPECT_EQ(w.prgProgress()->value(), 10);

    // Counts beyond the widget's int still show in proportion.
    w.setProgressValue(0);
    w.setProgressMax(8e12);
    EXPECT_TRUE(w.setProgressValue(4e12));
    EXPECT_EQ(w.progressValue(), 4e12);
    EXPECT_EQ(w.prgProgress()->value() * 2, w.prgProgress()->maximum());
}

// During a run the bar is drawn at most a few dozen times a second; what
// that holds back must still show when the run's timer stops, and a full
// bar shows at once.
TEST(SieveCommand, PacedProgressBarEndsOnTheExactValue)
{
    UiHarness h;
    ui::wMain& w = h.w();
    w.setProgressValue(0);
    w.setProgressMax(1000);
    w.setProgressMin(0);
    w.setProgressTimerEnabled(true);
    for (int value = 1; value <= 700; ++value)
        ASSERT_TRUE(w.setProgressValue(value));
    w.setProgressTimerEnabled(false);
    EXPECT_EQ(w.prgProgress()->value(), 700);

    w.setProgressTimerEnabled(true);
    EXPECT_TRUE(w.setProgressValue(1000));
    EXPECT_EQ(w.prgProgress()->value(), 1000);
    w.setProgressTimerEnabled(false);
}
