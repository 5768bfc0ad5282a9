#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/file_system.h"
#include "core/sieve_job.h"

namespace quillbox {

// One file of a run, as it is handed to a worker and back.
struct FileInFlight {
    std::string name;
    char bucket = '#';
    // Read when a worker takes the file up, files being taken up in the
    // order they were handed over.
    TransferMode mode = TransferMode::Copy;
    FileOutcome outcome;
    std::uint64_t bytes = 0; // as the file layer told them
    // Stop was set before the file was taken up: nothing was done with it.
    bool skipped = false;
    bool finished = false; // guarded by the owner's mutex
};

// Workers that handle a run's files several at a time, each through a
// RunFolders of its own, while the run's own thread lists the folder, hands
// the files over in listing order and takes what became of each back in
// that same order. A worker takes files up in the order they were handed
// over; once Stop is set it takes none up any more (they come back skipped)
// and a copy in hand is abandoned the way the file layer abandons it. At
// most kRing files are handed over and not yet taken back, so memory stays
// bounded however far the workers get.
//
// Every call but the workers' own is made on the run's thread.
class FilesInFlight {
public:
    static constexpr std::uint64_t kRing = 64;

    // One worker per RunFolders given.
    FilesInFlight(std::vector<std::unique_ptr<RunFolders>> folders, const RunControls& controls);
    // Files not yet taken up are left alone; the workers finish the file in
    // hand and end.
    ~FilesInFlight();
    FilesInFlight(const FilesInFlight&) = delete;
    FilesInFlight& operator=(const FilesInFlight&) = delete;

    bool empty() const { return m_handedOver == m_takenBack; }
    bool full() const { return m_handedOver - m_takenBack == kRing; }

    // Hands the file `name` over, to go to bucket `bucket`. Not when full().
    void handOver(const std::string& name, char bucket);
    // The oldest file handed over and not yet taken back, once a worker is
    // done with it (or skipped it). Not when empty().
    const FileInFlight& oldest();
    // Takes the oldest back: its place is free for another.
    void takeBack() { ++m_takenBack; }

private:
    void work(RunFolders& folders);

    const RunControls& m_controls;
    std::array<FileInFlight, kRing> m_ring;
    // Counted from the start; a file's place is its number modulo kRing.
    std::uint64_t m_handedOver = 0; // the run's thread's own
    std::uint64_t m_takenBack = 0;  // the run's thread's own
    std::mutex m_mutex;
    std::condition_variable m_waiting;  // a file to take up, or the end
    std::condition_variable m_finished; // a file done
    std::uint64_t m_available = 0;      // handed over, as the workers see it
    std::uint64_t m_takenUp = 0;        // by some worker
    bool m_closing = false;
    std::vector<std::unique_ptr<RunFolders>> m_folders;
    std::vector<std::thread> m_workers;
};

} // namespace quillbox
