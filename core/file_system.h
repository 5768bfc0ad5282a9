#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

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
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;

    bool operator==(const FileIdentity&) const = default;
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
    // names and success: it has no files to sort.
    virtual const FsStatus& status() const = 0;
};

// Told a file's length as soon as it is known, before its data is copied.
using LengthFn = std::function<void(std::uint64_t bytes)>;

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
    // What sieveFile would come to, with the same outcome and reason, while
    // nothing is changed on disk. With `bucketsWillBeMade`, a bucket folder
    // that is not there counts as made where the destination allows it.
    virtual FileOutcome previewFile(const std::string& name, char bucket, TransferMode mode, bool bucketsWillBeMade,
                                    const LengthFn& length) = 0;
};

// What taking back one file of a run came to.
enum class TakeBackResult : std::uint8_t {
    PutBack,     // a moved file is back where it came from
    Removed,     // a copy is gone
    AlreadyBack, // nothing was left to do: an earlier take-back did it
    Skipped,     // left as it is, for the reason given
};

struct TakeBackOutcome {
    TakeBackResult result = TakeBackResult::Skipped;
    FsStatus why;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual std::unique_ptr<FileListing> listFiles(const std::string& folder) = 0;
    // The folder listed again, for the pass that handles the files a
    // listFiles of it counted: a link the last listFiles of the folder gave
    // as a file is given again whatever became of its target since (a move
    // took the target away, say), so that no counted file is passed over.
    virtual std::unique_ptr<FileListing> listFilesAgain(const std::string& folder) { return listFiles(folder); }
    virtual FsStatus createFolder(const std::string& path) = 0;
    // `source` and `destination` end in '/'; a bucket folder is the
    // destination followed directly by its letter.
    virtual std::unique_ptr<RunFolders> openRun(const std::string& source, const std::string& destination) = 0;

    // Takes back one file a run placed at `target`, only while the file
    // there is still `placed`: a moved file goes back to `source` the way a
    // move goes (never replacing what took its old place), a copy is
    // removed.
    virtual TakeBackOutcome takeBack(TransferMode mode, const std::string& source, const std::string& target,
                                     const FileIdentity& placed) = 0;
    // Removes a folder if it is empty; a folder with anything in it stays.
    virtual FsStatus removeEmptyFolder(const std::string& path) = 0;
};

} // namespace quillbox
