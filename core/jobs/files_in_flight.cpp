// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/files_in_flight.h"

namespace quillbox {

FilesInFlight::FilesInFlight(std::vector<std::unique_ptr<RunFolders>> folders, const RunControls& controls,
                             std::uint64_t claim)
    : m_controls(controls)
    , m_folders(std::move(folders))
    , m_workers(
          m_folders.size(), controls.stop, [this](FileInFlight& file, std::size_t worker) { work(file, worker); },
          claim, [this](FileInFlight& file) { file.mode = m_controls.mode.load(); })
{
}

void FilesInFlight::handOver(const std::string& name, char bucket)
{
    FileInFlight& file = m_workers.next();
    file.name = name;
    file.bucket = bucket;
    file.outcome = {};
    file.bytes = 0;
    m_workers.handOver();
}

void FilesInFlight::work(FileInFlight& file, std::size_t worker)
{
    const LengthFn length = [&file](std::uint64_t bytes) { file.bytes += bytes; };
    file.outcome = m_folders[worker]->sieveFile(file.name, file.bucket, file.mode, length, &m_controls.stop);
}

} // namespace quillbox
