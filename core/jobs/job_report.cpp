// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/job_report.h"

#include "core/log/run_messages.h"

namespace quillbox {

JobReport::JobReport(Clock& clock, RunObserver& observer) : m_clock(clock), m_observer(observer)
{
}

void JobReport::begin(std::string_view title)
{
    m_counters.reset();
    log(LogIcon::None, {});
    log(LogIcon::Information, std::string(title));
}

void JobReport::log(LogIcon icon, std::string message)
{
    m_entry.icon = message.empty() ? LogIcon::None : icon;
    m_entry.time = m_clock.now();
    m_entry.message = std::move(message);
    m_observer.entryLogged(m_entry);
}

void JobReport::error(std::string message)
{
    log(LogIcon::Exclamation, std::move(message));
    m_observer.logWindowWanted();
}

void JobReport::finish(RunEnd how)
{
    const RunFigures last = m_counters.figures();
    m_counters.reset();
    log(LogIcon::Information, std::string(kCleaningUp));
    m_observer.ended(how, last);
}

} // namespace quillbox
