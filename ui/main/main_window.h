#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <QString>
#include <QTimer>
#include <QWidget>

#include "core/log_entry.h"
#include "core/main_window_port.h"
#include "ui/main/main_window_services.h"
#include "core/sieve.h"
#include "ui/log/log_window.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QRadioButton;
class QToolBar;
class QToolButton;

namespace quillbox::ui {

// The main window: folder fields and options, the statistics, and the
// toolbar that starts a run, shows the log and shows the About window. The
// run drives it through MainWindowPort.
class wMain final : public QWidget, public MainWindowPort {
    Q_OBJECT

public:
    explicit wMain(MainWindowServices services, QWidget* parent = nullptr);
    ~wMain() override;

    // Event handlers. Form_Load runs from the constructor.
    void Form_Load();
    void Form_Unload();
    void tbrSource_ButtonClick();
    void tbrDestination_ButtonClick();
    // Runs the command of a main toolbar key at once ("_sieve" returns when
    // the run has ended). A click on the toolbar queues this call.
    void tbrDoSieve_ButtonClick(const QString& key);
    void tmrCountFiles_Timer();
    void tmrTimer_Timer();

    Sieve& sieve() { return m_sieve; }
    EventLog& log() { return m_log; }
    LogHost& logHost() { return m_logHost; }
    // The loaded log window, or nullptr.
    wLogging* logWindow() const { return m_logHost.window(); }

    // The controls, for tests and tools.
    QAction* toolbarAction(std::string_view key) const;
    QToolButton* toolbarButton(std::string_view key) const;
    QToolButton* sourceButton() const;
    QToolButton* destinationButton() const;
    QLineEdit* txtSource() const { return m_txtSource; }
    QLineEdit* txtDestination() const { return m_txtDestination; }
    QRadioButton* optCopyMode(int index) const { return index == 0 ? m_optCopy : m_optMove; }
    QCheckBox* chkCreateDirs() const { return m_chkCreateDirs; }
    QCheckBox* chkViewLogWhenDone() const { return m_chkViewLogWhenDone; }
    QLabel* labFileProgress() const { return m_labFileProgress; }
    QLabel* labCurrentFile() const { return m_labCurrentFile; }
    QLabel* labMBMoved() const { return m_labMBMoved; }
    QProgressBar* prgProgress() const { return m_prgProgress; }
    QTimer& tmrCountFiles() { return m_tmrCountFiles; }
    QTimer& tmrTimer() { return m_tmrTimer; }
    const std::string& progressTimerTag() const { return m_timerTag; }

    // MainWindowPort
    void setSourcePickerEnabled(bool enabled) override;
    void setDestinationPickerEnabled(bool enabled) override;
    void setToolbarButtonEnabled(std::string_view key, bool enabled) override;
    bool isStopPressed() override;
    void setStopPressed(bool pressed) override;
    void setSourceEnabled(bool enabled) override;
    std::string sourceText() override;
    void setSourceText(const std::string& text) override;
    void setDestinationEnabled(bool enabled) override;
    std::string destinationText() override;
    void setDestinationText(const std::string& text) override;
    void setCreateDirsEnabled(bool enabled) override;
    bool isCreateDirsChecked() override;
    bool isCopyModeSelected(int index) override;
    bool isViewLogWhenDoneChecked() override;
    void setCurrentFileCaption(const std::string& caption) override;
    void repaintCurrentFile() override;
    void setFileProgressCaption(const std::string& caption) override;
    void repaintFileProgress() override;
    void setProgressMax(double max) override;
    void setProgressMin(double min) override;
    bool setProgressValue(double value) override;
    double progressValue() override;
    double progressMax() override;
    void setCountTimerEnabled(bool enabled) override;
    void runCountTimerTick() override;
    void setProgressTimerEnabled(bool enabled) override;
    void setProgressTimerTag(const std::string& name) override;
    void runProgressTimerTick() override;
    void processPendingEvents() override;

signals:
    // A "_sieve" command has ended (after the run, or after No in the box).
    void sieveCommandFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildOptionsFrame();
    void buildStatisticsFrame();
    void buildToolbars();
    void setTabOrderByIndex();
    void centreOnScreen();
    void showBar();
    int barFilled() const;
    void sieveCommand();
    void aboutCommand();
    void closeIfAsked();

    MainWindowServices m_services;
    LogHost m_logHost;
    EventLog m_log;
    Sieve m_sieve;

    QGroupBox* m_frame2 = nullptr;
    QLabel* m_label2 = nullptr;
    QLineEdit* m_txtSource = nullptr;
    QToolBar* m_tbrSource = nullptr;
    QAction* m_actSource = nullptr;
    QLabel* m_label5 = nullptr;
    QLineEdit* m_txtDestination = nullptr;
    QToolBar* m_tbrDestination = nullptr;
    QAction* m_actDestination = nullptr;
    QRadioButton* m_optCopy = nullptr;
    QRadioButton* m_optMove = nullptr;
    QCheckBox* m_chkCreateDirs = nullptr;
    QCheckBox* m_chkViewLogWhenDone = nullptr;

    QGroupBox* m_frame1 = nullptr;
    QLabel* m_label1 = nullptr;
    QLabel* m_labFileProgress = nullptr;
    QLabel* m_label3 = nullptr;
    QLabel* m_labCurrentFile = nullptr;
    QLabel* m_label4 = nullptr;
    QLabel* m_labMBMoved = nullptr;
    QProgressBar* m_prgProgress = nullptr;

    QToolBar* m_tbrDoSieve = nullptr;
    QAction* m_actSieve = nullptr;
    QAction* m_actStop = nullptr;
    QAction* m_actLogging = nullptr;
    QAction* m_actAbout = nullptr;

    QTimer m_tmrCountFiles;
    QTimer m_tmrTimer;
    std::string m_timerTag;

    // The progress bar's Min, Max and Value; the widget shows them in ints.
    double m_barMin = 0;
    double m_barMax = 100;
    double m_barValue = 0;
    // The checked states the run reads per file, as the controls report them.
    bool m_stopChecked = false;
    bool m_copyChecked = false;
    bool m_moveChecked = false;

    // The filled width the widget was last told of, in pixels.
    int m_barFilledShown = -1;
    // The bar's width as of its last showing, so that a file's progress
    // need not ask the widget.
    int m_barWidth = 0;
    // While the progress timer runs, the bar is drawn at most this often
    // (seconds); when it was last drawn so.
    static constexpr double kBarInterval = 0.04;
    bool m_barPaced = false;
    double m_barShownAt = 0;

    // A command with a run or a modal box is under way; a second one waits
    // for nothing and is dropped, a close waits for its end.
    bool m_commandActive = false;
    bool m_closeAfterCommand = false;
};

} // namespace quillbox::ui
