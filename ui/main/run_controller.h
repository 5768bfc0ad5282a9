// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <vector>

#include <QObject>
#include <QTimer>

#include "core/jobs/runner.h"
#include "ui/main/run_bridge.h"

class QThread;

namespace quillbox::ui {

// Runs the window's jobs, a sieve or an undo, one at a time on a thread of
// its own, and tells the window's thread what to show: the run's events in
// order, and the figures a few times a second while it counts or processes.
class RunController final : public QObject {
    Q_OBJECT

public:
    // Without journals in `ports`, runs keep none, and no run can be taken
    // back.
    explicit RunController(const RunPorts& ports, QObject* parent = nullptr);
    // A run still on is stopped and waited for.
    ~RunController() override;

    bool isRunning() const { return m_worker != nullptr; }
    bool canUndo() const { return m_runner.canUndo(); }
    // The newest run that could be taken back, if any.
    std::optional<JournalSummary> newestToTakeBack() const;

    // Runs `request` (a sort, in its mode until setMode() says otherwise,
    // or an undo).
    void start(const RunRequest& request);
    // The run reads these for every file.
    void setStop(bool stop);
    void setMode(TransferMode mode);

    // The counters of the run on, or of the last one.
    const RunCounters& counters() const;
    // The name of the file the run took up last.
    std::string currentName() const { return m_bridge.currentName(); }

    static constexpr int kCountTickMs = 200;
    static constexpr int kProgressTickMs = 250;

signals:
    void entriesLogged(const std::vector<quillbox::LogEntry>& entries);
    void logWindowRequested();
    void phaseReached(quillbox::RunPhase phase, const quillbox::RunFigures& figures);
    // While counting: the figures so far.
    void countTick(const quillbox::RunFigures& figures);
    // While processing: the figures so far.
    void progressTick(const quillbox::RunFigures& figures);
    // The run's thread is gone; `processing` tells whether it ended in the
    // middle of its processing pass.
    void runEnded(quillbox::RunEnd how, const quillbox::RunFigures& last, bool processing);

private:
    void onPhase(RunPhase phase, const RunFigures& figures);
    void onEnded(RunEnd how, const RunFigures& last);

    RunBridge m_bridge;
    Runner m_runner;
    RunKind m_kind = RunKind::Sort;
    RunControls m_controls;
    QThread* m_worker = nullptr;
    QTimer m_countTimer {this};
    QTimer m_progressTimer {this};
};

} // namespace quillbox::ui
