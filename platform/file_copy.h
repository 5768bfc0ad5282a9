// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "core/ports/file_system.h"
#include "platform/folder_handles.h"
#include "platform/share_identity.h"
#include "platform/system_calls.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// What the copies of one run share: the system's calls, the umask as it was
// when the run began, the temporary names' prefix, a buffer for
// copies the kernel will not make itself, the stop flag of the file in hand,
// and what copies have learnt of the media's speed.
struct CopyState {
    explicit CopyState(SystemCalls& calls);

    SystemCalls& calls;
    mode_t umask;
    // ".quillbox-PID-"; the serial that follows is the whole process's, so
    // that runs with several files in flight (a state each) never pick the
    // same temporary name.
    std::string tempPrefix;
    // A name of the process's own for something to stand under for a
    // while: tempPrefix and the next serial.
    std::string privateName() const;
    // An anonymous file is linked into place through /proc/self/fd where the
    // process may not link it by its descriptor (without CAP_DAC_READ_SEARCH
    // on older kernels).
    bool linkThroughProc = false;
    std::unique_ptr<char[]> buffer;

    // When set, a copy in progress is abandoned (ECANCELED) between two
    // chunks; a chunk is sized to take some 50 ms at the speed the last one
    // went, so a stop is seen soon even on slow media.
    const std::atomic<bool>* stop = nullptr;
    std::size_t chunk;

    // Told of each file of a run just before it is placed, where set, with
    // the run's mode and the bucket of the file at hand.
    PlacementNotice* notice = nullptr;
    TransferMode placingMode = TransferMode::Copy;
    char placingBucket = 0;
    // Tells the notice of `name`, about to be placed, as `before` is.
    void aboutToPlace(const char* name, bool replacing, const FileIdentity& before) const
    {
        if (notice != nullptr)
            notice->aboutToPlace(placingMode, placingBucket, name, replacing, before);
    }
    std::uint64_t copiedOfFile = 0;
    // A move's copy is written to the disk as it goes, a chunk behind.
    bool writeBehind = false;
    off_t behindFrom = 0;
    off_t behindTo = 0;

    // The copies go to a network share, where a file is known by its
    // length, time and the checksum of the bytes a copy wrote (see
    // ShareFileIdentity): the checksum of the last copy, where its bytes
    // passed through the buffer (known); a copy the kernel made is not seen.
    bool toShare = false;
    ContentChecksum checksum;
    bool checksumKnown = false;

    // Extended attributes: the names of one file and one value (the kernel
    // bounds both to 64 KiB), made on the first file that has any.
    std::unique_ptr<char[]> attributeNames;
    std::unique_ptr<char[]> attributeValue;
};

// A file opened to copy from, and what fstat said of it then.
struct SourceFile {
    UniqueFd fd;
    struct stat st {};
};

// Opens `name` in `dir` to read from. O_NONBLOCK keeps a FIFO that took a
// listed file's name from blocking the open, O_NOCTTY keeps a terminal from
// becoming ours; only a regular file is accepted.
FsStatus OpenSourceFile(int dir, const char* name, int extraFlags, SourceFile& source);

// Who a file is, as a run records it: of a stat (no birth time), of an open
// file, or of a name in a folder (never following a link). The latter two
// are taken once the file has its name, since naming it moves its change
// time on; false where the file could not be looked at.
FileIdentity IdentityOf(const struct stat& st);
bool IdentityOfOpen(int fd, FileIdentity& identity);
bool IdentityAt(int dir, const char* name, FileIdentity& identity);
// The same, with the file's type (the S_IFMT bits of its mode).
bool IdentityAndTypeAt(int dir, const char* name, FileIdentity& identity, mode_t& type);
// Which folder `name` in `dir` is ("" with AT_EMPTY_PATH: `dir` itself);
// `flags` as statx takes them.
bool FolderIdentityAt(int dir, const char* name, int flags, FolderIdentity& identity);

// Whether a file is still what it was: the same inode, length and change time.
bool Unchanged(const struct stat& before, const struct stat& now);
// Looks at the open source again; a failure when it changed since it was opened.
FsStatus CheckUnchanged(const SourceFile& source, bool originalKept);

// A file being written in a folder, unseen until it is complete: anonymous
// (O_TMPFILE) and linked into place, or, where the folder's file system
// does not allow that, named ".quillbox-PID-N" and renamed into place. On
// every way out that does not place it, it leaves nothing behind.
class NewFile {
public:
    NewFile(CopyState& state, int dir) : m_state(state), m_dir(dir) {}
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Creates the file with the permission bits of `mode` (less the umask).
    FsStatus create(BucketTraits& traits, mode_t mode);
    int fd() const { return m_fd.get(); }
    bool anonymous() const { return m_anonymous; }
    // Whether placing it replaced a file that had the name.
    bool replaced() const { return m_replaced; }

    // Gives the file `name` if nothing has it yet. 0, or the errno: EEXIST
    // when the name is taken.
    int placeNoReplace(const char* name);
    // Gives the file `name`, replacing whatever had it as a whole; the data
    // is on the disk before an existing file is replaced. 0, or the errno.
    int placeReplacing(const char* name);

private:
    // Tells the run's notice, where there is one, of the file under `name`.
    void aboutToPlace(const char* name, bool replacing) const;
    int linkAnonymous(const char* name);
    int nameAnonymous();
    int replaceWithTemporary(const char* name);
    void nextTempName();

    CopyState& m_state;
    int m_dir;
    BucketTraits* m_traits = nullptr; // given by create()
    UniqueFd m_fd;
    bool m_anonymous = false;
    bool m_named = false; // m_tempName exists in the folder and is ours
    bool m_replaced = false;
    char m_tempName[64] = {};
};

// Fills `out` with the data of `source`, keeping its holes where it may have
// some, then its `user.*` extended attributes, mode and times; for a move
// (`forMove`) its owner and group too where the process may set them, and
// every extended attribute it may set. The set-user-ID and set-group-ID bits
// are kept only where the copy has the source's owner and group. Extended
// attributes the target refuses do not fail the copy: `attributesNotKept`
// (when given) tells why they were not kept.
FsStatus FillNewFile(CopyState& state, BucketTraits& traits, NewFile& out, const SourceFile& source, bool forMove,
                     FsStatus* attributesNotKept = nullptr);

// Copies the file `name` of the source folder to `name` in a bucket folder,
// replacing a file there as a whole. A source that changes while it is
// copied is not copied.
FileOutcome CopyFile(CopyState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                     const LengthFn& length);

} // namespace quillbox::posix
