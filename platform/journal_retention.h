// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <vector>

namespace quillbox {

// How long and how much of the runs' journals are kept: every run of the
// last kKeptDays days, as long as their journals take no more than
// kKeptBytes together, the newest first. The run just started is always
// kept, whatever its journal's size.
struct JournalRetention {
    static constexpr std::int64_t kKeptDays = 30;
    static constexpr std::uint64_t kKeptBytes = 64ULL << 20;
};

// A journal as it lies in its folder.
struct StoredJournal {
    std::uint64_t sequence = 0;
    std::int64_t writtenAt = 0; // seconds since the epoch, when it was last written
    std::uint64_t bytes = 0;    // what it takes on the disk
};

// The sequence numbers of the journals of `journals` to prune at `now`
// (seconds since the epoch): those last written more than kKeptDays ago,
// and, newest first, every one from the first that would take the kept
// journals beyond kKeptBytes. `started`, the run just started, is kept.
std::vector<std::uint64_t> JournalsToPrune(std::vector<StoredJournal> journals, std::uint64_t started,
                                           std::int64_t now);

} // namespace quillbox
