// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/run_controller.h"

#include <QThread>

namespace quillbox::ui {

RunController::RunController(const RunPorts& ports, QObject* parent) : QObject(parent), m_runner(ports, m_bridge)
{
    setObjectName(QStringLiteral("runController"));

    m_countTimer.setObjectName(QStringLiteral("countTimer"));
    m_progressTimer.setObjectName(QStringLiteral("progressTimer"));
    m_countTimer.setInterval(kCountTickMs);
    m_progressTimer.setInterval(kProgressTickMs);
    connect(&m_countTimer, &QTimer::timeout, this, [this] { emit countTick(counters().figures()); });
    connect(&m_progressTimer, &QTimer::timeout, this, [this] { emit progressTick(counters().figures()); });

    connect(&m_bridge, &RunBridge::entriesLogged, this, &RunController::entriesLogged);
    connect(&m_bridge, &RunBridge::logWindowRequested, this, &RunController::logWindowRequested);
    connect(&m_bridge, &RunBridge::phaseReached, this, &RunController::onPhase);
    connect(&m_bridge, &RunBridge::runEnded, this, &RunController::onEnded);
}

RunController::~RunController()
{
    m_countTimer.stop();
    m_progressTimer.stop();
    if (m_worker != nullptr) {
        // Only a window torn down without closing gets here with a run on.
        m_controls.stop.store(true);
        m_worker->wait();
        delete m_worker;
    }
}

std::optional<JournalSummary> RunController::newestToTakeBack() const
{
    return m_runner.newestToTakeBack();
}

void RunController::start(const RunRequest& request)
{
    if (isRunning() || (request.kind == RunKind::Undo && !canUndo()))
        return;
    m_controls.stop.store(false);
    // Set here, on the window's thread, before the run's thread begins: a
    // switch of the mode from now on is the run's to follow.
    m_controls.mode.store(request.mode);
    m_kind = request.kind;
    m_worker = QThread::create([this, request] { m_runner.run(request, m_controls); });
    m_worker->setObjectName(QStringLiteral("sieve run"));
    m_worker->start();
}

void RunController::setStop(bool stop)
{
    m_controls.stop.store(stop);
}

void RunController::setMode(TransferMode mode)
{
    m_controls.mode.store(mode);
}

const RunCounters& RunController::counters() const
{
    return m_runner.counters(m_kind);
}

void RunController::onPhase(RunPhase phase, const RunFigures& figures)
{
    switch (phase) {
    case RunPhase::Counting:
        m_countTimer.start();
        break;
    case RunPhase::Counted:
    case RunPhase::NoFiles:
        m_countTimer.stop();
        break;
    case RunPhase::Processing:
        m_progressTimer.start();
        break;
    case RunPhase::Processed:
        m_progressTimer.stop();
        break;
    }
    emit phaseReached(phase, figures);
}

void RunController::onEnded(RunEnd how, const RunFigures& last)
{
    // The run's thread has nothing left to do but return.
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;

    m_countTimer.stop();
    const bool processing = m_progressTimer.isActive();
    m_progressTimer.stop();
    emit runEnded(how, last, processing);
}

} // namespace quillbox::ui
