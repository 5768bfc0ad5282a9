// SPDX-License-Identifier: GPL-3.0-or-later
// The watch's batch run: one run over the files that settled together.
#include "app/watch/watcher.h"

#include <cerrno>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "app/cli/console_run.h"
#include "app/cli/standard_streams.h"
#include "core/bucket.h"

namespace quillbox::app {

bool Watcher::makeDestination()
{
    if (!m_destinationToMake)
        return false;
    if (::mkdir(m_request.destination.c_str(), 0777) != 0) {
        // Made by someone else meanwhile: theirs. Otherwise the next batch
        // tries again, and this one's files fail with the reason.
        if (errno == EEXIST)
            m_destinationToMake = false;
        return false;
    }
    m_destinationToMake = false;
    if (m_request.detail != Detail::Quiet)
        PrintLine("Made the destination folder " + m_request.destination + ".");
    return true;
}

int Watcher::sieve(std::vector<std::string> names, const std::vector<FileLook>& looks)
{
    // The batch's files stay leased while they are taken, copied or
    // renamed, so that a writer coming meanwhile waits until the batch is
    // done (a rename costs no more for it); no other file stays leased.
    m_leases.releaseAllBut(names);
    ConsoleRun console({m_fs, m_clock, &m_journals}, m_request.detail, m_controls.stop, m_locale.timeSeparator, true);
    RunRequest batch = m_request;
    batch.only = std::move(names);
    batch.destinationMade = makeDestination();
    // A stop signal now ends the batch between two files.
    m_gate.let();
    m_watch->quietLeaving(true);
    const RunEnd end = console.run(batch, m_controls).end;
    m_watch->quietLeaving(false);
    m_gate.hold();
    m_leases.releaseAll();
    // A file sorted by a move that comes back unchanged (taken back by
    // --undo, or put back by hand) is left alone.
    if (m_request.mode == TransferMode::Move) {
        if (m_putBack.size() > kPutBackKept)
            m_putBack.clear();
        for (std::size_t i = 0; i < batch.only.size() && i < looks.size(); ++i)
            m_putBack.insert_or_assign(batch.only[i], looks[i]);
    }
    if (m_nextListing)
        m_nextListing = m_clock.monotonic() + RepeatedListing::interval(m_request.settle);
    std::fflush(stdout);
    if (end == RunEnd::StoppedWhileCounting || end == RunEnd::StoppedWhileProcessing || console.outputFailed())
        return StoppedStatus();
    return -1;
}

} // namespace quillbox::app
