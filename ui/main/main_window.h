// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <vector>

#include <QString>
#include <QWidget>

#include "core/jobs/run_observer.h"
#include "core/log/log_entry.h"
#include "ui/log/log_window.h"
#include "ui/main/main_form.h"
#include "ui/main/main_window_services.h"
#include "ui/main/window_state.h"

class QAction;

namespace quillbox::ui {

class RunController;
class StatisticsView;

// The main window: folder fields and options, the statistics, and the
// toolbar that starts a run, stops it, shows the log and shows the About
// window. The run itself is the run controller's; the window locks its
// controls while it lasts and shows what it reports.
class MainWindow final : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(MainWindowServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    bool isRunning() const { return m_state.isRunning(); }
    EventLog& log() { return m_log; }
    LogHost& logHost() { return m_logHost; }
    // The loaded log window, or nullptr.
    LogWindow* logWindow() const { return m_logHost.window(); }

    // Fills the folder fields as "Open with" asks: the source, and the
    // destination when given (else the source again).
    void openFolders(const QString& source, const QString& destination);

public slots:
    // What the toolbar's buttons do; a click queues these.
    void startSieve();
    void showLog();
    void showAbout();
    void pickSource();
    void pickDestination();
    // Asks which run would be taken back, and takes it back.
    void undoLastRun();

signals:
    // A run has ended and the window is unlocked again.
    void runFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void connectCommands();
    void setTabOrder();
    void centreOnScreen();

    // Asks for a folder with the picker behind `picker`; "" for none.
    QString pickFolder(QAction* picker, const QString& title);
    // Runs a command that opens a modal window, unless something else goes
    // on; false when it did not run.
    template <class F>
    bool runModalCommand(F&& command);
    void lockForRun(bool locked);
    void onEntriesLogged(const std::vector<LogEntry>& entries);
    void onRunEnded(const RunFigures& last, bool processing);

    MainWindowServices m_services;
    LogHost m_logHost;
    EventLog m_log;
    RunController* m_run = nullptr;
    WindowState m_state;
    MainForm m_form;
    std::unique_ptr<StatisticsView> m_statistics;
    QAction* m_undoAction = nullptr;
};

} // namespace quillbox::ui
