// SPDX-License-Identifier: GPL-3.0-or-later
// Closing the main window while a run goes on, inside the program's own
// event loop: the run ends through its usual ending, the log window goes
// with the main window, and the loop ends with exit code 0.
#include <set>

#include <QApplication>
#include <QPointer>
#include <QRadioButton>
#include <QTimer>

#include <gtest/gtest.h>

#include "tests/ui/ui_harness.h"
#include "ui/log/log_window.h"

namespace quillbox::test {
namespace {

// Runs the application's loop until the last window has closed; 1 if that
// has not happened within the bound.
int ExecUntilLastWindowCloses()
{
    QApplication::setQuitOnLastWindowClosed(true);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(1); });
    guard.start(20000);
    const int code = QApplication::exec();
    QApplication::setQuitOnLastWindowClosed(false);
    return code;
}

std::set<std::string> EveryName(const UiHarness& h, std::size_t& inBuckets)
{
    std::set<std::string> names = h.dir.names("in");
    inBuckets = 0;
    for (const std::string& bucket : h.dir.names("out")) {
        for (const std::string& name : h.dir.names("out/" + bucket)) {
            names.insert(name);
            ++inBuckets;
        }
    }
    return names;
}

TEST(Shutdown, ClosingWhileCountingOrProcessingEndsTheRunAndTheLoopCleanly)
{
    const std::vector<std::string> files = {"ant", "bee", "cat", "dog", "eel", "fox", "gnu", "hen"};
    struct Case {
        const char* when;
        bool whileCounting;
        std::vector<std::string> lastEntries;
        std::size_t moved;
    };
    for (const Case& c :
         {Case {"while counting", true, {"File count processing aborted by user.", "Cleaning up complete."}, 0},
          Case {"while processing", false, {"Processing aborted by user.", "Cleaning up complete."}, 3}}) {
        SCOPED_TRACE(c.when);
        UiHarness h;
        h.useFolders(files);
        ui::MainWindow& w = h.w();
        h.moveOption()->setChecked(true); // move: a file is in one place or the other
        w.show();
        w.log().ShowLogWindow();
        QPointer<ui::LogWindow> log = w.logWindow();
        std::vector<std::string> logAtEnd;
        QObject::connect(&w, &ui::MainWindow::runFinished, [&] { logAtEnd = h.logMessages(); });
        // The run is held at the third file; the window is closed then, as a
        // person would, and the run let go.
        Gate gate;
        if (c.whileCounting)
            h.fs.afterCounted = [&](int counted) {
                if (counted == 3)
                    gate.pass();
            };
        else
            h.fs.afterFile = [&](int handled) {
                if (handled == 3)
                    gate.pass();
            };
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (!gate.reached())
                return;
            closer.stop();
            w.close();
            gate.release();
        });
        closer.start(5);

        h.click(ui::Command::Sieve);
        EXPECT_EQ(ExecUntilLastWindowCloses(), 0);

        ASSERT_GE(logAtEnd.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(logAtEnd.end() - 2, logAtEnd.end()), c.lastEntries);
        EXPECT_FALSE(w.isRunning());
        EXPECT_FALSE(w.isVisible());
        EXPECT_TRUE(log.isNull() || !log->isVisible());
        std::size_t moved = 0;
        EXPECT_EQ(EveryName(h, moved), std::set<std::string>(files.begin(), files.end()));
        EXPECT_EQ(moved, c.moved);
    }
}

} // namespace
} // namespace quillbox::test
