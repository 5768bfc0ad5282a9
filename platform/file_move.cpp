// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file_move.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ports/fs_try.h"
#include "platform/error_text.h"
#include "platform/file_identity.h"
#include "platform/name_moves.h"

namespace quillbox::posix {

namespace {

// Whether `name` in `dir` is still the inode `seen` was taken of, unchanged.
bool StillTheSame(int dir, const char* name, const struct stat& seen)
{
    struct stat now; // filled by the call
    return ::fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && Unchanged(seen, now);
}

// Removes the copy that has the target's name, since the source stays.
// Where that fails (the connection to a share is gone, say), the copy
// stays placed, as `placed`: the journal keeps it for an undo.
FileOutcome TakeBack(int bucketDir, const char* name, FsStatus why, const FileIdentity& placed = {})
{
    if (::unlinkat(bucketDir, name, 0) == 0 || errno == ENOENT)
        return {FileStage::Transfer, std::move(why)};
    FileOutcome stays {FileStage::Transfer, std::move(why)};
    stays.status.reason += "; its copy could not be removed and stays in its bucket folder beside the original";
    stays.placed = placed;
    stays.leftPlaced = true;
    return stays;
}

// Whether a failed call may have been carried out all the same: the
// connection to a share was lost before its answer came.
bool OutcomeUnknown(int error)
{
    switch (error) {
    case ECONNABORTED:
    case ECONNRESET:
    case ENOTCONN:
    case ETIMEDOUT:
    case EIO:
    case EREMOTEIO:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
        return true;
    default:
        return false;
    }
}

// Which file a copy that just got its name is: looked at through its
// handle (`copy`); where there is none or the look fails (a share whose
// connection is gone), on a share what it was made to be, the source's
// length and time, which is what a share's identity holds, and elsewhere
// unknown.
FileIdentity CopyIdentity(const CopyState& state, int copy, const struct stat& source)
{
    FileIdentity placed;
    if (copy >= 0 && IdentityOfOpen(copy, placed))
        return placed;
    if (state.toShare)
        return ShareFileIdentity(IdentityOf(source), 0);
    return {};
}

// Removes the source once its copy is in place and on the disk, or takes
// the copy back when the source cannot go (its folder is read-only, say).
FileOutcome RemoveSource(int sourceDir, const char* fromName, int bucketDir, const char* name,
                         const FileIdentity& placed)
{
    if (::unlinkat(sourceDir, fromName, 0) != 0)
        return TakeBack(bucketDir, name, Failure(errno), placed);
    return {};
}

FileOutcome MoveFileAcross(CopyState& state, BucketTraits& traits, int sourceDir, const char* fromName, int bucketDir,
                           const char* name, const struct stat& seen)
{
    SourceFile source;
    if (FsStatus opened = OpenSourceFile(sourceDir, fromName, O_NOFOLLOW, source); !opened.ok()) {
        if (opened.error == ELOOP) // a link took its name since it was looked at
            return {FileStage::Transfer, ChangedWhileCopied(true)};
        return {opened.error == ENOENT ? FileStage::Examine : FileStage::Transfer, std::move(opened)};
    }
    if (!Unchanged(seen, source.st))
        return {FileStage::Transfer, ChangedWhileCopied(true)};

    FileIdentity placed;
    FsStatus attributesNotKept;
    for (;;) {
        NewFile copy(state, bucketDir);
        QB_TRY_AT(FileStage::Transfer, FillNewFile(state, traits, copy, source, true, &attributesNotKept));
        // The source is about to go: the copy must be on the disk first, not
        // only in the cache, or a power cut could take both.
        if (state.calls.syncFile(copy.fd()) != 0)
            return {FileStage::Transfer, Failure(errno)};
        QB_TRY_AT(FileStage::Transfer, CheckUnchanged(source, true));
        const int error = copy.placeNoReplace(name);
        if (error != 0) {
            if (copy.anonymous() && LinksRefused(error)) {
                traits.noAnonymousFiles = true;
                continue;
            }
            if (!OutcomeUnknown(error))
                return {FileStage::Transfer, Failure(error)};
            // The share may have named the copy before the answer was lost:
            // the journal keeps it, and an undo removes it if it is there,
            // whole, with the original beside it.
            FileOutcome maybe {FileStage::Transfer, Failure(error)};
            maybe.status.reason += "; its copy may have its name in the bucket folder all the same";
            maybe.placed = CopyIdentity(state, -1, source.st);
            maybe.leftPlaced = true;
            return maybe;
        }
        // Its new name must be on the disk too before the source goes.
        FsStatus synced = SyncFolder(state.calls, bucketDir, copy.fd());
        placed = CopyIdentity(state, copy.fd(), source.st);
        if (!synced.ok())
            return TakeBack(bucketDir, name, std::move(synced), placed);
        break;
    }
    // The source goes only if it is still the file that was copied, under
    // the name it was copied from.
    if (FsStatus same = CheckUnchanged(source, true); !same.ok())
        return TakeBack(bucketDir, name, std::move(same), placed);
    struct stat named; // filled by the call
    if (::fstatat(sourceDir, fromName, &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != seen.st_dev ||
        named.st_ino != seen.st_ino)
        return TakeBack(bucketDir, name, ChangedWhileCopied(true), placed);
    FileOutcome done = RemoveSource(sourceDir, fromName, bucketDir, name, placed);
    if (done.ok()) {
        done.placed = placed;
        done.attributesNotKept = std::move(attributesNotKept);
    }
    return done;
}

// Makes the link `name` in `dir` leading to `text`, with the owner and
// times of `seen` where the process may set them; never replacing, as
// symlinkat never replaces. Where the run notes each file before it is
// placed, the link is made under a private name first, looked at and noted,
// and only then given its name: a run killed in between leaves at most the
// link under its private name. 0, or the errno.
int MakeLink(CopyState& state, BucketTraits& traits, const char* text, int dir, const char* name,
             const struct stat& seen)
{
    const auto keep = [&](const char* made) {
        ::fchownat(dir, made, seen.st_uid, seen.st_gid, AT_SYMLINK_NOFOLLOW);
        const struct timespec times[2] = {seen.st_atim, seen.st_mtim};
        ::utimensat(dir, made, times, AT_SYMLINK_NOFOLLOW);
    };
    if (state.notice == nullptr) {
        if (::symlinkat(text, dir, name) != 0)
            return errno;
        keep(name);
        return 0;
    }
    std::string hidden;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        hidden = state.privateName();
        error = ::symlinkat(text, dir, hidden.c_str()) == 0 ? 0 : errno;
    }
    if (error != 0)
        return error;
    keep(hidden.c_str());
    // A link that cannot be looked at, even once more, is not placed: it
    // could not be noted.
    FileIdentity before;
    if (!IdentityAt(dir, hidden.c_str(), before) && !IdentityAt(dir, hidden.c_str(), before)) {
        error = errno;
        ::unlinkat(dir, hidden.c_str(), 0);
        return error;
    }
    state.aboutToPlace(name, false, before);
    error = MoveNameNoReplace(state.calls, dir, hidden.c_str(), dir, name, &traits);
    if (error != 0)
        ::unlinkat(dir, hidden.c_str(), 0);
    return error;
}

// A link is made anew on the other side with the same target text.
FileOutcome MoveLinkAcross(CopyState& state, BucketTraits& traits, int sourceDir, const char* fromName, int bucketDir,
                           const char* name, const struct stat& seen)
{
    char text[PATH_MAX + 1];
    const ssize_t length = ::readlinkat(sourceDir, fromName, text, sizeof text);
    if (length < 0)
        return {FileStage::Examine, Failure(errno)};
    if (static_cast<std::size_t>(length) >= sizeof text)
        return {FileStage::Transfer, ChangedWhileCopied(true)};
    text[length] = '\0';
    if (const int error = MakeLink(state, traits, text, bucketDir, name, seen); error != 0)
        return {FileStage::Transfer, Failure(error)};

    if (FsStatus synced = SyncFolder(state.calls, bucketDir, -1); !synced.ok())
        return TakeBack(bucketDir, name, std::move(synced));
    if (!StillTheSame(sourceDir, fromName, seen))
        return TakeBack(bucketDir, name, ChangedWhileCopied(true));
    FileIdentity placed;
    const bool known = IdentityAt(bucketDir, name, placed);
    FileOutcome done = RemoveSource(sourceDir, fromName, bucketDir, name, placed);
    if (done.ok() && known)
        done.placed = placed;
    return done;
}

FileOutcome MoveAcross(CopyState& state, BucketTraits& traits, int fromDir, const char* fromName, int toDir,
                       const char* toName, const struct stat& seen)
{
    if (S_ISLNK(seen.st_mode))
        return MoveLinkAcross(state, traits, fromDir, fromName, toDir, toName, seen);
    return MoveFileAcross(state, traits, fromDir, fromName, toDir, toName, seen);
}

// What a name has just been given: its identity and type, looked at once
// more where the first look fails (a passing fault of a share).
bool LookAtMoved(int dir, const char* name, FileIdentity& identity, mode_t& type)
{
    return IdentityAndTypeAt(dir, name, identity, type) || IdentityAndTypeAt(dir, name, identity, type);
}

// Something other than a file or a link took the listed file's name before
// the move, and the move took it from `fromName` in `fromDir` to `toName`
// in `toDir`: it goes back, first under a private name of the process's,
// which nothing else has, then under its own name, never replacing what
// took that name meanwhile. Where its name is taken it stays under the
// private name beside the source's files; it stays where the move took it
// only when even the private name could not be given. The file counts as
// failed, with what became of the thing that took its name.
FileOutcome PutBack(CopyState& state, int fromDir, const char* fromName, int toDir, const char* toName)
{
    FsStatus why = NotRegularFile();
    std::string hidden;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        hidden = state.privateName();
        error = MoveNameNoReplace(state.calls, toDir, toName, fromDir, hidden.c_str());
    }
    if (error != 0) {
        why.reason += "; it could not be put back and stays in its bucket folder";
        return {FileStage::Transfer, std::move(why)};
    }
    if (MoveNameNoReplace(state.calls, fromDir, hidden.c_str(), fromDir, fromName) != 0)
        why.reason += "; it was put back as " + hidden + " in the source folder, as its name is taken";
    return {FileStage::Transfer, std::move(why)};
}

// The file `name` has just moved from `sourceDir` to `bucketDir` under the
// same name: the outcome, and its length. Something other than a file or a
// link that took the listed file's name before the move goes back.
FileOutcome Moved(CopyState& state, int sourceDir, const char* name, int bucketDir, const LengthFn& length)
{
    FileOutcome done;
    mode_t type = 0;
    if (!LookAtMoved(bucketDir, name, done.placed, type)) {
        // It moved; only its identity is unknown: the run names it as a
        // file an undo cannot take back.
        done.placed = {};
        if (length)
            length(0);
        return done;
    }
    std::uint64_t bytes = done.placed.size;
    if (S_ISLNK(type)) {
        // The listing gives links to files: the length is the file's, as
        // the link led to it from its old place.
        char target[PATH_MAX];
        const ssize_t got = ::readlinkat(bucketDir, name, target, sizeof target - 1);
        struct stat file; // filled by the call
        bytes = 0;
        if (got > 0) {
            target[got] = '\0';
            if (::fstatat(target[0] == '/' ? AT_FDCWD : sourceDir, target, &file, 0) == 0 && S_ISREG(file.st_mode))
                bytes = static_cast<std::uint64_t>(file.st_size);
        }
    } else if (!S_ISREG(type)) {
        if (length)
            length(done.placed.size);
        return PutBack(state, sourceDir, name, bucketDir, name);
    }
    if (length)
        length(bytes);
    return done;
}

} // namespace

FileOutcome MoveFile(CopyState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                     const LengthFn& length)
{
    // Within one file system the name moves first and what it named is
    // looked at under its new name: two calls a file, and the look is the
    // one that counts, since it sees the very file that moved. Whatever went
    // wrong takes the careful way below, which names the reason.
    const FsResult<int> dir = folders.bucket(bucket);
    if (dir.ok() && folders.sourceDevice() != 0 && folders.sourceDevice() == folders.device(bucket)) {
        BucketTraits& traits = folders.traits(bucket);
        // A run that notes each file before it is placed looks at it first;
        // one that cannot be looked at takes the careful way.
        FileIdentity before;
        const bool noted = state.notice == nullptr || IdentityAt(sourceDir, name, before);
        if (noted && state.notice != nullptr)
            state.aboutToPlace(name, false, before);
        if (noted && MoveNameNoReplace(state.calls, sourceDir, name, dir.value(), name, &traits) == 0)
            return Moved(state, sourceDir, name, dir.value(), length);
    }

    // Asked of the file system itself, as the copy's own look is: a length
    // kept from an earlier look would tell a change that is none.
    struct stat seen; // filled by the call
    if (LookFresh(sourceDir, name, AT_SYMLINK_NOFOLLOW, seen) != 0)
        return {FileStage::Examine, Failure(errno)};
    std::uint64_t bytes = 0;
    if (S_ISREG(seen.st_mode)) {
        bytes = static_cast<std::uint64_t>(seen.st_size);
    } else if (S_ISLNK(seen.st_mode)) {
        // The listing gives links to files: the length is the file's.
        struct stat target; // filled by the call
        if (::fstatat(sourceDir, name, &target, 0) == 0 && S_ISREG(target.st_mode))
            bytes = static_cast<std::uint64_t>(target.st_size);
    } else {
        // Something else took the listed file's name: it stays where it is.
        if (length)
            length(static_cast<std::uint64_t>(seen.st_size));
        return {FileStage::Transfer, NotRegularFile()};
    }
    if (length)
        length(bytes);

    if (!dir.ok())
        return {FileStage::Transfer, dir.status()};
    BucketTraits& traits = folders.traits(bucket);
    // A file on another file system than its bucket cannot be renamed
    // there: no call is spent finding that out.
    if (seen.st_dev != folders.device(bucket))
        return MoveAcross(state, traits, sourceDir, name, dir.value(), name, seen);
    return MoveName(state, traits, sourceDir, name, dir.value(), name, seen);
}

FileOutcome MoveName(CopyState& state, BucketTraits& traits, int fromDir, const char* fromName, int toDir,
                     const char* toName, const struct stat& seen, bool identify)
{
    state.aboutToPlace(toName, false, IdentityOf(seen));
    const int error = MoveNameNoReplace(state.calls, fromDir, fromName, toDir, toName, &traits);
    if (error == 0) {
        // The same inode under its new name, which moved its change time
        // on; unknown where it cannot be looked at. Something else that
        // took the name since it was looked at goes back.
        FileOutcome done;
        mode_t type = 0;
        if (!identify)
            return done;
        if (!LookAtMoved(toDir, toName, done.placed, type))
            done.placed = {};
        else if (!S_ISREG(type) && !S_ISLNK(type))
            return PutBack(state, fromDir, fromName, toDir, toName);
        return done;
    }
    if (error != EXDEV)
        return {FileStage::Transfer, Failure(error)};
    return MoveAcross(state, traits, fromDir, fromName, toDir, toName, seen);
}

} // namespace quillbox::posix
