// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/exit_status.h"

#include <cstdio>

#include "app/cli/standard_streams.h"
#include "app/cli/stop_signals.h"

namespace quillbox::app {

int StoppedStatus()
{
    if (const int signal = StopSignal(); signal != 0)
        return 128 + signal;
    return StandardOutputFailed() ? kExitWriteError : kExitInterrupted;
}

int ExitStatus(RunEnd end, const RunFigures& last)
{
    switch (end) {
    case RunEnd::StoppedWhileCounting:
    case RunEnd::StoppedWhileProcessing:
        return StoppedStatus();
    case RunEnd::Failed:
        return kExitUsage;
    case RunEnd::NoFiles:
    case RunEnd::Completed:
        break;
    }
    return last.filesFailed > 0 ? kExitSomeFailed : kExitDone;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "quillbox: %s (see quillbox --help)\n", message.c_str());
    return kExitUsage;
}

int Refuse(const std::string& message)
{
    std::fprintf(stderr, "quillbox: %s\n", message.c_str());
    return kExitUsage;
}

} // namespace quillbox::app
