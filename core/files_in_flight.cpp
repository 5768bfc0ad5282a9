#include "core/files_in_flight.h"

namespace quillbox {

FilesInFlight::FilesInFlight(std::vector<std::unique_ptr<RunFolders>> folders, const RunControls& controls)
    : m_controls(controls), m_folders(std::move(folders))
{
    m_workers.reserve(m_folders.size());
    for (const std::unique_ptr<RunFolders>& folders : m_folders)
        m_workers.emplace_back([this, &run = *folders] { work(run); });
}

FilesInFlight::~FilesInFlight()
{
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_waiting.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

void FilesInFlight::handOver(const std::string& name, char bucket)
{
    // No worker looks at this place before it is made available below.
    FileInFlight& file = m_ring[m_handedOver % kRing];
    file.name = name;
    file.bucket = bucket;
    file.outcome = {};
    file.bytes = 0;
    file.skipped = false;
    file.finished = false;
    ++m_handedOver;
    {
        const std::lock_guard lock(m_mutex);
        m_available = m_handedOver;
    }
    m_waiting.notify_one();
}

const FileInFlight& FilesInFlight::oldest()
{
    FileInFlight& file = m_ring[m_takenBack % kRing];
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [&file] { return file.finished; });
    return file;
}

void FilesInFlight::work(RunFolders& folders)
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_waiting.wait(lock, [this] { return m_closing || m_takenUp < m_available; });
        if (m_closing)
            return;
        FileInFlight& file = m_ring[m_takenUp++ % kRing];
        if (m_controls.stop.load()) {
            file.skipped = true;
        } else {
            file.mode = m_controls.mode.load();
            lock.unlock();
            const LengthFn length = [&file](std::uint64_t bytes) { file.bytes += bytes; };
            file.outcome = folders.sieveFile(file.name, file.bucket, file.mode, length, &m_controls.stop);
            lock.lock();
        }
        file.finished = true;
        m_finished.notify_one();
    }
}

} // namespace quillbox
