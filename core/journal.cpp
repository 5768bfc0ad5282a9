#include "core/journal.h"

#include <cstring>

namespace quillbox {

namespace {

constexpr std::string_view kMagic = "quillbox journal 1\n";

enum class Kind : std::uint8_t { Header = 1, File = 2, Folder = 3, TakenBack = 4, FileInRun = 5 };

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

// A checksum that tells a damaged or cut record from a whole one; it takes
// eight bytes a step, since a run computes one for every file it places.
std::uint32_t Checksum(std::string_view bytes)
{
    constexpr std::uint64_t kPrime = 0x9E3779B97F4A7C15ull;
    std::uint64_t hash = bytes.size() * kPrime;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word = 0;
        for (int i = 0; i < 8; ++i)
            word |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]))
                    << (8 * i);
        hash = (hash ^ word) * kPrime;
        hash ^= hash >> 29;
    }
    for (; at < bytes.size(); ++at)
        hash = (hash ^ static_cast<unsigned char>(bytes[at])) * kPrime;
    hash ^= hash >> 32;
    return static_cast<std::uint32_t>(hash);
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

class Reader {
public:
    explicit Reader(std::string_view bytes) : m_bytes(bytes) {}
    bool u64(std::uint64_t& value) { return little(value); }
    bool u32(std::uint32_t& value) { return little(value); }
    bool bytes(std::string& value)
    {
        std::uint32_t length = 0;
        if (!u32(length) || m_bytes.size() < length)
            return false;
        value.assign(m_bytes.substr(0, length));
        m_bytes.remove_prefix(length);
        return true;
    }
    bool empty() const { return m_bytes.empty(); }

private:
    // A little-endian number of sizeof(T) bytes.
    template <class T>
    bool little(T& value)
    {
        if (m_bytes.size() < sizeof(T))
            return false;
        value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value |= static_cast<T>(static_cast<T>(static_cast<unsigned char>(m_bytes[i])) << (8 * i));
        m_bytes.remove_prefix(sizeof(T));
        return true;
    }

    std::string_view m_bytes;
};

void PutMode(std::string& out, TransferMode mode)
{
    out.push_back(mode == TransferMode::Move ? 'M' : 'C');
}

bool ReadHeader(Reader& in, std::string_view mode, JournalHeader& header)
{
    std::uint64_t started = 0;
    if (!in.u64(started) || !in.bytes(header.source) || !in.bytes(header.destination) || !in.empty())
        return false;
    header.startedAt = static_cast<std::int64_t>(started);
    header.mode = mode == "M" ? TransferMode::Move : TransferMode::Copy;
    return true;
}

} // namespace

std::string JournalStart(const JournalHeader& header)
{
    std::string out(kMagic);
    Record record(out, Kind::Header);
    PutMode(out, header.mode);
    PutU64(out, static_cast<std::uint64_t>(header.startedAt));
    PutBytes(out, header.source);
    PutBytes(out, header.destination);
    return out;
}

namespace {

// The name of a file whose paths are `source` + name and `destination` +
// bucket + "/" + name, and its bucket; an empty name where they are not.
std::string_view NameInRun(const JournalHeader& header, const JournalFile& file, char& bucket)
{
    const std::string_view source = file.source;
    const std::string_view target = file.target;
    if (!source.starts_with(header.source) || !target.starts_with(header.destination))
        return {};
    const std::string_view name = source.substr(header.source.size());
    const std::string_view rest = target.substr(header.destination.size());
    if (name.empty() || rest.size() != name.size() + 2 || rest[1] != '/' || rest.substr(2) != name)
        return {};
    bucket = rest[0];
    return name;
}

} // namespace

void AppendJournalFile(std::string& out, const PlacedInRun& file)
{
    Record record(out, Kind::FileInRun);
    PutMode(out, file.mode);
    out.push_back(file.replaced ? 1 : 0);
    out.push_back(file.bucket);
    PutU64(out, file.placed.device);
    PutU64(out, file.placed.inode);
    PutU64(out, file.placed.size);
    PutU64(out, static_cast<std::uint64_t>(file.placed.mtimeNs));
    PutBytes(out, file.name);
}

void AppendJournalFile(std::string& out, const JournalHeader& header, const JournalFile& file)
{
    char bucket = 0;
    if (const std::string_view name = NameInRun(header, file, bucket); !name.empty()) {
        AppendJournalFile(out, {file.mode, bucket, name, file.replaced, file.placed});
        return;
    }
    Record record(out, Kind::File);
    PutMode(out, file.mode);
    out.push_back(file.replaced ? 1 : 0);
    PutU64(out, file.placed.device);
    PutU64(out, file.placed.inode);
    PutU64(out, file.placed.size);
    PutU64(out, static_cast<std::uint64_t>(file.placed.mtimeNs));
    PutBytes(out, file.source);
    PutBytes(out, file.target);
}

void AppendJournalFolder(std::string& out, const std::string& path)
{
    Record record(out, Kind::Folder);
    PutBytes(out, path);
}

void AppendJournalTakenBack(std::string& out)
{
    Record record(out, Kind::TakenBack);
}

namespace {

// Reads the records of a journal into `journal`; with `count`, the files
// are only counted there, not kept.
bool ReadRecords(std::string_view bytes, Journal& journal, std::size_t* count)
{
    if (!bytes.starts_with(kMagic))
        return false;
    bytes.remove_prefix(kMagic.size());
    bool headerSeen = false;
    while (bytes.size() >= 9) {
        const auto kind = static_cast<Kind>(static_cast<unsigned char>(bytes[0]));
        std::uint32_t length = 0;
        Reader lengthReader(bytes.substr(1, 4));
        lengthReader.u32(length);
        if (bytes.size() < 5 + static_cast<std::size_t>(length) + 4)
            break; // cut short
        const std::string_view framed = bytes.substr(0, 5 + length);
        std::uint32_t stored = 0;
        Reader checksumReader(bytes.substr(5 + length, 4));
        checksumReader.u32(stored);
        if (stored != Checksum(framed))
            break; // damaged: nothing after it is trusted
        std::string_view payload = framed.substr(5);
        bytes.remove_prefix(5 + length + 4);

        switch (kind) {
        case Kind::Header: {
            if (payload.empty())
                return false;
            Reader in(payload.substr(1));
            if (!ReadHeader(in, payload.substr(0, 1), journal.header))
                return false;
            headerSeen = true;
            break;
        }
        case Kind::File: {
            if (payload.size() < 2)
                return headerSeen;
            JournalFile file;
            file.mode = payload[0] == 'M' ? TransferMode::Move : TransferMode::Copy;
            file.replaced = payload[1] != 0;
            Reader in(payload.substr(2));
            std::uint64_t mtime = 0;
            if (!in.u64(file.placed.device) || !in.u64(file.placed.inode) || !in.u64(file.placed.size) ||
                !in.u64(mtime) || !in.bytes(file.source) || !in.bytes(file.target))
                return headerSeen;
            file.placed.mtimeNs = static_cast<std::int64_t>(mtime);
            if (count != nullptr)
                ++*count;
            else
                journal.files.push_back(std::move(file));
            break;
        }
        case Kind::FileInRun: {
            if (payload.size() < 3 || !headerSeen)
                return headerSeen;
            JournalFile file;
            file.mode = payload[0] == 'M' ? TransferMode::Move : TransferMode::Copy;
            file.replaced = payload[1] != 0;
            const char bucket = payload[2];
            Reader in(payload.substr(3));
            std::uint64_t mtime = 0;
            std::string name;
            if (!in.u64(file.placed.device) || !in.u64(file.placed.inode) || !in.u64(file.placed.size) ||
                !in.u64(mtime) || !in.bytes(name))
                return headerSeen;
            file.placed.mtimeNs = static_cast<std::int64_t>(mtime);
            if (count != nullptr) {
                ++*count;
                break;
            }
            file.source = journal.header.source + name;
            file.target = journal.header.destination;
            file.target.append(1, bucket).append(1, '/').append(name);
            journal.files.push_back(std::move(file));
            break;
        }
        case Kind::Folder: {
            Reader in(payload);
            std::string path;
            if (!in.bytes(path))
                return headerSeen;
            journal.folders.push_back(std::move(path));
            break;
        }
        case Kind::TakenBack:
            journal.takenBack = true;
            break;
        default:
            break; // a kind this version does not know: passed over
        }
    }
    return headerSeen;
}

} // namespace

bool ParseJournal(std::string_view bytes, Journal& journal)
{
    return ReadRecords(bytes, journal, nullptr);
}

bool SummarizeJournal(std::string_view bytes, JournalSummary& summary)
{
    Journal journal;
    std::size_t files = 0;
    if (!ReadRecords(bytes, journal, &files))
        return false;
    summary.header = std::move(journal.header);
    summary.files = files;
    summary.takenBack = journal.takenBack;
    return true;
}

} // namespace quillbox
