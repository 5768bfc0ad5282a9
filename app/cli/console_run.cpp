// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/console_run.h"

#include <cstdio>
#include <unistd.h>

namespace quillbox::app {

ConsoleRun::ConsoleRun(const RunPorts& ports, Detail detail, std::atomic<bool>& stop, std::string timeSeparator,
                       bool batch)
    : m_console(stdout, ::isatty(STDERR_FILENO) == 1 ? stderr : nullptr, std::move(timeSeparator), ports.clock)
    , m_report(m_console, detail, ports.clock, stop)
    , m_runner(ports, batch ? static_cast<RunObserver&>(m_batch.emplace(m_report)) : m_report)
{
}

RunOutcome ConsoleRun::run(const RunRequest& request, RunControls& controls)
{
    m_report.watch(m_runner.counters(request.kind));
    if (request.kind == RunKind::Sort || request.kind == RunKind::Watch) {
        m_report.followPlacement(request.destination);
        controls.mode.store(request.mode);
    }
    return m_runner.run(request, controls);
}

} // namespace quillbox::app
