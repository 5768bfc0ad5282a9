// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <iterator>
#include <map>
#include <optional>

#include "core/journal/journal.h"
#include "core/journal/journal_codec.h"
#include "core/ports/fs_try.h"

namespace quillbox {

using namespace journal_codec;

namespace {

// The bytes of a journal, a window of them at a time.
class Window {
public:
    explicit Window(JournalBytes& source) : m_source(source) {}

    // Makes `count` bytes from the current place available, or as many as
    // there are; false when fewer are.
    bool ensure(std::size_t count)
    {
        while (m_bytes.size() - m_at < count && !m_ended) {
            if (m_at > 0 && m_at >= m_bytes.size() / 2) {
                m_bytes.erase(0, m_at);
                m_at = 0;
            }
            const std::size_t had = m_bytes.size();
            m_bytes.resize(had + kChunk);
            FsResult<std::size_t> got = m_source.read(m_bytes.data() + had, kChunk);
            m_bytes.resize(had + (got.ok() ? got.value() : 0));
            if (!got.ok()) {
                m_error = got.status();
                m_ended = true;
            } else if (got.value() == 0) {
                m_ended = true;
            }
        }
        return m_bytes.size() - m_at >= count;
    }
    std::string_view view() const { return std::string_view(m_bytes).substr(m_at); }
    void skip(std::size_t count) { m_at = std::min(m_bytes.size(), m_at + count); }
    bool atEnd()
    {
        ensure(1);
        return m_at == m_bytes.size();
    }
    const FsStatus& error() const { return m_error; }

private:
    JournalBytes& m_source;
    std::string m_bytes;
    std::size_t m_at = 0;
    bool m_ended = false;
    FsStatus m_error;
};

// The length of the whole record at the start of the window, or 0 where
// none starts there.
std::size_t WholeRecordAt(Window& window)
{
    if (!window.ensure(kFrame))
        return 0;
    std::string_view bytes = window.view();
    const auto kind = static_cast<unsigned char>(bytes[0]);
    const std::uint32_t length = Little<std::uint32_t>(bytes.substr(1, 4));
    if (!KnownKind(kind) || length > kMaxRecord || !window.ensure(kFrame + length))
        return 0;
    bytes = window.view();
    if (Little<std::uint32_t>(bytes.substr(5 + length, 4)) != Checksum(bytes.substr(0, 5 + length)))
        return 0;
    return kFrame + length;
}

} // namespace

FsStatus ReadJournal(JournalBytes& bytes, JournalVisitor& visitor)
{
    Window window(bytes);
    const auto refused = [&](const char* why) { return window.error().ok() ? FsStatus {EINVAL, why} : window.error(); };
    window.ensure(kMagic.size() + 8);
    std::string_view start = window.view();
    const std::size_t newline = start.substr(0, kMagic.size() + 8).find('\n');
    if (!start.starts_with(kMagic) || newline == std::string_view::npos)
        return refused("Not a journal of a run");
    const std::string_view version = start.substr(kMagic.size(), newline - kMagic.size());
    if (version != kVersion &&
        std::find(std::begin(kOlderVersions), std::end(kOlderVersions), version) == std::end(kOlderVersions))
        return refused(version == "1" ? "Its journal was written by an older version, which kept too little to "
                                        "take a run back safely"
                                      : "Its journal is of a version this one does not know");
    window.skip(newline + 1);

    std::size_t length = WholeRecordAt(window);
    JournalHeader header;
    if (length == 0 || static_cast<Kind>(window.view()[0]) != Kind::Header ||
        !ReadHeader(window.view().substr(5, length - kFrame), header))
        return refused("Its first record is damaged");
    visitor.header(header);
    window.skip(length);

    std::uint64_t record = 1;             // records framed so far
    std::uint64_t lastFile = 0;           // the number of the last file read
    std::optional<JournalDamage> pending; // told once the next file's number says how many it held
    // Intents no record settled yet, by bucket and name: the files in
    // flight when they were written, and a batch of records.
    std::map<std::string, JournalIntent> intents;
    const auto settled = [&intents](char bucket, std::string_view name) {
        if (intents.empty())
            return;
        std::string key(1, bucket);
        key.append(name);
        intents.erase(key);
    };
    const auto tell = [&](std::uint64_t nextFile) {
        if (pending) {
            if (nextFile > lastFile + 1)
                pending->files = std::max<std::uint64_t>(pending->files, nextFile - lastFile - 1);
            visitor.damaged(*pending);
            pending.reset();
        } else if (nextFile > lastFile + 1) {
            visitor.damaged({record, nextFile - lastFile - 1, {}, "Records of files are missing"});
        }
    };
    JournalFile reading;
    for (;;) {
        if (window.atEnd())
            break;
        ++record;
        length = WholeRecordAt(window);
        if (length == 0) {
            // Damaged, or cut short at the end: what it seems to hold is
            // told, and reading goes on at the next whole record.
            JournalDamage damage {record, 0, {}, "It is damaged"};
            const std::string_view bad = window.view();
            if (bad.size() >= kFrame && static_cast<Kind>(bad[0]) == Kind::File) {
                JournalFile seen;
                const std::uint32_t claimed = Little<std::uint32_t>(bad.substr(1, 4));
                if (claimed <= kMaxRecord && bad.size() >= 5 + claimed && ReadFile(bad.substr(5, claimed), seen)) {
                    damage.name = seen.name;
                    damage.files = 1;
                    // Its intent is not to be trusted more than it.
                    settled(seen.bucket, seen.name);
                }
            }
            if (!pending)
                pending = std::move(damage);
            // Only a byte that names a kind of record can start one.
            window.skip(1);
            while (!window.atEnd()) {
                const std::string_view rest = window.view();
                const std::size_t candidate = rest.find_first_of(kKindBytes);
                if (candidate == std::string_view::npos) {
                    window.skip(rest.size());
                    continue;
                }
                window.skip(candidate);
                if (WholeRecordAt(window) != 0)
                    break;
                window.skip(1);
            }
            continue;
        }
        const std::string_view payload = window.view().substr(5, length - kFrame);
        switch (static_cast<Kind>(window.view()[0])) {
        case Kind::File: {
            // One record's fields at a time, its name's storage reused.
            JournalFile& file = reading;
            if (!ReadFile(payload, file) || file.number <= lastFile) {
                tell(lastFile + 1);
                visitor.damaged({record, 1, {}, "It names no file of the run's folders"});
                ++lastFile;
                break;
            }
            tell(file.number);
            lastFile = file.number;
            settled(file.bucket, file.name);
            if (!visitor.file(file))
                return FsStatus::success();
            break;
        }
        case Kind::Bucket: {
            Fields in(payload);
            JournalBucket bucket;
            if (in.byte(bucket.bucket) && (IsBucket(bucket.bucket) || bucket.bucket == kMadeDestination) &&
                ReadFolder(in, bucket.identity) && in.empty())
                visitor.bucket(bucket);
            else
                visitor.damaged({record, 0, {}, "It names no bucket folder"});
            break;
        }
        case Kind::Intent: {
            JournalIntent intent;
            if (ReadIntent(payload, intent)) {
                std::string key(1, intent.bucket);
                key.append(intent.name);
                intents[std::move(key)] = std::move(intent);
            } else {
                visitor.damaged({record, 0, {}, "It names no file the run was about to place"});
            }
            break;
        }
        case Kind::Unplaced: {
            char bucket = 0;
            std::string name;
            if (ReadUnplaced(payload, bucket, name))
                settled(bucket, name);
            else
                visitor.damaged({record, 0, {}, "It names no file the run did not place"});
            break;
        }
        case Kind::KeptAs: {
            JournalKeptAs kept;
            if (ReadKeptAs(payload, kept))
                visitor.keptAs(kept);
            else
                visitor.damaged({record, 0, {}, "It names no file an undo left"});
            break;
        }
        case Kind::TakenBack:
            visitor.takenBack();
            break;
        case Kind::Left: {
            JournalLeft left;
            if (ReadLeft(payload, left))
                visitor.left(left);
            else
                visitor.damaged({record, 0, {}, "It names no files left by an undo"});
            break;
        }
        case Kind::Header:
            visitor.damaged({record, 0, {}, "A second header"});
            break;
        }
        window.skip(length);
    }
    if (pending)
        tell(lastFile);
    for (const auto& [key, intent] : intents)
        visitor.intended(intent);
    QB_TRY(window.error());
    return FsStatus::success();
}

namespace {

// Counts what a list of runs shows.
class Summarizer final : public JournalVisitor {
public:
    explicit Summarizer(JournalSummary& summary) : m_summary(summary) {}
    void header(const JournalHeader& header) override { m_summary.header = header; }
    bool file(const JournalFile& file) override
    {
        ++m_summary.files;
        ++(file.mode == TransferMode::Move ? m_summary.moved : m_summary.copied);
        return true;
    }
    void bucket(const JournalBucket&) override { ++m_summary.folders; }
    void intended(const JournalIntent&) override
    {
        ++m_summary.files;
        ++m_summary.intended;
    }
    void takenBack() override
    {
        m_summary.takenBack = true;
        m_summary.left.reset();
    }
    void left(const JournalLeft& left) override { m_summary.left = left; }
    void keptAs(const JournalKeptAs& kept) override { m_summary.keptAs[kept.number] = kept.now; }
    void damaged(const JournalDamage&) override { ++m_summary.damaged; }

private:
    JournalSummary& m_summary;
};

} // namespace

FsResult<JournalSummary> SummarizeJournal(JournalBytes& bytes, const std::string& id)
{
    JournalSummary summary;
    summary.id = id;
    Summarizer counting(summary);
    QB_TRY(ReadJournal(bytes, counting));
    return summary;
}

} // namespace quillbox
