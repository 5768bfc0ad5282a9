// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/memory_journal_store.h"

#include <cerrno>
#include <string_view>

#include "core/ports/fs_try.h"
#include "platform/error_text.h"

namespace quillbox::test {

namespace {

constexpr std::string_view kPrefix = "run-";

std::string IdOf(std::uint64_t sequence)
{
    return std::string(kPrefix) + std::to_string(sequence);
}

std::uint64_t SequenceOf(const std::string& id)
{
    if (!id.starts_with(kPrefix) || id.size() == kPrefix.size())
        return 0;
    std::uint64_t sequence = 0;
    for (const char c : id.substr(kPrefix.size())) {
        if (c < '0' || c > '9')
            return 0;
        sequence = sequence * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return sequence;
}

FsStatus Failure(int error)
{
    return {error, ErrorText(error)};
}

class StringBytes final : public JournalBytes {
public:
    explicit StringBytes(std::string bytes) : m_bytes(std::move(bytes)) {}
    FsResult<std::size_t> read(char* into, std::size_t size) override
    {
        const std::size_t count = std::min(size, m_bytes.size() - m_at);
        m_bytes.copy(into, count, m_at);
        m_at += count;
        return count;
    }

private:
    std::string m_bytes;
    std::size_t m_at = 0;
};

class FileNames final : public JournalVisitor {
public:
    std::vector<std::string> files;
    bool file(const JournalFile& file) override
    {
        files.push_back(std::string(1, file.bucket) + "/" + file.name +
                        (file.mode == TransferMode::Move ? " move" : " copy"));
        return true;
    }
};

} // namespace

class MemoryJournalStore::Writer final : public JournalWriter {
public:
    Writer(MemoryJournalStore& store, std::string id) : m_store(store), m_id(std::move(id)) {}
    ~Writer() override { m_store.release(m_id); }

    FsStatus file(const PlacedInRun& file) override
    {
        std::string record;
        AppendJournalFile(record, ++m_number, file);
        return m_store.appendRecord(m_id, record);
    }
    FsStatus bucket(const JournalBucket& bucket) override
    {
        std::string record;
        AppendJournalBucket(record, bucket);
        return m_store.appendRecord(m_id, record);
    }
    FsStatus flush() override { return FsStatus::success(); }

private:
    MemoryJournalStore& m_store;
    std::string m_id;
    std::uint64_t m_number = 0;
};

class MemoryJournalStore::Hold final : public JournalHold {
public:
    Hold(MemoryJournalStore& store, std::string id) : m_store(store), m_id(std::move(id)) {}
    ~Hold() override { m_store.release(m_id); }

private:
    MemoryJournalStore& m_store;
    std::string m_id;
};

std::string MemoryJournalStore::bytes(const std::string& id) const
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_journals.find(SequenceOf(id));
    return it == m_journals.end() ? std::string() : it->second.bytes;
}

std::vector<std::string> MemoryJournalStore::files(const std::string& id) const
{
    FileNames names;
    StringBytes source(bytes(id));
    ReadJournal(source, names);
    return names.files;
}

FsResult<std::unique_ptr<JournalWriter>> MemoryJournalStore::startRun(const JournalHeader& header)
{
    const std::lock_guard lock(m_mutex);
    if (writeError != 0)
        return Failure(writeError);
    const std::uint64_t sequence = m_journals.empty() ? 1 : m_journals.rbegin()->first + 1;
    JournalHeader numbered = header;
    numbered.sequence = sequence;
    Journal& journal = m_journals[sequence];
    journal.bytes = JournalStart(numbered);
    journal.held = true;
    return std::unique_ptr<JournalWriter>(std::make_unique<Writer>(*this, IdOf(sequence)));
}

std::vector<JournalSummary> MemoryJournalStore::list()
{
    std::vector<std::uint64_t> sequences;
    {
        const std::lock_guard lock(m_mutex);
        for (auto it = m_journals.rbegin(); it != m_journals.rend(); ++it)
            sequences.push_back(it->first);
    }
    std::vector<JournalSummary> runs;
    for (const std::uint64_t sequence : sequences)
        if (FsResult<JournalSummary> run = summary(IdOf(sequence)); run.ok())
            runs.push_back(run.value());
    return runs;
}

std::optional<JournalSummary> MemoryJournalStore::newestToTakeBack()
{
    for (const JournalSummary& run : list())
        if (!run.takenBack && (run.files > 0 || run.damaged > 0))
            return run;
    return std::nullopt;
}

FsResult<JournalSummary> MemoryJournalStore::summary(const std::string& id)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_journals.find(SequenceOf(id)) == m_journals.end())
            return Failure(ENOENT);
    }
    StringBytes source(bytes(id));
    return SummarizeJournal(source, id);
}

FsStatus MemoryJournalStore::read(const std::string& id, JournalVisitor& visitor)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_journals.find(SequenceOf(id)) == m_journals.end())
            return Failure(ENOENT);
    }
    StringBytes source(bytes(id));
    return ReadJournal(source, visitor);
}

FsResult<std::unique_ptr<JournalHold>> MemoryJournalStore::hold(const std::string& id)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_journals.find(SequenceOf(id));
    if (it == m_journals.end())
        return Failure(ENOENT);
    if (it->second.held)
        return Failure(EBUSY);
    it->second.held = true;
    return std::unique_ptr<JournalHold>(std::make_unique<Hold>(*this, id));
}

FsStatus MemoryJournalStore::appendRecord(const std::string& id, std::string_view record)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_journals.find(SequenceOf(id));
    if (it == m_journals.end())
        return Failure(ENOENT);
    if (writeError != 0)
        return Failure(writeError);
    it->second.bytes += record;
    return FsStatus::success();
}

void MemoryJournalStore::release(const std::string& id)
{
    const std::lock_guard lock(m_mutex);
    if (const auto it = m_journals.find(SequenceOf(id)); it != m_journals.end())
        it->second.held = false;
}

} // namespace quillbox::test
