// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "core/ports/log_window_port.h"
#include "ui/services/message_box.h"
#include "ui/services/save_picker.h"

class QTreeView;

namespace quillbox::ui {

class LogModel;

// The log window: one list of every log row, with its icon. Closing it
// only hides it; it really closes only once the program is ending.
class LogWindow final : public QWidget, public LogWindowPort {
    Q_OBJECT

public:
    explicit LogWindow(MessageBoxFn messageBox, SavePickerFn pickSaveFile = AskSaveFileName, QWidget* parent = nullptr);
    ~LogWindow() override;

    // LogWindowPort
    void appendRow(std::string_view text, LogIcon icon) override;
    // Brings the window to the front, as bringToFront() does.
    void show() override;

    // Shows the window, back from minimised if it was, raised and active.
    void bringToFront();

    // From now on a close closes for good instead of hiding.
    void allowClose() { m_closeForGood = true; }

    QTreeView* list() const { return m_list; }
    LogModel& model() const { return *m_model; }

    // Shows the box for one row, as a plain click on it does.
    void showEntryBox(int row);
    // The selected rows as text, one per line, to the clipboard.
    void copySelection();
    // Asks where, and writes the whole log there as UTF-8 text, one entry a
    // line, escaped as the window shows it; the file appears whole or not at
    // all. False when nothing was
    // written (cancelled, or failed: a box says why).
    bool saveLog();

signals:
    // The window let itself be unloaded; it is deleted soon after.
    void unloaded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fitListToWindow();
    void scheduleFlush();

    MessageBoxFn m_messageBox;
    SavePickerFn m_pickSaveFile;
    bool m_closeForGood = false;
    Qt::KeyboardModifiers m_clickModifiers;
    LogModel* m_model = nullptr;
    QTreeView* m_list = nullptr;
    QTimer m_flushTimer;
};

// Creates the log window on first use (hidden), and forgets it when it has
// been unloaded. A window still loaded when the host goes is deleted with it.
class LogHost final : public QObject, public LogWindowHost {
    Q_OBJECT

public:
    explicit LogHost(MessageBoxFn messageBox, SavePickerFn pickSaveFile = AskSaveFileName);
    ~LogHost() override;

    bool isLogWindowLoaded() override { return m_window != nullptr; }
    void createLogWindow() override;
    LogWindowPort& logWindow() override;

    // The loaded window, or nullptr.
    LogWindow* window() const { return m_window.data(); }

    // Closes the window for good, as the program's shutdown does.
    void forceUnload();

private:
    MessageBoxFn m_messageBox;
    SavePickerFn m_pickSaveFile;
    QPointer<LogWindow> m_window;
};

} // namespace quillbox::ui
