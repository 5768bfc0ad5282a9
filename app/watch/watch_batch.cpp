// SPDX-License-Identifier: GPL-3.0-or-later
// The watch's batch run: one run over the files that settled together.
#include "app/watch/watcher.h"

#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "app/cli/console_run.h"
#include "app/cli/standard_streams.h"
#include "core/bucket.h"

namespace quillbox::app {

bool Watcher::takenByRename() const
{
    if (m_request.mode != TransferMode::Move || !m_watch->usualLocal())
        return false;
    struct stat source {};
    if (::stat(m_request.source.c_str(), &source) != 0)
        return false;
    const std::string& destination = m_request.destination;
    struct stat st {};
    if (::stat(destination.c_str(), &st) != 0 || st.st_dev != source.st_dev)
        return false;
    for (const char letter : std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZ#")) {
        if (::stat((destination + letter).c_str(), &st) == 0 && st.st_dev != source.st_dev)
            return false;
    }
    return true;
}

int Watcher::sieve(std::vector<std::string> names, const std::vector<FileLook>& looks)
{
    // The batch's files stay leased while they are copied, so that a
    // writer coming meanwhile waits until the copy is whole; no other
    // file stays leased. A rename leaves a writer writing to the same
    // file wherever it is, held or not, and renames a leased file at
    // half the pace: there they all go before the run (their descriptors
    // after it).
    if (takenByRename())
        m_leases.unlockAll();
    else
        m_leases.releaseAllBut(names);
    ConsoleRun console({m_fs, m_clock, &m_journals}, m_request.detail, m_controls.stop, m_locale.timeSeparator, true);
    RunRequest batch = m_request;
    batch.only = std::move(names);
    batch.destinationMade = std::exchange(m_destinationToRecord, false);
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
