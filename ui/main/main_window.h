#pragma once

#include <memory>
#include <vector>

#include <QString>
#include <QTimer>
#include <QWidget>

#include "core/log_entry.h"
#include "core/sieve_job.h"
#include "core/undo_job.h"
#include "ui/log/log_window.h"
#include "ui/main/main_window_services.h"
#include "ui/main/run_bridge.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QRadioButton;
class QThread;
class QToolBar;
class QToolButton;

namespace quillbox::ui {

// The buttons of the main toolbar.
enum class Command { Sieve, Stop, Logging, About };

// The main window: folder fields and options, the statistics, and the
// toolbar that starts a run, stops it, shows the log and shows the About
// window. A run goes on a thread of its own; the window locks its controls
// while it lasts and shows what the run reports.
class MainWindow final : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(MainWindowServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    bool isRunning() const { return m_worker != nullptr; }
    EventLog& log() { return m_log; }
    LogHost& logHost() { return m_logHost; }
    // The loaded log window, or nullptr.
    LogWindow* logWindow() const { return m_logHost.window(); }
    const RunCounters& counters() const { return *m_counters; }

    // The controls, for tests and tools.
    QAction* action(Command command) const;
    // "Undo last run...": Ctrl+Z here, and in the log window's menu.
    QAction* undoAction() const { return m_undoAction; }
    QToolButton* commandButton(Command command) const;
    QToolButton* sourceButton() const;
    QToolButton* destinationButton() const;
    QLineEdit* sourceField() const { return m_sourceField; }
    QLineEdit* destinationField() const { return m_destinationField; }
    QRadioButton* copyOption() const { return m_copyOption; }
    QRadioButton* moveOption() const { return m_moveOption; }
    QCheckBox* createFoldersBox() const { return m_createFoldersBox; }
    QCheckBox* viewLogBox() const { return m_viewLogBox; }
    QLabel* fileProgressLabel() const { return m_fileProgress; }
    QLabel* currentFileLabel() const { return m_currentFile; }
    QLabel* processedLabel() const { return m_processed; }
    QProgressBar* progressBar() const { return m_progressBar; }
    const QTimer& countTimer() const { return m_countTimer; }
    const QTimer& progressTimer() const { return m_progressTimer; }

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
    QFont regularFont() const;
    QGroupBox* addFrame(const QString& title, const char* objectName, const QRect& geometry);
    void buildOptionsFrame();
    void buildStatisticsFrame();
    void buildToolbars();
    void setTabOrder();
    void centreOnScreen();

    // Asks for a folder with the picker behind `picker`; "" for none.
    QString pickFolder(QAction* picker, const QString& title);
    void lockForRun(bool locked);
    template <class Work>
    void startOnWorker(Work&& work, const RunCounters& counters);
    void showCountLine(const RunFigures& figures);
    void showProgress(const RunFigures& figures);
    void showBar(double value, double max);
    void onEntriesLogged(const std::vector<LogEntry>& entries);
    void onPhaseReached(RunPhase phase, const RunFigures& figures);
    void onRunEnded(const RunFigures& last);
    // Runs a command that opens a modal window, unless another one is open.
    template <class F>
    void runModalCommand(F&& command);

    MainWindowServices m_services;
    LogHost m_logHost;
    EventLog m_log;
    RunBridge m_bridge;
    SieveJob m_job;
    std::unique_ptr<UndoJob> m_undo;
    const RunCounters* m_counters = nullptr;
    RunControls m_controls;
    QThread* m_worker = nullptr;

    QGroupBox* m_optionsFrame = nullptr;
    QLabel* m_sourcePrompt = nullptr;
    QLineEdit* m_sourceField = nullptr;
    QToolBar* m_sourceBar = nullptr;
    QAction* m_pickSourceAction = nullptr;
    QLabel* m_destinationPrompt = nullptr;
    QLineEdit* m_destinationField = nullptr;
    QToolBar* m_destinationBar = nullptr;
    QAction* m_pickDestinationAction = nullptr;
    QRadioButton* m_copyOption = nullptr;
    QRadioButton* m_moveOption = nullptr;
    QCheckBox* m_createFoldersBox = nullptr;
    QCheckBox* m_viewLogBox = nullptr;

    QGroupBox* m_statisticsFrame = nullptr;
    QLabel* m_fileProgress = nullptr;
    QLabel* m_currentFile = nullptr;
    QLabel* m_processed = nullptr;
    QProgressBar* m_progressBar = nullptr;

    QToolBar* m_commandBar = nullptr;
    QAction* m_sieveAction = nullptr;
    QAction* m_stopAction = nullptr;
    QAction* m_loggingAction = nullptr;
    QAction* m_aboutAction = nullptr;
    QAction* m_undoAction = nullptr;

    QTimer m_countTimer;
    QTimer m_progressTimer;
    // The processing pass's number found: the bar's maximum.
    double m_found = 0;

    // A modal box or dialog of a command is open: another command waits for
    // nothing and is dropped, a close waits for its end.
    bool m_modalOpen = false;
    // The window was asked to close: the run is stopped, and the window
    // closes when the run (or the modal command) has ended.
    bool m_closeRequested = false;
};

} // namespace quillbox::ui
