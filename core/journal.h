#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_system.h"

namespace quillbox {

// What a run's journal says of the run as a whole.
struct JournalHeader {
    std::int64_t startedAt = 0; // seconds since the epoch
    TransferMode mode = TransferMode::Copy;
    std::string source;
    std::string destination;
};

// One file a run placed: where it came from, where it went, how, and which
// file it left there. Paths are bytes.
struct JournalFile {
    TransferMode mode = TransferMode::Copy;
    std::string source;
    std::string target;
    bool replaced = false;
    FileIdentity placed;
};

// One file a run placed in its own folders, as the run knows it: the name
// it had in the source and the bucket it went to.
struct PlacedInRun {
    TransferMode mode = TransferMode::Copy;
    char bucket = 0;
    std::string_view name;
    bool replaced = false;
    FileIdentity placed;
};

struct Journal {
    std::string id;
    JournalHeader header;
    std::vector<JournalFile> files;
    std::vector<std::string> folders; // bucket folders the run made
    bool takenBack = false;
};

// The journal's bytes: a first line that names the format, then records,
// each with its kind, its length and a checksum, so that a record cut short
// by a crash is known as such.
std::string JournalStart(const JournalHeader& header);
// A file whose paths are the run's folders and one name (as every file a
// run places) is kept short: its name and bucket, not its paths.
void AppendJournalFile(std::string& out, const JournalHeader& header, const JournalFile& file);
void AppendJournalFile(std::string& out, const PlacedInRun& file);
void AppendJournalFolder(std::string& out, const std::string& path);
void AppendJournalTakenBack(std::string& out);

// Reads a journal; whatever follows the last whole record (half a record
// from a crash) is passed over. False when the bytes are no journal at all.
bool ParseJournal(std::string_view bytes, Journal& journal);

// Appends a run's records as it goes.
class JournalWriter {
public:
    virtual ~JournalWriter() = default;
    // The records may wait in memory for a while; what comes back is the
    // outcome of writing them out, when that happened now.
    virtual FsStatus file(const PlacedInRun& file) = 0;
    virtual FsStatus folder(const std::string& path) = 0;
    // Writes out whatever waits.
    virtual FsStatus flush() = 0;
};

struct JournalSummary {
    std::string id;
    JournalHeader header;
    std::size_t files = 0;
    bool takenBack = false;
};

// What a list of runs shows of a journal, read without keeping its files.
bool SummarizeJournal(std::string_view bytes, JournalSummary& summary);

// Where the journals of the runs are kept.
class JournalStore {
public:
    virtual ~JournalStore() = default;
    virtual FsResult<std::unique_ptr<JournalWriter>> startRun(const JournalHeader& header) = 0;
    // Newest first.
    virtual std::vector<JournalSummary> list() = 0;
    // The newest run whose journal can be read, if any: what Undo takes
    // back unless told otherwise. Reads one journal, not all of them.
    virtual std::optional<JournalSummary> newest() = 0;
    virtual FsResult<Journal> read(const std::string& id) = 0;
    virtual FsStatus markTakenBack(const std::string& id) = 0;
};

} // namespace quillbox
