// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "core/ports/file_system.h"
#include "platform/bucket_traits.h"
#include "platform/copy_state.h"
#include "platform/folder_handles.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// A file opened to copy from, and what fstat said of it then.
struct SourceFile {
    UniqueFd fd;
    struct stat st {};
};

// Opens `name` in `dir` to read from. O_NONBLOCK keeps a FIFO that took a
// listed file's name from blocking the open, O_NOCTTY keeps a terminal from
// becoming ours; only a regular file is accepted.
FsStatus OpenSourceFile(int dir, const char* name, int extraFlags, SourceFile& source);

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
