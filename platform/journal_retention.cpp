// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/journal_retention.h"

#include <algorithm>

namespace quillbox {

std::vector<std::uint64_t> JournalsToPrune(std::vector<StoredJournal> journals, std::uint64_t started, std::int64_t now)
{
    std::sort(journals.begin(), journals.end(),
              [](const StoredJournal& a, const StoredJournal& b) { return a.sequence > b.sequence; });
    const std::int64_t oldest = now - JournalRetention::kKeptDays * 24 * 60 * 60;
    std::uint64_t kept = 0;
    // The run just started counts first, so that the others make room for it.
    for (const StoredJournal& journal : journals) {
        if (journal.sequence == started)
            kept += journal.bytes;
    }
    std::vector<std::uint64_t> pruned;
    bool full = false;
    for (const StoredJournal& journal : journals) {
        if (journal.sequence == started)
            continue;
        // Once one does not fit, no older one is kept either: the runs kept
        // are always the newest ones.
        full = full || kept + journal.bytes > JournalRetention::kKeptBytes;
        if (full || journal.writtenAt < oldest) {
            pruned.push_back(journal.sequence);
            continue;
        }
        kept += journal.bytes;
    }
    return pruned;
}

} // namespace quillbox
