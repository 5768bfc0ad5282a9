// SPDX-License-Identifier: GPL-3.0-or-later
// The writer of a run's journal and its writing thread.
#include "platform/journal_writer.h"

#include <chrono>

#include "platform/error_text.h"
#include "platform/write_all.h"

namespace quillbox {

FsStatus WriteAll(int fd, std::string_view bytes)
{
    if (const int error = posix::WriteAll(fd, bytes.data(), bytes.size()); error != 0)
        return posix::Failure(error);
    return FsStatus::success();
}

FileJournalWriter::FileJournalWriter(posix::UniqueFd fd) : m_fd(std::move(fd)), m_thread([this] { writeOnTime(); })
{
}

FileJournalWriter::~FileJournalWriter()
{
    {
        std::unique_lock lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

FsStatus FileJournalWriter::file(const PlacedInRun& file)
{
    std::unique_lock lock(m_mutex);
    AppendJournalFile(m_pending, ++m_files, file);
    return afterAppend(lock);
}

FsStatus FileJournalWriter::bucket(const JournalBucket& bucket)
{
    // A folder is made before any file is placed, a few a run: each is
    // on record before the next is made.
    std::unique_lock lock(m_mutex);
    AppendJournalBucket(m_pending, bucket);
    writeOut(lock);
    return m_status;
}

void FileJournalWriter::unplaced(char bucket, std::string_view name)
{
    // Told of every file that failed, whether or not it got as far as its
    // intent: a record that settles no intent settles nothing.
    std::unique_lock lock(m_mutex);
    AppendJournalUnplaced(m_pending, bucket, name);
    afterAppend(lock);
}

FsStatus FileJournalWriter::flush()
{
    std::unique_lock lock(m_mutex);
    writeOut(lock);
    return m_status;
}

void FileJournalWriter::aboutToPlace(TransferMode mode, char bucket, std::string_view name, bool replacing,
                                     const FileIdentity& before)
{
    // Framed on the placing thread, in storage of its own.
    if (m_failed.load(std::memory_order_acquire))
        return; // the run has said that it cannot be taken back
    thread_local std::string record;
    record.clear();
    AppendJournalIntent(record, mode, bucket, replacing, name, before);
    // One lock a file: the write's. Its record is appended later, after the
    // file is placed, so it goes out after this.
    FsStatus written;
    {
        std::unique_lock writing(m_writeMutex);
        written = WriteAll(m_fd.get(), record);
    }
    if (!written.ok()) {
        std::unique_lock lock(m_mutex);
        if (m_status.ok())
            m_status = std::move(written);
        m_failed.store(true, std::memory_order_release);
    }
}

FsStatus FileJournalWriter::afterAppend(std::unique_lock<std::mutex>& lock)
{
    if (m_pending.size() >= kBatchBytes) {
        // The writer is woken once a batch, not once a record.
        if (!m_woken) {
            m_woken = true;
            m_wake.notify_one();
        }
        // A disk slower than the run: the run waits rather than the
        // records piling up in memory.
        m_written.wait(lock, [this] { return m_pending.size() < 4 * kBatchBytes || !m_writing; });
    }
    return m_status;
}

void FileJournalWriter::writeOut(std::unique_lock<std::mutex>& lock)
{
    m_written.wait(lock, [this] { return !m_writing; });
    if (m_pending.empty())
        return;
    std::string batch;
    batch.swap(m_pending);
    m_pending.swap(m_spare);
    m_writing = true;
    m_woken = false;
    lock.unlock();
    FsStatus written;
    {
        std::unique_lock writing(m_writeMutex);
        written = WriteAll(m_fd.get(), batch);
    }
    lock.lock();
    m_writing = false;
    if (!written.ok() && m_status.ok()) {
        m_status = std::move(written);
        m_failed.store(true, std::memory_order_release);
    }
    batch.clear();
    m_spare.swap(batch);
    m_written.notify_all();
}

void FileJournalWriter::writeOnTime()
{
    std::unique_lock lock(m_mutex);
    while (!m_closing) {
        m_wake.wait_for(lock, std::chrono::milliseconds(kBatchMs),
                        [this] { return m_closing || m_pending.size() >= kBatchBytes; });
        writeOut(lock);
    }
    writeOut(lock);
}

} // namespace quillbox
