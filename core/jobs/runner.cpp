// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/runner.h"

namespace quillbox {

Runner::Runner(const RunPorts& ports, RunObserver& observer)
    : m_ports(ports), m_sieve(ports.fileSystem, ports.clock, observer, ports.journals)
{
    if (ports.journals != nullptr)
        m_undo = std::make_unique<UndoJob>(ports.fileSystem, *ports.journals, ports.clock, observer);
}

RunOutcome Runner::run(const RunRequest& request, const RunControls& controls)
{
    RunOutcome outcome;
    switch (request.kind) {
    case RunKind::Sort:
    case RunKind::Watch:
        outcome.end = m_sieve.run(SettingsOf(request), controls);
        break;
    case RunKind::Preview:
        outcome.preview = PreviewRun(m_ports.fileSystem, SettingsOf(request), controls);
        break;
    case RunKind::Undo:
        if (m_undo != nullptr)
            outcome.undo = m_undo->run(request.run, controls);
        break;
    case RunKind::ListRuns:
        if (m_ports.journals != nullptr)
            outcome.runs = m_ports.journals->list();
        break;
    }
    return outcome;
}

const RunCounters& Runner::counters(RunKind kind) const
{
    return kind == RunKind::Undo && m_undo != nullptr ? m_undo->counters() : m_sieve.counters();
}

std::optional<JournalSummary> Runner::newestToTakeBack() const
{
    if (m_ports.journals == nullptr)
        return std::nullopt;
    return m_ports.journals->newestToTakeBack();
}

} // namespace quillbox
