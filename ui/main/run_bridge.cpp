// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/run_bridge.h"

#include <algorithm>

#include <QMetaObject>

namespace quillbox::ui {

RunBridge::RunBridge(QObject* parent) : QObject(parent)
{
}

RunBridge::~RunBridge() = default;

void RunBridge::push(Event&& event)
{
    bool first = false;
    {
        const std::lock_guard lock(m_mutex);
        first = m_queue.empty();
        m_queue.push_back(std::move(event));
    }
    // One delivery is asked for per batch: whatever queues up before it
    // runs goes along with it.
    if (first)
        QMetaObject::invokeMethod(this, &RunBridge::deliver, Qt::QueuedConnection);
}

void RunBridge::entryLogged(const LogEntry& entry)
{
    Event event {Event::Kind::Entry};
    event.entry = entry;
    push(std::move(event));
}

void RunBridge::logWindowWanted()
{
    push(Event {Event::Kind::LogWindow});
}

void RunBridge::phaseChanged(RunPhase phase, const RunFigures& figures)
{
    Event event {Event::Kind::Phase};
    event.phase = phase;
    event.figures = figures;
    push(std::move(event));
}

void RunBridge::fileStarted(const std::string& name)
{
    const std::lock_guard lock(m_mutex);
    m_currentName.assign(name);
}

void RunBridge::ended(RunEnd how, const RunFigures& last)
{
    Event event {Event::Kind::Ended};
    event.figures = last;
    event.end = how;
    push(std::move(event));
}

std::string RunBridge::currentName() const
{
    const std::lock_guard lock(m_mutex);
    return m_currentName;
}

void RunBridge::deliver()
{
    // A run in which every file fails logs as fast as it can; the window's
    // thread takes its entries a bounded batch at a time, so that it stays
    // free in between.
    constexpr std::size_t kBatch = 1000;
    std::vector<Event> events;
    bool more = false;
    {
        const std::lock_guard lock(m_mutex);
        const std::size_t count = std::min(kBatch, m_queue.size());
        events.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            events.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        more = !m_queue.empty();
    }
    if (more)
        QMetaObject::invokeMethod(this, &RunBridge::deliver, Qt::QueuedConnection);
    std::vector<LogEntry> entries;
    const auto flushEntries = [&] {
        if (!entries.empty()) {
            emit entriesLogged(entries);
            entries.clear();
        }
    };
    for (Event& event : events) {
        switch (event.kind) {
        case Event::Kind::Entry:
            entries.push_back(std::move(event.entry));
            break;
        case Event::Kind::LogWindow:
            flushEntries();
            emit logWindowRequested();
            break;
        case Event::Kind::Phase:
            flushEntries();
            emit phaseReached(event.phase, event.figures);
            break;
        case Event::Kind::Ended:
            flushEntries();
            emit runEnded(event.end, event.figures);
            break;
        }
    }
    flushEntries();
}

} // namespace quillbox::ui
