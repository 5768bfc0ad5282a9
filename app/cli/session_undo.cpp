// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/session_undo.h"

#include <vector>

#include "app/cli/exit_status.h"
#include "app/cli/run_list.h"
#include "app/cli/standard_streams.h"
#include "platform/watch_sessions.h"

namespace quillbox::app {

int UndoSession(RealPorts& real, const RunRequest& request)
{
    JournalFolder& journals = real.journals();
    const std::optional<posix::WatchSession> session = posix::NewestWatchSession(journals.folder());
    if (!session)
        return Refuse("no watch has begun since the runs were kept: no session to take back");
    std::vector<std::string> runs;
    for (const JournalSummary& run : journals.list()) {
        if (run.header.sequence >= session->firstRun && run.header.source.path == session->source &&
            run.header.destination.path == session->destination && !run.takenBack && run.changedAnything())
            runs.push_back(run.id);
    }
    if (runs.empty()) {
        if (request.detail != Detail::Quiet)
            PrintLine("The last watch session, of " + session->source + ", has nothing left to take back.");
        return kExitUsage;
    }
    int status = kExitDone;
    RunRequest undo = request;
    for (const std::string& run : runs) {
        undo.run = run;
        const int undone = UndoRun(real, undo);
        if (undone != kExitDone && undone != kExitSomeFailed && undone != kExitUsage)
            return undone; // stopped, or standard output failed
        if (undone == kExitSomeFailed)
            status = kExitSomeFailed;
    }
    return status;
}

} // namespace quillbox::app
