// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/detailed_report.h"

#include "app/cli/console_report.h"
#include "app/cli/standard_streams.h"
#include "core/bucket.h"

namespace quillbox::app {

namespace {

std::size_t BucketIndex(char letter)
{
    return letter >= 'A' && letter <= 'Z' ? static_cast<std::size_t>(letter - 'A') : 26;
}

} // namespace

DetailedReport::DetailedReport(ConsoleReport& report, Detail detail, Clock& clock, std::atomic<bool>& stop)
    : m_report(report), m_detail(detail), m_clock(clock), m_stop(stop)
{
    m_placed.icon = LogIcon::Information;
}

void DetailedReport::watch(const RunCounters& counters)
{
    m_counters = &counters;
    m_report.watch(counters);
}

void DetailedReport::followPlacement(std::string destination)
{
    m_destination = std::move(destination);
}

void DetailedReport::checkOutput()
{
    if (!m_outputFailed && StandardOutputFailed()) {
        m_outputFailed = true;
        m_stop.store(true);
    }
}

void DetailedReport::settleLastFile()
{
    if (!m_pending)
        return;
    m_pending = false;
    // A file that failed has counted its failure before anything else is
    // reported after it.
    if (m_counters != nullptr && m_counters->figures().filesFailed != m_failedBefore)
        return;
    m_placed.time = m_clock.now();
    m_placed.message.clear();
    m_placed.message.append(m_pendingName).append(" -> ").append(m_destination);
    m_placed.message.append(1, m_pendingLetter).append(1, kPathSeparator).append(m_pendingName);
    m_report.entryLogged(m_placed);
    checkOutput();
}

void DetailedReport::entryLogged(const LogEntry& entry)
{
    settleLastFile();
    if (m_detail == Detail::Quiet && entry.icon != LogIcon::Exclamation && entry.icon != LogIcon::Critical)
        return;
    m_report.entryLogged(entry);
    checkOutput();
}

void DetailedReport::logWindowWanted()
{
    m_report.logWindowWanted();
}

void DetailedReport::phaseChanged(RunPhase phase, const RunFigures& figures)
{
    settleLastFile();
    m_report.phaseChanged(phase, figures);
    checkOutput();
}

void DetailedReport::fileStarted(const std::string& name)
{
    settleLastFile();
    if (!m_destination.empty()) {
        const char letter = BucketLetter(name);
        m_takenUp[BucketIndex(letter)] = true;
        if (m_detail == Detail::Verbose) {
            m_pending = true;
            m_pendingName = name;
            m_pendingLetter = letter;
            m_failedBefore = m_counters != nullptr ? m_counters->figures().filesFailed : 0;
        }
    }
    m_report.fileStarted(name);
    checkOutput();
}

void DetailedReport::ended(RunEnd how, const RunFigures& last)
{
    settleLastFile();
    m_report.ended(how, last);
    checkOutput();
}

} // namespace quillbox::app
