#include "ui/main/run_bridge.h"

#include <QMetaObject>

namespace quillbox::ui {

RunBridge::RunBridge(QObject* parent) : QObject(parent) {}

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
    std::vector<Event> events;
    {
        const std::lock_guard lock(m_mutex);
        events.swap(m_queue);
    }
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
