// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "core/journal/journal.h"
#include "core/ports/clock.h"
#include "platform/journal_writer.h"
#include "platform/system_clock.h"

namespace quillbox {

// The journals of the runs, one file each in a folder of their own that is
// private to the user and never reached through a link. Each is named after
// its run's sequence number, run-N.journal, one more than the newest there:
// runs are ordered by it, whatever the clock said. Journals are kept as
// JournalRetention says (by age and size); only a file that carries a
// journal's first line is ever pruned, never the run just started. A run
// holds its journal's lock (flock) while it writes it, and an undo while it
// takes the run back.
class JournalFolder final : public JournalStore {
public:
    // How long and how many bytes of records wait in memory (see
    // FileJournalWriter).
    static constexpr long kBatchMs = FileJournalWriter::kBatchMs;
    static constexpr std::size_t kBatchBytes = FileJournalWriter::kBatchBytes;

    // Journals are pruned by the wall time of `clock`; without one, of the
    // machine's.
    explicit JournalFolder(std::string folder, Clock* clock = nullptr);

    // $XDG_STATE_HOME/quillbox/runs, or ~/.local/state/quillbox/runs.
    static std::string DefaultFolder();

    const std::string& folder() const { return m_folder; }

    FsResult<std::unique_ptr<JournalWriter>> startRun(const JournalHeader& header) override;
    std::vector<JournalSummary> list() override;
    std::optional<JournalSummary> newestToTakeBack() override;
    FsResult<JournalSummary> summary(const std::string& id) override;
    FsStatus read(const std::string& id, JournalVisitor& visitor) override;
    FsResult<std::unique_ptr<JournalHold>> hold(const std::string& id) override;

private:
    FsStatus appendRecord(const std::string& id, std::string_view record) override;

    std::string m_folder;
    SystemClock m_systemClock;
    Clock& m_clock;
};

} // namespace quillbox
