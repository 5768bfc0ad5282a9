// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <QObject>

#include "core/jobs/run_observer.h"

namespace quillbox::ui {

// Carries a run's events from its thread to the window's: the run calls the
// observer, the events queue up here, and the window's thread receives them
// in order, in batches, as signals. The current file's name is kept apart:
// the statistics ask for it a few times a second instead of hearing of
// every file.
class RunBridge final : public QObject, public RunObserver {
    Q_OBJECT

public:
    explicit RunBridge(QObject* parent = nullptr);
    ~RunBridge() override;

    // RunObserver, on the run's thread.
    void entryLogged(const LogEntry& entry) override;
    void logWindowWanted() override;
    void phaseChanged(RunPhase phase, const RunFigures& figures) override;
    void fileStarted(const std::string& name) override;
    void ended(RunEnd how, const RunFigures& last) override;

    // The name of the file the run took up last.
    std::string currentName() const;

signals:
    void entriesLogged(const std::vector<quillbox::LogEntry>& entries);
    void logWindowRequested();
    void phaseReached(quillbox::RunPhase phase, const quillbox::RunFigures& figures);
    void runEnded(quillbox::RunEnd how, const quillbox::RunFigures& last);

private:
    struct Event {
        enum class Kind { Entry, LogWindow, Phase, Ended };
        explicit Event(Kind k) : kind(k) {}
        Kind kind;
        LogEntry entry;
        RunPhase phase = RunPhase::Counting;
        RunFigures figures;
        RunEnd end = RunEnd::Completed;
    };
    void push(Event&& event);
    void deliver();

    mutable std::mutex m_mutex;
    std::deque<Event> m_queue;
    std::string m_currentName;
};

} // namespace quillbox::ui
