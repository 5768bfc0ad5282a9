// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/journal/journal.h"

#include <algorithm>

#include "core/journal/journal_codec.h"

namespace quillbox {

using namespace journal_codec;

namespace {

void PutU64(std::string& out, std::uint64_t value)
{
    char bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<char>(value >> (8 * i) & 0xFF);
    out.append(bytes, 8);
}

void PutU32(std::string& out, std::uint32_t value)
{
    char bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(value >> (8 * i) & 0xFF);
    out.append(bytes, 4);
}

void PutBytes(std::string& out, std::string_view bytes)
{
    PutU32(out, static_cast<std::uint32_t>(bytes.size()));
    out.append(bytes);
}

// Frames a record: kind, length, payload, checksum of the three.
class Record {
public:
    Record(std::string& out, Kind kind) : m_out(out), m_start(out.size())
    {
        out.push_back(static_cast<char>(kind));
        PutU32(out, 0); // the length, filled in by the end
    }
    ~Record()
    {
        const std::size_t length = m_out.size() - m_start - 5;
        for (int i = 0; i < 4; ++i)
            m_out[m_start + 1 + static_cast<std::size_t>(i)] = static_cast<char>(length >> (8 * i) & 0xFF);
        PutU32(m_out, Checksum(std::string_view(m_out).substr(m_start)));
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

private:
    std::string& m_out;
    std::size_t m_start;
};

void PutMode(std::string& out, TransferMode mode)
{
    out.push_back(mode == TransferMode::Move ? 'M' : 'C');
}

void PutFolder(std::string& out, const FolderIdentity& id)
{
    PutU64(out, id.device);
    PutU64(out, id.inode);
    PutU64(out, static_cast<std::uint64_t>(id.btimeNs));
}

} // namespace

namespace journal_codec {

std::uint32_t Checksum(std::string_view bytes)
{
    constexpr std::uint64_t kPrime = 0x9E3779B97F4A7C15ull;
    std::uint64_t hash = bytes.size() * kPrime;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        hash = (hash ^ Little<std::uint64_t>(bytes.substr(at, 8))) * kPrime;
        hash ^= hash >> 29;
    }
    for (; at < bytes.size(); ++at)
        hash = (hash ^ static_cast<unsigned char>(bytes[at])) * kPrime;
    hash ^= hash >> 32;
    return static_cast<std::uint32_t>(hash);
}

bool ModeOf(char letter, TransferMode& mode)
{
    if (letter != 'M' && letter != 'C')
        return false;
    mode = letter == 'M' ? TransferMode::Move : TransferMode::Copy;
    return true;
}

bool ReadFolder(Fields& in, FolderIdentity& id)
{
    return in.u64(id.device) && in.u64(id.inode) && in.i64(id.btimeNs);
}

bool IsRunFolder(const std::string& path)
{
    return path.size() >= 1 && path.front() == '/' && path.back() == '/' && path.find('\0') == std::string::npos;
}

bool ReadHeader(std::string_view payload, JournalHeader& header)
{
    Fields in(payload);
    char mode = 0;
    std::uint64_t started = 0;
    return in.byte(mode) && ModeOf(mode, header.mode) && in.u64(started) && in.u64(header.sequence) &&
        ReadFolder(in, header.source.identity) && ReadFolder(in, header.destination.identity) &&
        in.bytes(header.source.path) && in.bytes(header.destination.path) && in.empty() &&
        IsRunFolder(header.source.path) && IsRunFolder(header.destination.path) &&
        (header.startedAt = static_cast<std::int64_t>(started), true);
}

bool ReadLeft(std::string_view payload, JournalLeft& left)
{
    Fields in(payload);
    std::uint64_t count = 0;
    if (!in.u64(left.moved) || !in.u64(left.copied) || !in.u64(count) || count > kMaxRecord / 16)
        return false;
    left.ranges.clear();
    for (std::uint64_t i = 0; i < count; ++i) {
        std::pair<std::uint64_t, std::uint64_t> range;
        if (!in.u64(range.first) || !in.u64(range.second) || range.first == 0 || range.second < range.first ||
            (!left.ranges.empty() && range.first <= left.ranges.back().second))
            return false;
        left.ranges.push_back(range);
    }
    // The folders left, then the intents, follow where there are any.
    left.folders = 0;
    left.intended = 0;
    return in.empty() || (in.u64(left.folders) && (in.empty() || (in.u64(left.intended) && in.empty())));
}

bool ReadFile(std::string_view payload, JournalFile& file)
{
    Fields in(payload);
    char mode = 0, replaced = 0;
    return in.u64(file.number) && in.byte(mode) && ModeOf(mode, file.mode) && in.byte(replaced) &&
        (replaced == 0 || replaced == 1) && in.byte(file.bucket) && in.u64(file.placed.device) &&
        in.u64(file.placed.inode) && in.u64(file.placed.size) && in.i64(file.placed.mtimeNs) &&
        in.i64(file.placed.ctimeNs) && in.i64(file.placed.btimeNs) && in.bytes(file.name) && in.empty() &&
        IsBucket(file.bucket) && IsPlainName(file.name) && (file.replaced = replaced == 1, true);
}

bool ReadIntent(std::string_view payload, JournalIntent& intent)
{
    Fields in(payload);
    char mode = 0, replacing = 0;
    return in.byte(mode) && ModeOf(mode, intent.mode) && in.byte(replacing) && (replacing == 0 || replacing == 1) &&
        in.byte(intent.bucket) && in.u64(intent.before.device) && in.u64(intent.before.inode) &&
        in.u64(intent.before.size) && in.i64(intent.before.mtimeNs) && in.i64(intent.before.ctimeNs) &&
        in.i64(intent.before.btimeNs) && in.bytes(intent.name) && in.empty() && IsBucket(intent.bucket) &&
        IsPlainName(intent.name) && (intent.replacing = replacing == 1, true);
}

bool ReadUnplaced(std::string_view payload, char& bucket, std::string& name)
{
    Fields in(payload);
    return in.byte(bucket) && in.bytes(name) && in.empty() && IsBucket(bucket) && IsPlainName(name);
}

bool ReadKeptAs(std::string_view payload, JournalKeptAs& kept)
{
    Fields in(payload);
    return in.u64(kept.number) && in.u64(kept.now.device) && in.u64(kept.now.inode) && in.u64(kept.now.size) &&
        in.i64(kept.now.mtimeNs) && in.i64(kept.now.ctimeNs) && in.i64(kept.now.btimeNs) && in.empty() &&
        kept.number > 0;
}

} // namespace journal_codec

bool JournalLeft::holds(std::uint64_t number) const
{
    const auto after = std::upper_bound(ranges.begin(), ranges.end(), number,
                                        [](std::uint64_t n, const auto& range) { return n < range.first; });
    return after != ranges.begin() && number <= std::prev(after)->second;
}

bool IsPlainName(std::string_view bytes)
{
    return !bytes.empty() && bytes != "." && bytes != ".." && bytes.find('/') == std::string_view::npos &&
        bytes.find('\0') == std::string_view::npos;
}

bool IsBucket(char letter)
{
    return (letter >= 'A' && letter <= 'Z') || letter == '#';
}

std::string JournalStart(const JournalHeader& header)
{
    std::string out(kMagic);
    out.append(kVersion).push_back('\n');
    Record record(out, Kind::Header);
    PutMode(out, header.mode);
    PutU64(out, static_cast<std::uint64_t>(header.startedAt));
    PutU64(out, header.sequence);
    PutFolder(out, header.source.identity);
    PutFolder(out, header.destination.identity);
    PutBytes(out, header.source.path);
    PutBytes(out, header.destination.path);
    return out;
}

void AppendJournalFile(std::string& out, std::uint64_t number, const PlacedInRun& file)
{
    // The layout Record and the Put functions give, written in place: a run
    // frames one of these for every file, so it is made in one go.
    const std::size_t start = out.size();
    const std::size_t payload = 8 + 3 + 6 * 8 + 4 + file.name.size();
    out.resize(start + 5 + payload + 4);
    char* at = out.data() + start;
    const auto store = [&at](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            *at++ = static_cast<char>(value >> (8 * i) & 0xFF);
    };
    *at++ = static_cast<char>(Kind::File);
    store(payload, 4);
    store(number, 8);
    *at++ = file.mode == TransferMode::Move ? 'M' : 'C';
    *at++ = file.replaced ? 1 : 0;
    *at++ = file.bucket;
    for (const std::uint64_t value :
         {file.placed.device, file.placed.inode, file.placed.size, static_cast<std::uint64_t>(file.placed.mtimeNs),
          static_cast<std::uint64_t>(file.placed.ctimeNs), static_cast<std::uint64_t>(file.placed.btimeNs)})
        store(value, 8);
    store(file.name.size(), 4);
    at = std::copy(file.name.begin(), file.name.end(), at);
    store(Checksum(std::string_view(out.data() + start, 5 + payload)), 4);
}

void AppendJournalBucket(std::string& out, const JournalBucket& bucket)
{
    Record record(out, Kind::Bucket);
    out.push_back(bucket.bucket);
    PutFolder(out, bucket.identity);
}

void AppendJournalIntent(std::string& out, TransferMode mode, char bucket, bool replacing, std::string_view name,
                         const FileIdentity& before)
{
    Record record(out, Kind::Intent);
    PutMode(out, mode);
    out.push_back(replacing ? 1 : 0);
    out.push_back(bucket);
    for (const std::uint64_t value :
         {before.device, before.inode, before.size, static_cast<std::uint64_t>(before.mtimeNs),
          static_cast<std::uint64_t>(before.ctimeNs), static_cast<std::uint64_t>(before.btimeNs)})
        PutU64(out, value);
    PutBytes(out, name);
}

void AppendJournalUnplaced(std::string& out, char bucket, std::string_view name)
{
    Record record(out, Kind::Unplaced);
    out.push_back(bucket);
    PutBytes(out, name);
}

void AppendJournalKeptAs(std::string& out, const JournalKeptAs& kept)
{
    Record record(out, Kind::KeptAs);
    for (const std::uint64_t value :
         {kept.number, kept.now.device, kept.now.inode, kept.now.size, static_cast<std::uint64_t>(kept.now.mtimeNs),
          static_cast<std::uint64_t>(kept.now.ctimeNs), static_cast<std::uint64_t>(kept.now.btimeNs)})
        PutU64(out, value);
}

void AppendJournalTakenBack(std::string& out)
{
    Record record(out, Kind::TakenBack);
}

void AppendJournalLeft(std::string& out, const JournalLeft& left)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges = left.ranges;
    if (ranges.size() > kMostLeftRanges) {
        // The smallest gaps are closed until few enough ranges remain.
        std::vector<std::uint64_t> gaps;
        for (std::size_t i = 1; i < ranges.size(); ++i)
            gaps.push_back(ranges[i].first - ranges[i - 1].second);
        const std::size_t close = ranges.size() - kMostLeftRanges;
        std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(close - 1), gaps.end());
        const std::uint64_t widest = gaps[close - 1];
        std::size_t closing = close;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> joined {ranges.front()};
        for (std::size_t i = 1; i < ranges.size(); ++i) {
            if (closing > 0 && ranges[i].first - joined.back().second <= widest) {
                joined.back().second = ranges[i].second;
                --closing;
            } else {
                joined.push_back(ranges[i]);
            }
        }
        ranges.swap(joined);
    }
    Record record(out, Kind::Left);
    PutU64(out, left.moved);
    PutU64(out, left.copied);
    PutU64(out, ranges.size());
    for (const auto& [first, last] : ranges) {
        PutU64(out, first);
        PutU64(out, last);
    }
    if (left.folders > 0 || left.intended > 0)
        PutU64(out, left.folders);
    if (left.intended > 0)
        PutU64(out, left.intended);
}

FsStatus JournalStore::markTakenBack(const std::string& id)
{
    std::string record;
    AppendJournalTakenBack(record);
    return appendRecord(id, record);
}

FsStatus JournalStore::markLeft(const std::string& id, const JournalLeft& left)
{
    std::string record;
    AppendJournalLeft(record, left);
    return appendRecord(id, record);
}

FsStatus JournalStore::markKeptAs(const std::string& id, const JournalKeptAs& kept)
{
    std::string record;
    AppendJournalKeptAs(record, kept);
    return appendRecord(id, record);
}

} // namespace quillbox
