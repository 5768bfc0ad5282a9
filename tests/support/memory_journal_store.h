// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/journal/journal.h"

namespace quillbox::test {

// The runs' journals held in memory, in the journal's own bytes, so that
// what a job records is read back as an undo and a list of runs read it.
// The ids are "run-1", "run-2"... in the order the runs started.
class MemoryJournalStore final : public JournalStore {
public:
    // Records written while this is not 0 fail with it, as a full disk
    // would refuse them (they are not kept).
    std::atomic<int> writeError {0};

    // The journal of `id`, as written.
    std::string bytes(const std::string& id) const;
    // Its file records, as read back: "A/name move", "B/name copy".
    std::vector<std::string> files(const std::string& id) const;

    FsResult<std::unique_ptr<JournalWriter>> startRun(const JournalHeader& header) override;
    std::vector<JournalSummary> list() override;
    std::optional<JournalSummary> newestToTakeBack() override;
    FsResult<JournalSummary> summary(const std::string& id) override;
    FsStatus read(const std::string& id, JournalVisitor& visitor) override;
    FsResult<std::unique_ptr<JournalHold>> hold(const std::string& id) override;

private:
    struct Journal {
        std::string bytes;
        bool held = false; // by its run's writer or by an undo
    };
    class Writer;
    class Hold;

    FsStatus appendRecord(const std::string& id, std::string_view record) override;
    void release(const std::string& id);

    mutable std::mutex m_mutex;
    std::map<std::uint64_t, Journal> m_journals; // by sequence
};

} // namespace quillbox::test
