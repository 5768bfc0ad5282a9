// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillbox {

// The outcome of a file-system operation: 0 on success, otherwise the errno
// value, with the platform's reason ("File exists") for the log.
struct FsStatus {
    int error = 0;
    std::string reason;

    bool ok() const { return error == 0; }
    static FsStatus success() { return {}; }
};

// A value, or the reason there is none.
template <class T>
class FsResult {
public:
    FsResult(T value) : m_value(std::move(value)) {}
    FsResult(FsStatus failure) : m_status(std::move(failure)) {}

    bool ok() const { return m_status.ok(); }
    const FsStatus& status() const { return m_status; }
    T& value() { return m_value; }
    const T& value() const { return m_value; }

private:
    T m_value {};
    FsStatus m_status;
};

// Where handling one file stopped. Examine: the file could not be looked at
// (it vanished after it was listed, say); the run reports that as an error
// of the run. Transfer: it was looked at, and the copy or move failed.
enum class FileStage : std::uint8_t { Done, Examine, Transfer };

// Which file a copy or move left under the target's name, so that the run
// can later be taken back only while that file is still there, unchanged.
// The change time is taken after the file got its name; nobody can set it
// back, and every write, chmod, link or rename moves it on. The birth time
// is 0 where the file system does not tell it. On a network share, where
// device and inode numbers change with each mount and the change time may
// say nothing, the platform keeps what does hold there in the same fields,
// with a device no mounted file system has.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::int64_t btimeNs = 0;

    bool operator==(const FileIdentity&) const = default;
    // False where the file could not be looked at.
    bool known() const { return device != 0 || inode != 0; }
    // The same inode with the same length and modification time, which is
    // all that stays of a file's identity when it is renamed.
    bool sameContentOf(const FileIdentity& other) const
    {
        return device == other.device && inode == other.inode && size == other.size && mtimeNs == other.mtimeNs &&
            (btimeNs == 0 || other.btimeNs == 0 || btimeNs == other.btimeNs);
    }
    // Every part of the identity; a birth time only where both know one.
    bool matches(const FileIdentity& other) const { return sameContentOf(other) && ctimeNs == other.ctimeNs; }
};

// Which folder a run used: a folder put in its place later (a link, or one
// deleted and made again, which may get the same inode number but not the
// same birth time) is another folder. The birth time is 0 where the file
// system does not tell it.
struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t btimeNs = 0;

    bool known() const { return device != 0 || inode != 0; }
    bool operator==(const FolderIdentity&) const = default;
    bool matches(const FolderIdentity& other) const
    {
        return device == other.device && inode == other.inode &&
            (btimeNs == 0 || other.btimeNs == 0 || btimeNs == other.btimeNs);
    }
};

// A folder as a run's journal keeps it: its absolute path, links resolved,
// ending in '/', and which folder it is.
struct ResolvedFolder {
    std::string path;
    FolderIdentity identity;
};

struct FileOutcome {
    FileOutcome() = default;
    FileOutcome(FileStage failedAt, FsStatus why) : stage(failedAt), status(std::move(why)) {}

    FileStage stage = FileStage::Done;
    FsStatus status;
    // On success: the file now under the target's name, and whether a copy
    // replaced a file that had that name.
    FileIdentity placed;
    bool replaced = false;
    // On success: why some of the file's extended attributes could not be
    // kept on the placed file (the target's file system refused them);
    // success when all were kept.
    FsStatus attributesNotKept;

    // On a failure: the file is under the target's name all the same (a
    // move whose copy had its name when the connection to a share was lost,
    // say, with the original still in the source), as `placed`; the journal
    // keeps it, so that an undo can take it back.
    bool leftPlaced = false;

    bool ok() const { return stage == FileStage::Done; }
};

enum class TransferMode : std::uint8_t { Copy, Move };

// A running listing of the files directly inside one folder: regular files
// and links to regular files, hidden ones included; never folders, FIFOs,
// sockets or devices. Names are bare and raw bytes.
class FileListing {
public:
    virtual ~FileListing() = default;
    // The next name, or "" when no file is left or the listing failed. The
    // name stays valid until the next call; a listing reuses its storage.
    virtual const std::string& next() = 0;
    // Why the listing ended early (EIO, ESTALE, ...), or success when it saw
    // the whole folder. A folder that cannot be opened at all yields no
    // names and the reason.
    virtual const FsStatus& status() const = 0;
    // Whether the name next() gave last may be a link rather than a file: a
    // run takes such a name up only once every file before it is done, so
    // that a link whose target the run moves behaves the same whatever else
    // is in flight.
    virtual bool lastMayBeLink() const { return false; }
};

// Told a file's length as soon as it is known, before its data is copied.
using LengthFn = std::function<void(std::uint64_t bytes)>;

// Told of each file just before it gets its name in its bucket, with what
// the file is then, so that a run killed right after still has it on
// record: `replacing` where it is to replace a file of that name. Called on
// whichever thread places the file; the file is placed whatever it returns.
class PlacementNotice {
public:
    virtual ~PlacementNotice() = default;
    virtual void aboutToPlace(TransferMode mode, char bucket, std::string_view name, bool replacing,
                              const FileIdentity& before) = 0;
};

// One run's view of its two folders: the source folder and the bucket
// folders of the destination. It keeps whatever handles it likes while it
// lives and releases every one of them when it goes, so that a folder (a
// removable disk) is not kept busy after the run.
class RunFolders {
public:
    virtual ~RunFolders() = default;
    // Copies (replacing a target as a whole, or not at all) or moves (never
    // replacing) the file `name` of the source folder to `name` in the bucket
    // folder `bucket` ('A'..'Z' or '#') of the destination.
    //
    // Once `stop` (when given) is set, a copy in progress is abandoned
    // within about 100 ms and leaves nothing behind: the file fails with
    // ECANCELED. A move within one file system is one rename and completes.
    virtual FileOutcome sieveFile(const std::string& name, char bucket, TransferMode mode, const LengthFn& length,
                                  const std::atomic<bool>* stop) = 0;
    // Tells `notice` (which outlives these folders) of each file before it
    // is placed; folders that cannot tell place their files all the same.
    virtual void noticePlacements(PlacementNotice* notice) { (void)notice; }
    // What sieveFile would come to, with the same outcome and reason, while
    // nothing is changed on disk. With `bucketsWillBeMade`, a bucket folder
    // that is not there counts as made where the destination allows it.
    virtual FileOutcome previewFile(const std::string& name, char bucket, TransferMode mode, bool bucketsWillBeMade,
                                    const LengthFn& length) = 0;
};

// How many files a run has in flight at once: `workers` threads, each
// taking `claim` files up at a time (a claim above 1 spares the threads
// waking each other for every file where a file is little work).
struct InFlight {
    int workers = 1;
    int claim = 1;
};

// What taking back one file of a run came to.
enum class TakeBackResult : std::uint8_t {
    PutBack,     // a moved file is back where it came from
    Removed,     // a copy is gone
    AlreadyBack, // nothing was left to do: an earlier take-back did it
    CopyRemoved, // a moved file was in its old place as well (a move or a
                 // take-back cut short): the copy in its bucket is gone
    Skipped,     // left as it is, for the reason given
};

struct TakeBackOutcome {
    TakeBackResult result = TakeBackResult::Skipped;
    FsStatus why;
    // Skipped for good: a later take-back would find the same (the file
    // changed, its old place is taken, its folder is another one). Otherwise
    // what kept it may pass: a full disk, an I/O error, a folder away.
    bool lasting = false;
    // How many names the file had when it was looked at (0: it was not).
    // Where it had several (hard links), `seen` is the file as it was looked
    // at, and `left` as the take-back left it where it renamed it (each
    // rename moves the change time of every name on): a later look at
    // another name of the same file knows that change as the take-back's.
    std::uint64_t links = 0;
    FileIdentity seen;
    FileIdentity left;
};

// The folders of one run that is being taken back. Each is opened without
// following a link and compared with the folder the run used; a bucket
// folder is opened inside the destination, never through a link. Every
// file is acted on only under a private name it was first renamed to, and
// only once the file under that name proved to be the file the run left,
// so that nothing that took its place in the meantime is touched.
class RunTakeBack {
public:
    virtual ~RunTakeBack() = default;
    // Why the source (needed to put moved files back) or the destination
    // cannot be used, or success: ESTALE where it is not the folder the run
    // used (its files stay for good), another error where it may be back.
    virtual const FsStatus& sourceStatus() const = 0;
    virtual const FsStatus& destinationStatus() const = 0;
    // Takes back the file `name` the run placed in bucket `bucket`, only
    // while it is still `placed`: a moved file goes back to the source the
    // way a move goes (never replacing what took its old place), a copy is
    // removed.
    virtual TakeBackOutcome takeBack(TransferMode mode, char bucket, const std::string& name,
                                     const FileIdentity& placed) = 0;
    // Takes back a file the run was about to place when it ended without a
    // word of more (killed): `before` is what the file was just before. The
    // file of that name in the bucket goes only where it is that file, its
    // change time not older (placing it moved that on). A move whose file
    // is still in the source, or nothing under the name, was not placed:
    // AlreadyBack.
    virtual TakeBackOutcome takeBackIntended(TransferMode mode, char bucket, const std::string& name,
                                             const FileIdentity& before)
    {
        (void)mode;
        (void)bucket;
        (void)name;
        (void)before;
        return {TakeBackResult::Skipped, {ENOTSUP, "It cannot be checked here"}, true, 0, {}, {}};
    }
    // Removes the bucket folder `bucket` while it is the very folder `made`
    // and empty; otherwise it stays.
    virtual FsStatus removeMadeBucket(char bucket, const FolderIdentity& made) = 0;
    // Removes the destination folder itself, made for the run, while it is
    // the very folder `made` and empty; otherwise it stays.
    virtual FsStatus removeMadeDestination(const FolderIdentity& made) = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // The files directly inside `folder`. A folder that cannot be opened
    // (not there, unreadable, failing) fails the listing (its status) rather
    // than listing nothing: only a folder that was read holds no files.
    virtual std::unique_ptr<FileListing> listFiles(const std::string& folder) = 0;
    // The folder listed again, for the pass that handles the files a
    // listFiles of it counted: a link the last listFiles of the folder gave
    // as a file is given again whatever became of its target since (a move
    // took the target away, say), so that no counted file is passed over.
    virtual std::unique_ptr<FileListing> listFilesAgain(const std::string& folder) { return listFiles(folder); }
    virtual FsStatus createFolder(const std::string& path) = 0;
    // Makes the folder `path` (its parent must be there) for a run that
    // notes it before it has its name: first under a private name beside it,
    // which `made` is given (to look at the folder and note it), then under
    // its own name, never taking a name something has (EEXIST, and nothing
    // is left). A run killed in between leaves at most the empty folder
    // under its private name, never a folder it did not note.
    virtual FsStatus createNotedFolder(const std::string& path,
                                       const std::function<void(const std::string& madeAs)>& made)
    {
        FsStatus created = createFolder(path);
        if (created.ok())
            made(path);
        return created;
    }
    // The temporary files of this program that earlier runs left in the
    // bucket folders of `destination` (ending in '/'), as "A/NAME"; each
    // is given once by this object, however many runs ask.
    virtual std::vector<std::string> leftTemporaries(const std::string& destination)
    {
        (void)destination;
        return {};
    }
    // `source` and `destination` end in '/'; a bucket folder is the
    // destination followed directly by its letter.
    virtual std::unique_ptr<RunFolders> openRun(const std::string& source, const std::string& destination) = 0;
    // How a run between these folders, started in `mode`, should have files
    // in flight, each worker through a RunFolders of its own: one file at a
    // time where a call costs little and renames out of the one source
    // folder wait for each other anyway (a move on a local disk, in memory);
    // more where every call is a round trip (a network share, a user-space
    // file system) and the wait for one file can overlap another's, or where
    // a copy's own work can use another core. The folders end in '/'.
    virtual InFlight filesInFlight(const std::string& source, const std::string& destination, TransferMode mode)
    {
        (void)source;
        (void)destination;
        (void)mode;
        return {};
    }

    // The absolute path of a folder, links resolved, and which folder it
    // is; a folder that is not there yet keeps its path made absolute and
    // no identity. A failure where no absolute path can be told.
    virtual FsResult<ResolvedFolder> resolveFolder(const std::string& path) = 0;
    // Which folder `path` names, without following a link.
    virtual FsResult<FolderIdentity> folderIdentity(const std::string& path) = 0;

    // How an undo of a run between these folders should have files in
    // flight, each worker through a RunTakeBack of its own: renames in
    // different bucket folders overlap on several cores, where a worker
    // takes up a few files at a time; round trips overlap on a network
    // share, where each is taken up alone, as it is a wait rather than work.
    virtual InFlight takeBacksInFlight(const ResolvedFolder& source, const ResolvedFolder& destination)
    {
        (void)source;
        (void)destination;
        return {};
    }

    // Opens a run's folders (as its journal gives them) to take it back.
    virtual std::unique_ptr<RunTakeBack> openTakeBack(const ResolvedFolder& source,
                                                      const ResolvedFolder& destination) = 0;
};

} // namespace quillbox
