// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/run_controller.h"

#include <QThread>

namespace quillbox::ui {

RunController::RunController(FileSystem& fileSystem, Clock& clock, JournalStore* journals, QObject* parent)
    : QObject(parent), m_journals(journals), m_sieve(fileSystem, clock, m_bridge, journals)
{
    setObjectName(QStringLiteral("runController"));
    if (journals != nullptr)
        m_undo = std::make_unique<UndoJob>(fileSystem, *journals, clock, m_bridge);

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
    if (m_journals == nullptr)
        return std::nullopt;
    return m_journals->newestToTakeBack();
}

void RunController::start(const RunSettings& settings, TransferMode mode)
{
    if (isRunning())
        return;
    m_controls.stop.store(false);
    m_controls.mode.store(mode);
    startOnWorker(Job::Sieve, [this, settings] { m_sieve.run(settings, m_controls); });
}

void RunController::undo(const std::string& id)
{
    if (isRunning() || m_undo == nullptr)
        return;
    m_controls.stop.store(false);
    startOnWorker(Job::Undo, [this, id] { m_undo->run(id, m_controls); });
}

template <class Work>
void RunController::startOnWorker(Job job, Work&& work)
{
    m_job = job;
    m_worker = QThread::create(std::forward<Work>(work));
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
    return m_job == Job::Undo && m_undo != nullptr ? m_undo->counters() : m_sieve.counters();
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
