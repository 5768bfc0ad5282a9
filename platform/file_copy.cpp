// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file_copy.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "core/ports/fs_try.h"
#include "platform/error_text.h"
#include "platform/file_data.h"
#include "platform/file_identity.h"
#include "platform/name_moves.h"

namespace quillbox::posix {

namespace {

bool AnonymousFilesRefused(int error)
{
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}
} // namespace

FsStatus OpenSourceFile(int dir, const char* name, int extraFlags, SourceFile& source)
{
    source.fd.reset(::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extraFlags));
    if (!source.fd.valid())
        return Failure(errno);
    if (LookFresh(source.fd.get(), "", AT_EMPTY_PATH, source.st) != 0)
        return Failure(errno);
    if (!S_ISREG(source.st.st_mode))
        return NotRegularFile();
    return FsStatus::success();
}

FsStatus CheckUnchanged(const SourceFile& source, bool originalKept)
{
    // Only what Unchanged compares is asked for (reading the file moved its
    // access time on), and asked of the file system itself, as the first
    // look was.
    struct statx now {};
    if (::statx(source.fd.get(), "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_INO | STATX_SIZE | STATX_CTIME, &now) !=
        0)
        return Failure(errno);
    const struct stat& before = source.st;
    if (static_cast<dev_t>(::makedev(now.stx_dev_major, now.stx_dev_minor)) != before.st_dev ||
        now.stx_ino != static_cast<std::uint64_t>(before.st_ino) ||
        now.stx_size != static_cast<std::uint64_t>(before.st_size) || now.stx_ctime.tv_sec != before.st_ctim.tv_sec ||
        now.stx_ctime.tv_nsec != static_cast<std::uint32_t>(before.st_ctim.tv_nsec))
        return ChangedWhileCopied(originalKept);
    return FsStatus::success();
}

NewFile::~NewFile()
{
    m_fd.reset();
    if (m_named)
        ::unlinkat(m_dir, m_tempName, 0);
}

void NewFile::nextTempName()
{
    const std::string& prefix = m_state.tempPrefix;
    const std::size_t length = std::min(prefix.size(), sizeof m_tempName - 24);
    prefix.copy(m_tempName, length);
    const unsigned long serial = NextTempSerial();
    *std::to_chars(m_tempName + length, m_tempName + sizeof m_tempName - 1, serial).ptr = '\0';
}

FsStatus NewFile::create(BucketTraits& traits, mode_t mode)
{
    mode &= 0777;
    m_traits = &traits;
    if (!traits.noAnonymousFiles) {
        m_fd.reset(m_state.calls.openAnonymous(m_dir, O_WRONLY | O_CLOEXEC, mode));
        if (m_fd.valid()) {
            m_anonymous = true;
            return FsStatus::success();
        }
        if (!AnonymousFilesRefused(errno))
            return Failure(errno);
        traits.noAnonymousFiles = true;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        nextTempName();
        m_fd.reset(::openat(m_dir, m_tempName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (m_fd.valid()) {
            m_named = true;
            return FsStatus::success();
        }
        if (errno != EEXIST)
            return Failure(errno);
    }
    return Failure(EEXIST);
}

int NewFile::linkAnonymous(const char* name)
{
    if (!m_state.linkThroughProc) {
        if (m_state.calls.link(m_fd.get(), "", m_dir, name, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT)
            return errno;
    }
    char path[32] = "/proc/self/fd/";
    *std::to_chars(path + 14, path + sizeof path - 1, m_fd.get()).ptr = '\0';
    if (m_state.calls.link(AT_FDCWD, path, m_dir, name, AT_SYMLINK_FOLLOW) == 0) {
        m_state.linkThroughProc = true;
        return 0;
    }
    return errno;
}

int NewFile::nameAnonymous()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        nextTempName();
        const int error = linkAnonymous(m_tempName);
        if (error == 0) {
            m_named = true;
            return 0;
        }
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

void NewFile::aboutToPlace(const char* name, bool replacing) const
{
    FileIdentity before;
    if (m_state.notice != nullptr && IdentityOfOpen(m_fd.get(), before))
        m_state.aboutToPlace(name, replacing, before);
}

int NewFile::replaceWithTemporary(const char* name)
{
    if (m_state.calls.syncFile(m_fd.get()) != 0)
        return errno;
    aboutToPlace(name, true);
    if (m_state.calls.renameReplace(m_dir, m_tempName, m_dir, name) != 0)
        return errno;
    m_named = false;
    m_replaced = true;
    return 0;
}

int NewFile::placeNoReplace(const char* name)
{
    aboutToPlace(name, false);
    if (m_anonymous)
        return linkAnonymous(name);
    const int error = MoveNameNoReplace(m_state.calls, m_dir, m_tempName, m_dir, name, m_traits);
    if (error == 0)
        m_named = false;
    return error;
}

int NewFile::placeReplacing(const char* name)
{
    aboutToPlace(name, false);
    if (m_anonymous) {
        // A new name needs no more than the link, which never replaces.
        const int error = linkAnonymous(name);
        if (error != EEXIST)
            return error;
        // To replace a file as a whole the copy needs a name of its own to
        // be renamed from.
        if (const int named = nameAnonymous(); named != 0)
            return named;
        return replaceWithTemporary(name);
    }
    if (m_traits == nullptr || !m_traits->noReplaceRefused) {
        if (m_state.calls.renameNoReplace(m_dir, m_tempName, m_dir, name) == 0) {
            m_named = false;
            return 0;
        }
        const int error = errno;
        if (error == EEXIST)
            return replaceWithTemporary(name);
        if (!NoReplaceRefused(error))
            return error;
        if (m_traits != nullptr)
            m_traits->noReplaceRefused = true;
    }
    // Whether a file has the name decides only whether the copy must be on
    // the disk before it replaces one.
    struct stat st; // filled by the call
    if (::fstatat(m_dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return replaceWithTemporary(name);
    if (m_state.calls.renameReplace(m_dir, m_tempName, m_dir, name) != 0)
        return errno;
    m_named = false;
    return 0;
}

FsStatus FillNewFile(CopyState& state, BucketTraits& traits, NewFile& out, const SourceFile& source, bool forMove,
                     FsStatus* attributesNotKept)
{
    QB_TRY(out.create(traits, source.st.st_mode));
    state.copiedOfFile = 0;
    state.writeBehind = forMove;
    state.behindFrom = state.behindTo = 0;
    QB_TRY(CopyData(state, traits, source.fd.get(), out.fd(), source.st));
    FsStatus notKept;
    FsStatus set = SetAttributes(state, source.fd.get(), out.fd(), source.st, forMove, notKept);
    if (attributesNotKept != nullptr)
        *attributesNotKept = std::move(notKept);
    return set;
}

FileOutcome CopyFile(CopyState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                     const LengthFn& length)
{
    // Links are followed: a link to a file is copied as that file.
    SourceFile source;
    if (FsStatus opened = OpenSourceFile(sourceDir, name, 0, source); !opened.ok()) {
        // A name that no longer leads anywhere could not be looked at; a
        // file that is there but cannot be read (or is no file any more)
        // could not be copied, and counts with its length.
        struct stat st; // filled by the call
        if (::fstatat(sourceDir, name, &st, 0) != 0) {
            const int error = errno;
            // A link listed as a file whose file is gone since (a move in
            // this run took it away, say) is a file that could not be copied.
            if (error == ENOENT && ::fstatat(sourceDir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
                if (length)
                    length(0);
                return {FileStage::Transfer, Failure(ENOENT, "The file the link leads to is gone")};
            }
            return {FileStage::Examine, Failure(error)};
        }
        if (length)
            length(static_cast<std::uint64_t>(st.st_size));
        return {FileStage::Transfer, std::move(opened)};
    }
    if (length)
        length(static_cast<std::uint64_t>(source.st.st_size));

    QB_TRY_ASSIGN_AT(FileStage::Transfer, const int dir, folders.bucket(bucket));
    BucketTraits& traits = folders.traits(bucket);
    for (;;) {
        NewFile copy(state, dir);
        FsStatus attributesNotKept;
        QB_TRY_AT(FileStage::Transfer, FillNewFile(state, traits, copy, source, false, &attributesNotKept));
        QB_TRY_AT(FileStage::Transfer, CheckUnchanged(source, false));
        const int error = copy.placeReplacing(name);
        if (error == 0) {
            FileOutcome done;
            // What a share's identity keeps is what the copy was made to
            // have: no round trip is spent looking.
            if (state.toShare)
                done.placed = ShareFileIdentity(IdentityOf(source.st), 0);
            else
                IdentityOfOpen(copy.fd(), done.placed);
            done.replaced = copy.replaced();
            done.attributesNotKept = std::move(attributesNotKept);
            return done;
        }
        if (copy.anonymous() && LinksRefused(error)) {
            // Anonymous files can be made here but not linked: once more,
            // with a named temporary file.
            traits.noAnonymousFiles = true;
            continue;
        }
        return {FileStage::Transfer, Failure(error)};
    }
}

} // namespace quillbox::posix
