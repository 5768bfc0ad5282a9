// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/batch_report.h"

#include "core/log/run_messages.h"

namespace quillbox {

namespace {

// What a batch that found nothing still says.
bool StillSaid(const LogEntry& entry)
{
    return (entry.icon == LogIcon::Exclamation || entry.icon == LogIcon::Critical) && entry.message != kNoFilesFound;
}

} // namespace

void BatchReport::entryLogged(const LogEntry& entry)
{
    if (m_passing || (m_silent && StillSaid(entry)))
        m_report.entryLogged(entry);
    else if (!m_silent)
        m_held.push_back(entry);
}

void BatchReport::phaseChanged(RunPhase phase, const RunFigures& figures)
{
    if (phase == RunPhase::NoFiles) {
        for (const LogEntry& entry : m_held) {
            if (StillSaid(entry))
                m_report.entryLogged(entry);
        }
        m_held.clear();
        m_silent = true;
    } else if (phase == RunPhase::Processing || phase == RunPhase::Processed ||
               (phase == RunPhase::Counted && figures.filesFound > 0)) {
        passOn();
    }
    m_report.phaseChanged(phase, figures);
}

void BatchReport::fileStarted(const std::string& name)
{
    passOn();
    m_report.fileStarted(name);
}

void BatchReport::ended(RunEnd how, const RunFigures& last)
{
    // A run that ended before it counted (stopped, or its folders failed)
    // says why.
    if (!m_silent)
        passOn();
    m_report.ended(how, last);
}

void BatchReport::passOn()
{
    if (m_passing || m_silent)
        return;
    m_passing = true;
    for (const LogEntry& entry : m_held)
        m_report.entryLogged(entry);
    m_held.clear();
}

} // namespace quillbox
