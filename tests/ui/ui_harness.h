// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QMessageBox>
#include <QString>

#include <gtest/gtest.h>

#include "platform/journal_files.h"
#include "tests/support/fake_log.h"
#include "tests/support/hooked_file_system.h"
#include "tests/support/temp_dir.h"
#include "ui/main/main_window.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QRadioButton;
class QTimer;
class QToolButton;

namespace quillbox::test {

// Bytes of the heap in use now, small and large blocks together (0 where
// the allocator does not tell).
std::size_t HeapInUse();

// One message box the window asked for.
struct BoxRequest {
    QString text;
    QString title;
    BoxStyle style;
};

// A main window over a temporary folder, with a folder picker and message
// boxes the test answers.
class UiHarness {
public:
    UiHarness();
    ~UiHarness();

    TempDir dir;
    TempDir state; // where the runs keep their journals
    JournalFolder journals {state.path() + "/runs"};
    HookedFileSystem fs;
    FakeClock clock;
    // Folders the picker returns, in turn ("" is a cancel); titles it saw.
    std::deque<QString> pickerAnswers;
    std::vector<QString> pickerTitles;
    // Runs while the picker is open, as things happen during a modal dialog.
    std::function<void()> whilePickerOpen;
    // Answers of the message boxes, in turn (Yes when none is left).
    std::deque<QMessageBox::StandardButton> boxAnswers;
    std::vector<BoxRequest> boxes;
    std::unique_ptr<ui::MainWindow> window;

    ui::MainWindow& w() { return *window; }

    // The window's child of type T named `name`; a test failure, and
    // nullptr, when there is none.
    template <class T>
    T* find(const char* name) const
    {
        T* child = window->findChild<T*>(QString::fromLatin1(name));
        if (child == nullptr)
            ADD_FAILURE() << "the main window has no " << name;
        return child;
    }
    // Its controls by their names.
    QLineEdit* sourceField() const;
    QLineEdit* destinationField() const;
    QToolButton* sourceButton() const;
    QToolButton* destinationButton() const;
    QRadioButton* copyOption() const;
    QRadioButton* moveOption() const;
    QCheckBox* createFoldersBox() const;
    QCheckBox* viewLogBox() const;
    QLabel* fileProgressValue() const;
    QLabel* currentFileValue() const;
    QLabel* processedValue() const;
    QProgressBar* progressBar() const;
    QAction* action(ui::Command command) const;
    QToolButton* commandButton(ui::Command command) const;
    QAction* undoAction() const;
    // The run's timers and counters.
    QTimer* countTimer() const;
    QTimer* progressTimer() const;
    const RunCounters& counters() const;

    // Source folder "in/" with the given files, destination "out/".
    void useFolders(const std::vector<std::string>& files);
    std::string source() const { return dir / "in"; }
    std::string destination() const { return dir / "out"; }

    // Clicks a main toolbar button as the mouse does.
    void click(ui::Command command);
    // Clicks Sieve! and waits (bounded) until the run has ended and the
    // window is unlocked again.
    bool clickSieveAndWait();
    // Waits (bounded) for a condition, letting the window's events run.
    static bool waitFor(const std::function<bool()>& condition, int ms = 20000);

    // The log's messages without their time.
    std::vector<std::string> logMessages() const;
};

} // namespace quillbox::test
