// SPDX-License-Identifier: GPL-3.0-or-later
// The writer of a run's journal: the run's records batched in memory and
// written out by a thread of its own, each intent at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/journal/journal.h"
#include "platform/unique_fd.h"

namespace quillbox {

// Writes all of `bytes` to `fd`.
FsStatus WriteAll(int fd, std::string_view bytes);

// Writes a run's records out in batches: the run's thread only appends to
// memory; a thread of the writer's own writes them out when a batch is full
// or its time is up, so that a run busy with one large file still has its
// earlier files on the disk within kBatchMs. An intent goes out at once,
// one write on the placing thread before the file is placed: the kernel
// holds it whatever becomes of the process, so a run killed right after the
// file got its name still names it. Writes never interleave, and each
// record goes after the intent of its file: what an intent says is settled
// by the record after it, as the reader takes them in order.
class FileJournalWriter final : public JournalWriter, private PlacementNotice {
public:
    // Records wait in memory at most this long, and at most this many bytes
    // of them, before they are written out; a writer of its own writes them
    // out on time even while no further record comes.
    static constexpr long kBatchMs = 250;
    static constexpr std::size_t kBatchBytes = 64 * 1024;

    explicit FileJournalWriter(posix::UniqueFd fd);
    ~FileJournalWriter() override;

    FsStatus file(const PlacedInRun& file) override;
    FsStatus bucket(const JournalBucket& bucket) override;
    void unplaced(char bucket, std::string_view name) override;
    PlacementNotice* notice() override { return this; }
    FsStatus flush() override;

private:
    void aboutToPlace(TransferMode mode, char bucket, std::string_view name, bool replacing,
                      const FileIdentity& before) override;

    FsStatus afterAppend(std::unique_lock<std::mutex>& lock);

    // Writes out what waits, one batch after the other, in order.
    void writeOut(std::unique_lock<std::mutex>& lock);

    void writeOnTime();

    posix::UniqueFd m_fd;
    std::mutex m_mutex;
    std::mutex m_writeMutex; // held by each write, never with m_mutex
    std::condition_variable m_wake;
    std::condition_variable m_written;
    std::string m_pending;
    std::string m_spare;
    std::uint64_t m_files = 0;
    // A write failed (m_status says why): intents are written no more. Read
    // by the placing threads without m_mutex.
    std::atomic<bool> m_failed {false};
    bool m_writing = false;
    bool m_woken = false;
    bool m_closing = false;
    FsStatus m_status;
    std::thread m_thread; // last: it starts once the rest is ready
};

} // namespace quillbox
