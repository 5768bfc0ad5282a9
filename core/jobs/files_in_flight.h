// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/jobs/in_order_workers.h"
#include "core/jobs/run_settings.h"
#include "core/ports/file_system.h"

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
    std::atomic<bool> begun {false}; // the workers' own
    bool finished = false;           // the workers' own
};

// Workers that handle a run's files several at a time, each through a
// RunFolders of its own, while the run's own thread lists the folder, hands
// the files over in listing order and takes what became of each back in
// that same order (see InOrderWorkers). A file's mode is read as a worker
// takes it up; once Stop is set no file is taken up any more, and a copy in
// hand is abandoned the way the file layer abandons it.
//
// Every call but the workers' own is made on the run's thread.
class FilesInFlight {
public:
    static constexpr std::uint64_t kRing = InOrderWorkers<FileInFlight>::kRing;

    // One worker per RunFolders given, taking up `claim` files at a time.
    FilesInFlight(std::vector<std::unique_ptr<RunFolders>> folders, const RunControls& controls,
                  std::uint64_t claim = 1);

    bool empty() const { return m_workers.empty(); }
    bool full() const { return m_workers.full(); }

    // Hands the file `name` over, to go to bucket `bucket`. Not when full().
    void handOver(const std::string& name, char bucket);
    // The oldest file handed over and not yet taken back, once a worker is
    // done with it (or skipped it). Not when empty().
    const FileInFlight& oldest() { return m_workers.oldest(); }
    // The same, once a worker began it (`begun`) or skipped it.
    const FileInFlight& oldestBegun() { return m_workers.oldestBegun(); }
    // Takes the oldest back: its place is free for another.
    void takeBack() { m_workers.takeBack(); }

private:
    void work(FileInFlight& file, std::size_t worker);

    const RunControls& m_controls;
    std::vector<std::unique_ptr<RunFolders>> m_folders;
    InOrderWorkers<FileInFlight> m_workers; // last: its workers end first
};

} // namespace quillbox
