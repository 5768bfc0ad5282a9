// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The journal's bytes as both its writer and its reader see them: the
// first line, the kinds of record and the fields of their payloads. For
// core/journal/journal*.cpp only.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/ports/file_system.h"

namespace quillbox {
// The records, as core/journal/journal.h gives them.
struct JournalFile;
struct JournalHeader;
struct JournalIntent;
struct JournalKeptAs;
struct JournalLeft;
} // namespace quillbox

namespace quillbox::journal_codec {

constexpr std::string_view kMagic = "quillbox journal ";
// Version 3 added the record of what an undo left for a later one, version
// 4 the intents written before each file is placed and the record of one
// not placed after all, version 5 the record of a file an undo left where
// it was after its own renames; a journal of an older version reads the
// same otherwise (an undo appends the records of its own to any).
constexpr std::string_view kVersion = "5";
constexpr std::string_view kOlderVersions[] = {"4", "3", "2"};
// No record is larger: a name is one component, the folders are two paths.
constexpr std::size_t kMaxRecord = 64 * 1024;
constexpr std::size_t kFrame = 9; // kind, length, checksum
constexpr std::size_t kChunk = 64 * 1024;

enum class Kind : std::uint8_t {
    Header = 1,
    File = 2,
    Bucket = 3,
    TakenBack = 4,
    Left = 5,
    Intent = 6,
    Unplaced = 7,
    KeptAs = 8
};

inline bool KnownKind(unsigned char kind)
{
    return kind >= 1 && kind <= 8;
}
// The bytes that may start a record, for finding the next one after damage.
constexpr std::string_view kKindBytes = "\x01\x02\x03\x04\x05\x06\x07\x08";

template <class T>
inline T Little(std::string_view bytes)
{
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<T>(static_cast<T>(static_cast<unsigned char>(bytes[i])) << (8 * i));
    return value;
}

// A checksum that tells a damaged or cut record from a whole one; it takes
// eight bytes a step, since a run computes one for every file it places.
std::uint32_t Checksum(std::string_view bytes);

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

bool ModeOf(char letter, TransferMode& mode);
bool ReadFolder(Fields& in, FolderIdentity& id);
bool IsRunFolder(const std::string& path);
bool ReadHeader(std::string_view payload, JournalHeader& header);
// A file record's fields; false where they are not all there or name no
// plain file of a bucket.
bool ReadFile(std::string_view payload, JournalFile& file);
// A record of files left for a later undo; false where it is not whole or
// its ranges are out of order.
bool ReadLeft(std::string_view payload, JournalLeft& left);
bool ReadIntent(std::string_view payload, JournalIntent& intent);
bool ReadUnplaced(std::string_view payload, char& bucket, std::string& name);
bool ReadKeptAs(std::string_view payload, JournalKeptAs& kept);

} // namespace quillbox::journal_codec
