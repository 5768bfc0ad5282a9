#include "core/journal.h"

#include <algorithm>
#include <cstring>

namespace quillbox {

namespace {

constexpr std::string_view kMagic = "quillbox journal ";
constexpr std::string_view kVersion = "2";
// No record is larger: a name is one component, the folders are two paths.
constexpr std::size_t kMaxRecord = 64 * 1024;
constexpr std::size_t kFrame = 9; // kind, length, checksum
constexpr std::size_t kChunk = 64 * 1024;

enum class Kind : std::uint8_t { Header = 1, File = 2, Bucket = 3, TakenBack = 4 };

bool KnownKind(unsigned char kind)
{
    return kind >= 1 && kind <= 4;
}

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

template <class T>
T Little(std::string_view bytes)
{
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<T>(static_cast<T>(static_cast<unsigned char>(bytes[i])) << (8 * i));
    return value;
}

// A checksum that tells a damaged or cut record from a whole one; it takes
// eight bytes a step, since a run computes one for every file it places.
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

// Reads the fields of one record's payload, each only where it is whole.
class Fields {
public:
    explicit Fields(std::string_view bytes) : m_bytes(bytes) {}
    bool u64(std::uint64_t& value) { return take(value); }
    bool i64(std::int64_t& value)
    {
        std::uint64_t raw = 0;
        if (!take(raw))
            return false;
        value = static_cast<std::int64_t>(raw);
        return true;
    }
    bool byte(char& value)
    {
        if (m_bytes.empty())
            return false;
        value = m_bytes[0];
        m_bytes.remove_prefix(1);
        return true;
    }
    bool bytes(std::string& value)
    {
        std::uint32_t length = 0;
        if (!take(length) || m_bytes.size() < length)
            return false;
        value.assign(m_bytes.substr(0, length));
        m_bytes.remove_prefix(length);
        return true;
    }
    bool empty() const { return m_bytes.empty(); }

private:
    template <class T>
    bool take(T& value)
    {
        if (m_bytes.size() < sizeof(T))
            return false;
        value = Little<T>(m_bytes);
        m_bytes.remove_prefix(sizeof(T));
        return true;
    }

    std::string_view m_bytes;
};

void PutMode(std::string& out, TransferMode mode)
{
    out.push_back(mode == TransferMode::Move ? 'M' : 'C');
}

bool ModeOf(char letter, TransferMode& mode)
{
    if (letter != 'M' && letter != 'C')
        return false;
    mode = letter == 'M' ? TransferMode::Move : TransferMode::Copy;
    return true;
}

void PutIdentity(std::string& out, const FileIdentity& id)
{
    PutU64(out, id.device);
    PutU64(out, id.inode);
    PutU64(out, id.size);
    PutU64(out, static_cast<std::uint64_t>(id.mtimeNs));
    PutU64(out, static_cast<std::uint64_t>(id.ctimeNs));
    PutU64(out, static_cast<std::uint64_t>(id.btimeNs));
}

void PutFolder(std::string& out, const FolderIdentity& id)
{
    PutU64(out, id.device);
    PutU64(out, id.inode);
    PutU64(out, static_cast<std::uint64_t>(id.btimeNs));
}

bool ReadFolder(Fields& in, FolderIdentity& id)
{
    return in.u64(id.device) && in.u64(id.inode) && in.i64(id.btimeNs);
}

bool IsRunFolder(const std::string& path)
{
    return path.size() >= 1 && path.front() == '/' && path.back() == '/' &&
           path.find('\0') == std::string::npos;
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

// A file record's fields; false where they are not all there or name no
// plain file of a bucket.
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
    Record record(out, Kind::File);
    PutU64(out, number);
    PutMode(out, file.mode);
    out.push_back(file.replaced ? 1 : 0);
    out.push_back(file.bucket);
    PutIdentity(out, file.placed);
    PutBytes(out, file.name);
}

void AppendJournalBucket(std::string& out, const JournalBucket& bucket)
{
    Record record(out, Kind::Bucket);
    out.push_back(bucket.bucket);
    PutFolder(out, bucket.identity);
}

void AppendJournalTakenBack(std::string& out)
{
    Record record(out, Kind::TakenBack);
}

FsStatus ReadJournal(JournalBytes& bytes, JournalVisitor& visitor)
{
    Window window(bytes);
    const auto refused = [&](const char* why) {
        return window.error().ok() ? FsStatus {EINVAL, why} : window.error();
    };
    window.ensure(kMagic.size() + 8);
    std::string_view start = window.view();
    const std::size_t newline = start.substr(0, kMagic.size() + 8).find('\n');
    if (!start.starts_with(kMagic) || newline == std::string_view::npos)
        return refused("Not a journal of a run");
    const std::string_view version = start.substr(kMagic.size(), newline - kMagic.size());
    if (version != kVersion)
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

    std::uint64_t record = 1;    // records framed so far
    std::uint64_t lastFile = 0;  // the number of the last file read
    std::optional<JournalDamage> pending; // told once the next file's number says how many it held
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
                }
            }
            if (!pending)
                pending = std::move(damage);
            // Only a byte that names a kind of record can start one.
            window.skip(1);
            while (!window.atEnd()) {
                const std::string_view rest = window.view();
                const std::size_t candidate = rest.find_first_of("\x01\x02\x03\x04");
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
            JournalFile file;
            if (!ReadFile(payload, file) || file.number <= lastFile) {
                tell(lastFile + 1);
                visitor.damaged({record, 1, {}, "It names no file of the run's folders"});
                ++lastFile;
                break;
            }
            tell(file.number);
            lastFile = file.number;
            if (!visitor.file(file))
                return FsStatus::success();
            break;
        }
        case Kind::Bucket: {
            Fields in(payload);
            JournalBucket bucket;
            if (in.byte(bucket.bucket) && IsBucket(bucket.bucket) && ReadFolder(in, bucket.identity) && in.empty())
                visitor.bucket(bucket);
            else
                visitor.damaged({record, 0, {}, "It names no bucket folder"});
            break;
        }
        case Kind::TakenBack:
            visitor.takenBack();
            break;
        case Kind::Header:
            visitor.damaged({record, 0, {}, "A second header"});
            break;
        }
        window.skip(length);
    }
    if (pending)
        tell(lastFile);
    if (!window.error().ok())
        return window.error();
    return FsStatus::success();
}

} // namespace quillbox
