#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "core/log_window_port.h"
#include "ui/services/message_box.h"

class QTreeView;

namespace quillbox::ui {

class LogModel;

// The log window: one list of every log row, with its icon. Closing it
// only hides it; it really closes (unloads) only while its Tag is not empty.
class wLogging final : public QWidget, public LogWindowPort {
    Q_OBJECT

public:
    explicit wLogging(MessageBoxFn messageBox, QWidget* parent = nullptr);
    ~wLogging() override;

    // LogWindowPort
    void appendRow(std::string_view text, LogIcon icon) override;
    void show() override;

    const QString& Tag() const { return m_tag; }
    void setTag(const QString& tag) { m_tag = tag; }

    QTreeView* list() const { return m_lvwLog; }
    LogModel& model() const { return *m_model; }

    // Shows the box for one row, as a click on it does.
    void lvwLog_ItemClick(int row);

signals:
    // The window let itself be unloaded; it is deleted soon after.
    void unloaded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fitListToWindow();
    void scheduleFlush();

    MessageBoxFn m_messageBox;
    QString m_tag;
    LogModel* m_model = nullptr;
    QTreeView* m_lvwLog = nullptr;
    QTimer m_flushTimer;
};

// Creates the log window on first use (hidden), and forgets it when it has
// been unloaded. A window still loaded when the host goes is deleted with it.
class LogHost final : public QObject, public LogWindowHost {
    Q_OBJECT

public:
    explicit LogHost(MessageBoxFn messageBox);
    ~LogHost() override;

    bool isLogWindowLoaded() override { return m_window != nullptr; }
    void createLogWindow() override;
    LogWindowPort& logWindow() override;

    // The loaded window, or nullptr.
    wLogging* window() const { return m_window.data(); }

    // Unloads the window as the program's shutdown does: Tag "FORCE_QUIT",
    // then close.
    void forceUnload();

private:
    MessageBoxFn m_messageBox;
    QPointer<wLogging> m_window;
};

} // namespace quillbox::ui
