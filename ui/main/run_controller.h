// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QTimer>

#include "core/jobs/sieve_job.h"
#include "core/jobs/undo_job.h"
#include "core/journal/journal.h"
#include "core/ports/clock.h"
#include "core/ports/file_system.h"
#include "ui/main/run_bridge.h"

class QThread;

namespace quillbox::ui {

// Runs the window's jobs, a sieve or an undo, one at a time on a thread of
// its own, and tells the window's thread what to show: the run's events in
// order, and the figures a few times a second while it counts or processes.
class RunController final : public QObject {
    Q_OBJECT

public:
    // No journals: runs keep none, and no run can be taken back.
    RunController(FileSystem& fileSystem, Clock& clock, JournalStore* journals, QObject* parent = nullptr);
    // A run still on is stopped and waited for.
    ~RunController() override;

    bool isRunning() const { return m_worker != nullptr; }
    bool canUndo() const { return m_undo != nullptr; }
    // The newest run that could be taken back, if any.
    std::optional<JournalSummary> newestToTakeBack() const;

    // Sieves as `settings` say, in `mode` until setMode() says otherwise.
    void start(const RunSettings& settings, TransferMode mode);
    // Takes back the run `id`.
    void undo(const std::string& id);
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
    enum class Job { Sieve, Undo };
    template <class Work>
    void startOnWorker(Job job, Work&& work);
    void onPhase(RunPhase phase, const RunFigures& figures);
    void onEnded(RunEnd how, const RunFigures& last);

    JournalStore* m_journals;
    RunBridge m_bridge;
    SieveJob m_sieve;
    std::unique_ptr<UndoJob> m_undo;
    Job m_job = Job::Sieve;
    RunControls m_controls;
    QThread* m_worker = nullptr;
    QTimer m_countTimer {this};
    QTimer m_progressTimer {this};
};

} // namespace quillbox::ui
