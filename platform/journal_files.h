#pragma once

#include <string>

#include "core/journal.h"

namespace quillbox {

// The journals of the runs, one file each in a folder of their own, the
// newest kJournalsKept kept. Each file is named after the moment its run
// began, so that names sort as the runs did.
class JournalFolder final : public JournalStore {
public:
    static constexpr std::size_t kJournalsKept = 20;
    // Records wait in memory at most this long, and at most this many bytes
    // of them, before they are written out.
    static constexpr long kBatchMs = 250;
    static constexpr std::size_t kBatchBytes = 64 * 1024;

    explicit JournalFolder(std::string folder);

    // $XDG_STATE_HOME/quillbox/runs, or ~/.local/state/quillbox/runs.
    static std::string DefaultFolder();

    const std::string& folder() const { return m_folder; }

    FsResult<std::unique_ptr<JournalWriter>> startRun(const JournalHeader& header) override;
    std::vector<JournalSummary> list() override;
    std::optional<JournalSummary> newest() override;
    FsResult<Journal> read(const std::string& id) override;
    FsStatus markTakenBack(const std::string& id) override;

private:
    std::string pathOf(const std::string& id) const;
    std::optional<JournalSummary> summaryOf(const std::string& id);
    std::vector<std::string> ids() const;
    void prune();

    std::string m_folder;
};

} // namespace quillbox
