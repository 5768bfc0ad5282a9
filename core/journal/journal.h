// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ports/file_system.h"

namespace quillbox {

// What a run's journal says of the run as a whole. The folders are
// absolute, links resolved, and end in '/'; every file the run placed lies
// in one of them, under one name.
struct JournalHeader {
    std::int64_t startedAt = 0; // seconds since the epoch
    std::uint64_t sequence = 0; // the run's place among the runs, 1, 2...
    TransferMode mode = TransferMode::Copy;
    ResolvedFolder source;
    ResolvedFolder destination;
};

// One file a run placed: its name (one component, the same in the source
// and in its bucket), its bucket, how, and which file it left there.
struct PlacedInRun {
    TransferMode mode = TransferMode::Copy;
    char bucket = 0;
    std::string_view name;
    bool replaced = false;
    FileIdentity placed;
};

// The same, as read back; `number` counts the run's files from 1.
struct JournalFile {
    std::uint64_t number = 0;
    TransferMode mode = TransferMode::Copy;
    char bucket = 0;
    std::string name;
    bool replaced = false;
    FileIdentity placed;
};

// A file the run was about to place, written before it was placed: what it
// was then (`before`), and whether it was to replace a file of that name.
// One its run did not go on to record as placed, or as not placed, is
// handed to the reader at the end of the journal: the run ended (killed)
// in between.
struct JournalIntent {
    TransferMode mode = TransferMode::Copy;
    char bucket = 0;
    bool replacing = false;
    std::string name;
    FileIdentity before;
};

// A file an undo left where the run put it, under its own name, after its
// own renames (to its private name and back) moved its change time on:
// `now` is the file as they left it. A later undo knows that change as an
// undo's, not as a change someone made to the file.
struct JournalKeptAs {
    std::uint64_t number = 0; // of the run's record of the file
    FileIdentity now;
};

// A bucket folder the run made.
struct JournalBucket {
    char bucket = 0;
    FolderIdentity identity;
};

// What an undo that could not take back every file left for a later one:
// how many of each kind, and the numbers of their records as ranges, first
// to last, in order. Where there were too many ranges to keep, a range may
// take in a few files that are not left; the counts are exact.
struct JournalLeft {
    std::uint64_t moved = 0;
    std::uint64_t copied = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    // Folders the run made that could not be removed yet; a later undo
    // tries every folder the run made again.
    std::uint64_t folders = 0;
    // Files the run was about to place when it was killed (JournalIntent),
    // left: a later undo looks at each of those again.
    std::uint64_t intended = 0;

    std::uint64_t files() const { return moved + copied + intended; }
    bool empty() const { return files() == 0 && folders == 0; }
    bool holds(std::uint64_t number) const;
};

// The letter of a JournalBucket that stands for the destination folder
// itself, made for the run (--create-dirs) just before it began.
constexpr char kMadeDestination = '/';

// Records of a journal that could not be read: `files` of the run's files
// are not known (0 where it cannot be told), `name` is the name a damaged
// record seems to hold, if any, and `record` counts the journal's records
// from 1 (the header is the first).
struct JournalDamage {
    std::uint64_t record = 0;
    std::uint64_t files = 0;
    std::string name;
    std::string why;
};

// Whether `bytes` may be a name a journal holds: one component of a path,
// neither "." nor "..", without '/' or NUL.
bool IsPlainName(std::string_view bytes);
// Whether `letter` is a bucket: 'A'..'Z' or '#'.
bool IsBucket(char letter);

// The journal's bytes: a first line that names the format and its version,
// then records, each with its kind, its length and a checksum, so that a
// record cut short by a crash or damaged later is known as such.
std::string JournalStart(const JournalHeader& header);
void AppendJournalFile(std::string& out, std::uint64_t number, const PlacedInRun& file);
void AppendJournalBucket(std::string& out, const JournalBucket& bucket);
void AppendJournalIntent(std::string& out, TransferMode mode, char bucket, bool replacing, std::string_view name,
                         const FileIdentity& before);
// The file of an intent was not placed after all.
void AppendJournalUnplaced(std::string& out, char bucket, std::string_view name);
void AppendJournalKeptAs(std::string& out, const JournalKeptAs& kept);
void AppendJournalTakenBack(std::string& out);
// At most kMostLeftRanges ranges are written: closer ones are joined first.
void AppendJournalLeft(std::string& out, const JournalLeft& left);
inline constexpr std::size_t kMostLeftRanges = 4000;

// Where a journal's bytes come from: up to `size` bytes into `into`; 0 at
// the end.
class JournalBytes {
public:
    virtual ~JournalBytes() = default;
    virtual FsResult<std::size_t> read(char* into, std::size_t size) = 0;
};

// What reading a journal finds, record by record, in the order written.
class JournalVisitor {
public:
    virtual ~JournalVisitor() = default;
    virtual void header(const JournalHeader&) {}
    // False stops the reading.
    virtual bool file(const JournalFile&) { return true; }
    virtual void bucket(const JournalBucket&) {}
    // After every other record: a file the run was about to place, whose
    // placing no record tells.
    virtual void intended(const JournalIntent&) {}
    virtual void takenBack() {}
    virtual void left(const JournalLeft&) {}
    virtual void keptAs(const JournalKeptAs&) {}
    virtual void damaged(const JournalDamage&) {}
};

// Reads a journal from its first byte to its last, in memory bounded by the
// largest record and the intents not yet settled (whatever the journal's
// size), checking each record; a
// damaged one is reported and reading goes on at the next whole record. A
// failure when the bytes are no journal of this version, or could not be
// read.
FsStatus ReadJournal(JournalBytes& bytes, JournalVisitor& visitor);

// Appends a run's records as it goes.
class JournalWriter {
public:
    virtual ~JournalWriter() = default;
    // The records may wait in memory for a while; what comes back is the
    // outcome of the last writing out.
    virtual FsStatus file(const PlacedInRun& file) = 0;
    // Written out at once, with whatever waits before it.
    virtual FsStatus bucket(const JournalBucket& bucket) = 0;
    // A file placed by no file() record after all, told for its intent.
    virtual void unplaced(char bucket, std::string_view name)
    {
        (void)bucket;
        (void)name;
    }
    // What writes an intent before each file is placed, straight to the
    // journal, or none; it lives as long as the writer.
    virtual PlacementNotice* notice() { return nullptr; }
    // Writes out whatever waits.
    virtual FsStatus flush() = 0;
};

// What a list of runs shows of a journal, read without keeping its files.
struct JournalSummary {
    std::string id;
    JournalHeader header;
    std::size_t files = 0;
    std::uint64_t moved = 0, copied = 0; // the files, by how they were placed
    std::uint64_t damaged = 0;           // records that could not be read
    std::uint64_t folders = 0;           // folders the run made (buckets, its destination)
    // Of the files: those the run was about to place when it was killed,
    // by none of moved and copied.
    std::uint64_t intended = 0;
    bool takenBack = false;
    // Where an undo left files for a later one, and none took them back
    // since: the run is partly taken back.
    std::optional<JournalLeft> left;
    // The files undos left where they were after their own renames, by
    // the numbers of their records: as the last of them left each.
    std::map<std::uint64_t, FileIdentity> keptAs;

    // Whether an undo has anything to look at: files placed, records that
    // could not be read, or folders made (a run may make its folders and
    // then place nothing).
    bool changedAnything() const { return files > 0 || damaged > 0 || folders > 0; }
};

// Reads a journal whole into what a list of runs shows of it (its `id` is
// the store's name for it).
FsResult<JournalSummary> SummarizeJournal(JournalBytes& bytes, const std::string& id);

// Keeps a run's journal to one undo while it lives: its run still writing
// it, or another undo holding it, keeps an undo from starting.
class JournalHold {
public:
    virtual ~JournalHold() = default;
};

// Where the journals of the runs are kept.
class JournalStore {
public:
    virtual ~JournalStore() = default;
    virtual FsResult<std::unique_ptr<JournalWriter>> startRun(const JournalHeader& header) = 0;
    // Newest first.
    virtual std::vector<JournalSummary> list() = 0;
    // The newest run that placed files and was not taken back, if any: what
    // Undo takes back unless told otherwise.
    virtual std::optional<JournalSummary> newestToTakeBack() = 0;
    virtual FsResult<JournalSummary> summary(const std::string& id) = 0;
    // Reads the journal of `id` through `visitor`.
    virtual FsStatus read(const std::string& id, JournalVisitor& visitor) = 0;
    // What an undo notes in a run's journal, each one record appended at
    // once: that the run is taken back; the files it left for a later one;
    // a file it left where it was after its own renames (see JournalKeptAs).
    FsStatus markTakenBack(const std::string& id);
    FsStatus markLeft(const std::string& id, const JournalLeft& left);
    FsStatus markKeptAs(const std::string& id, const JournalKeptAs& kept);
    // Holds the journal of `id` for an undo; EBUSY while the run is still
    // going (its writer holds it from the start to the end) or another undo
    // holds it. A store that cannot tell holds nothing.
    virtual FsResult<std::unique_ptr<JournalHold>> hold(const std::string& id)
    {
        (void)id;
        return std::unique_ptr<JournalHold>();
    }

protected:
    // Appends one whole record to the journal of `id`, durably, before it
    // returns. A store that keeps no marks takes none.
    virtual FsStatus appendRecord(const std::string& id, std::string_view record)
    {
        (void)id;
        (void)record;
        return FsStatus::success();
    }
};

} // namespace quillbox
