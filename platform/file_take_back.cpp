// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file_take_back.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/copy_state.h"
#include "platform/error_text.h"
#include "platform/file_identity.h"
#include "platform/file_move.h"
#include "platform/name_moves.h"
#include "platform/share_identity.h"
#include "platform/take_back_looks.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

namespace {

TakeBackOutcome Skipped(FsStatus why, bool lasting = false)
{
    return {TakeBackResult::Skipped, std::move(why), lasting, 0, {}, {}};
}

// Whether the file seen now is the one the run left, as far as its identity
// tells: on a share (see ShareFileIdentity) by its length and time, at the
// share's resolution; elsewhere by the same inode, length and times, and
// with `changeTime` the change time too.
bool SameFile(const FileIdentity& now, const FileIdentity& placed, bool changeTime)
{
    if (placed.device != kShareDevice)
        return changeTime ? now.matches(placed) : now.sameContentOf(placed);
    return now.size == placed.size && SameTime(now.mtimeNs, placed.mtimeNs);
}

TakeBackOutcome Done(TakeBackResult result)
{
    return {result, {}, false, 0, {}, {}};
}

class PosixTakeBack final : public RunTakeBack {
public:
    PosixTakeBack(SystemCalls& calls, const ResolvedFolder& source, const ResolvedFolder& destination)
        : m_calls(calls), m_state(calls), m_sourcePath(source.path), m_destinationPath(destination.path)
    {
        m_sourceStatus = OpenRunFolder(source, m_source);
        m_destinationStatus = OpenRunFolder(destination, m_destination);
        // What the folders' file systems refuse is learnt once, as a run
        // learns it; a user-space mount's links are not used (see
        // LinksGiveAnotherFile).
        if (m_source.valid())
            m_sourceTraits.linksRefused = LinksGiveAnotherFile(m_source.get());
        if (m_destination.valid())
            m_bucketTraits.linksRefused = LinksGiveAnotherFile(m_destination.get());
    }

    const FsStatus& sourceStatus() const override { return m_sourceStatus; }
    const FsStatus& destinationStatus() const override { return m_destinationStatus; }

    TakeBackOutcome takeBack(TransferMode mode, char letter, const std::string& name,
                             const FileIdentity& placed) override
    {
        if (!m_destinationStatus.ok())
            return Skipped(m_destinationStatus, m_destinationStatus.error == ESTALE);
        const bool move = mode == TransferMode::Move;
        if (move && !m_sourceStatus.ok())
            return Skipped(m_sourceStatus, m_sourceStatus.error == ESTALE);
        const FsResult<int> opened = bucket(letter);
        if (!opened.ok()) {
            // The bucket folder is gone, and the file with it: an earlier
            // undo may have taken it back and removed the folder.
            if (opened.status().error == ENOENT)
                return gone(move, name, placed);
            return Skipped(opened.status(), opened.status().error == ESTALE);
        }
        const int dir = opened.value();
        // The private name holds the inode number; on a share, where that
        // says nothing, a checksum of the name.
        std::uint64_t tag = placed.inode;
        if (placed.device == kShareDevice) {
            ContentChecksum ofName;
            ofName.add(name.data(), name.size());
            tag = ofName.value();
        }
        char hidden[48] = ".quillbox-undo-";
        *std::to_chars(hidden + 15, hidden + sizeof hidden - 1, tag, 16).ptr = '\0';

        FileIdentity now;
        std::uint64_t links = 0;
        TakeBackOutcome outcome = takeBack(move, dir, hidden, name, placed, now, links);
        // Renamed and given its name back, its change time moved on: what
        // it is now is told, for a later take-back to know that change as
        // this one's.
        if (outcome.result == TakeBackResult::Skipped && m_renamed)
            IdentityAt(dir, name.c_str(), outcome.left);
        if (links > 1) {
            // Another name of the file may be taken back later: it is told
            // what became of the file.
            outcome.links = links;
            outcome.seen = now;
            if (outcome.result == TakeBackResult::PutBack)
                IdentityAt(m_source.get(), name.c_str(), outcome.left);
        }
        return outcome;
    }

    TakeBackOutcome takeBackIntended(TransferMode mode, char letter, const std::string& name,
                                     const FileIdentity& before) override
    {
        if (!m_destinationStatus.ok())
            return Skipped(m_destinationStatus, m_destinationStatus.error == ESTALE);
        const bool move = mode == TransferMode::Move;
        if (move && !m_sourceStatus.ok())
            return Skipped(m_sourceStatus, m_sourceStatus.error == ESTALE);
        // A move killed before its rename: the file is still in the source.
        FileIdentity home;
        if (move && IdentityAt(m_source.get(), name.c_str(), home) && home.device == before.device &&
            home.inode == before.inode)
            return Done(TakeBackResult::AlreadyBack);
        const FsResult<int> opened = bucket(letter);
        if (!opened.ok()) {
            if (opened.status().error == ENOENT)
                return Done(TakeBackResult::AlreadyBack); // nothing was placed in it
            return Skipped(opened.status(), opened.status().error == ESTALE);
        }
        FileIdentity now;
        std::uint64_t links = 0;
        if (!LookAt(opened.value(), name.c_str(), now, links)) {
            if (errno != ENOENT)
                return Skipped(Failure(errno));
            // Not placed, or an undo killed half-way left it under its
            // private name: as for a file the run recorded.
            return takeBack(mode, letter, name, before);
        }
        // Placing it moved its change time on, by an amount the intent
        // cannot know; anything else that changed is not the run's doing.
        if (!now.sameContentOf(before) || now.ctimeNs < before.ctimeNs) {
            // A move across file systems killed before its copy got the
            // name: the original is still in the source.
            if (move && IdentityAt(m_source.get(), name.c_str(), home) && home.size == before.size &&
                home.mtimeNs == before.mtimeNs)
                return Done(TakeBackResult::AlreadyBack);
            return Skipped(Failure(ESTALE, "It is not the file the run was placing there when it was killed"), true);
        }
        return takeBack(mode, letter, name, now);
    }

    FsStatus removeMadeBucket(char letter, const FolderIdentity& made) override
    {
        if (!m_destinationStatus.ok())
            return m_destinationStatus;
        const char name[2] = {letter, '\0'};
        m_buckets[static_cast<unsigned char>(letter)].reset();
        return RemoveMadeFolder(m_destination.get(), name, made);
    }

    FsStatus removeMadeDestination(const FolderIdentity& made) override
    {
        if (!m_destinationStatus.ok())
            return m_destinationStatus;
        // Looked at and removed by its name in its parent, never through a
        // link.
        std::string path = m_destinationPath;
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash + 1 == path.size())
            return Failure(EBUSY, "it is the root folder");
        const std::string name = path.substr(slash + 1);
        const std::string parentPath = slash == 0 ? std::string("/") : path.substr(0, slash);
        const UniqueFd parent(OpenRetrying(AT_FDCWD, parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!parent.valid())
            return Failure(errno);
        for (UniqueFd& bucket : m_buckets)
            bucket.reset();
        return RemoveMadeFolder(parent.get(), name.c_str(), made);
    }

private:
    // The take-back of one file: `now` is what the look found under the
    // file's name or its private name, `links` how many names it had.
    TakeBackOutcome takeBack(bool move, int dir, const char* hidden, const std::string& name,
                             const FileIdentity& placed, FileIdentity& now, std::uint64_t& links)
    {
        m_renamed = false;
        const bool onShare = placed.device == kShareDevice;
        if (!LookAt(dir, name.c_str(), now, links)) {
            if (errno != ENOENT)
                return Skipped(Failure(errno));
            // A take-back stopped half-way may have left it under its
            // private name.
            if (!LookAt(dir, hidden, now, links) || !SameFile(now, placed, false))
                return gone(move, name, placed);
        } else if (!SameFile(now, placed, true)) {
            return Skipped(Failure(ESTALE, "It has changed since the run"), true);
        } else if (const std::optional<TakeBackOutcome> home =
                       onShare && move ? homeInOne(dir, name, placed) : std::nullopt) {
            return *home;
        } else if (const int error = MoveNameNoReplace(m_calls, dir, name.c_str(), dir, hidden, &m_bucketTraits);
                   error != 0) {
            return Skipped(error == EEXIST ? Failure(EEXIST, std::string("A file named ") + hidden + " is in the way")
                                           : Failure(error));
        } else if (FileIdentity renamed; !IdentityAt(dir, hidden, renamed) && errno != ENOENT) {
            // It cannot be looked at under its private name now: it gets its
            // name back, for a later undo.
            const int error = errno;
            m_renamed = true;
            return putBackName(dir, hidden, name, Failure(error));
        } else if (!renamed.known() || !SameFile(renamed, placed, false)) {
            // Another file took the name between the look and the rename:
            // it is not touched, and gets its name back.
            if (MoveNameNoReplace(m_calls, dir, hidden, dir, name.c_str(), &m_bucketTraits) != 0)
                return Skipped(Failure(ESTALE,
                                       std::string("It was replaced while being taken back; the file that "
                                                   "took its place is now named ") +
                                           hidden),
                               true);
            return Skipped(Failure(ESTALE, "It was replaced while being taken back"), true);
        }
        m_renamed = true;

        if (!move && onShare && !ownCopy(dir, hidden, name, placed))
            return putBackName(dir, hidden, name,
                               Failure(ESTALE,
                                       "It cannot be told from a change made since the run: its bytes are "
                                       "not those the run wrote, or these were not known"),
                               true);
        if (!move) {
            if (::unlinkat(dir, hidden, 0) != 0)
                return putBackName(dir, hidden, name, Failure(errno));
            return Done(TakeBackResult::Removed);
        }
        FileOutcome moved;
        if (const int error = MoveNameNoReplace(m_calls, dir, hidden, m_source.get(), name.c_str(), &m_sourceTraits);
            error == 0) {
            return Done(TakeBackResult::PutBack);
        } else if (error != EXDEV) {
            moved.status = Failure(error);
        } else {
            // Back to another file system: a copy, then the file goes.
            struct stat seen {};
            if (::fstatat(dir, hidden, &seen, AT_SYMLINK_NOFOLLOW) != 0)
                return putBackName(dir, hidden, name, Failure(errno));
            moved = MoveName(m_state, m_sourceTraits, dir, hidden, m_source.get(), name.c_str(), seen, false);
            if (moved.ok())
                return Done(TakeBackResult::PutBack);
        }
        if (moved.status.error != EEXIST)
            return putBackName(dir, hidden, name, moved.status);
        // A take-back killed after its copy to another file system was
        // complete left that copy in the old place: it is finished now.
        if ((onShare ? SameBytesAt(dir, hidden, m_source.get(), name.c_str())
                     : SameCopy(dir, hidden, m_source.get(), name.c_str()) ||
                     FinishCutShortLinkCopy(dir, hidden, m_source.get(), name.c_str())) &&
            ::unlinkat(dir, hidden, 0) == 0)
            return Done(onShare ? TakeBackResult::CopyRemoved : TakeBackResult::PutBack);
        TakeBackOutcome taken =
            putBackName(dir, hidden, name, Failure(EEXIST, "Its old place " + m_sourcePath + name + " is taken again"));
        taken.lasting = true;
        return taken;
    }

    FsResult<int> bucket(char letter)
    {
        UniqueFd& fd = m_buckets[static_cast<unsigned char>(letter)];
        if (!fd.valid()) {
            const char name[2] = {letter, '\0'};
            fd.reset(OpenRetrying(m_destination.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!fd.valid())
                return Failure(errno == ELOOP || errno == ENOTDIR ? ESTALE : errno,
                               errno == ELOOP || errno == ENOTDIR ? "Its bucket folder is now a link, or no folder"
                                                                  : ErrorText(errno));
        }
        return fd.get();
    }

    // The file the run left is gone from its bucket: nothing is left to do
    // where an earlier take-back did it.
    TakeBackOutcome gone(bool move, const std::string& name, const FileIdentity& placed)
    {
        if (!move)
            return Done(TakeBackResult::AlreadyBack);
        FileIdentity back;
        if (IdentityAt(m_source.get(), name.c_str(), back) && back.size == placed.size &&
            (back.mtimeNs == placed.mtimeNs ||
             (placed.device == kShareDevice && SameTime(placed.mtimeNs, back.mtimeNs))))
            return Done(TakeBackResult::AlreadyBack);
        return Skipped(Failure(ENOENT, "It is no longer where the run put it"), true);
    }

    // On a share a moved file goes home in one rename, after the look that
    // its old name is free, and is looked at there: every call is a round
    // trip, and renames from one folder to another wait for each other
    // there. Another file that took its name between the look at it and the
    // rename goes back. Nothing when the file lies on another file system
    // than its old place: it goes the way across, under its private name.
    std::optional<TakeBackOutcome> homeInOne(int dir, const std::string& name, const FileIdentity& placed)
    {
        const int error = MoveNameNoReplace(m_calls, dir, name.c_str(), m_source.get(), name.c_str(), &m_sourceTraits);
        if (error == EXDEV)
            return std::nullopt;
        if (error == EEXIST) {
            // A move cut short after its copy had its name, with the
            // original still there: the copy goes.
            if (SameBytesAt(dir, name.c_str(), m_source.get(), name.c_str()) && ::unlinkat(dir, name.c_str(), 0) == 0)
                return Done(TakeBackResult::CopyRemoved);
            return Skipped(Failure(EEXIST, "Its old place " + m_sourcePath + name + " is taken again"), true);
        }
        if (error != 0)
            return Skipped(Failure(error));
        FileIdentity home;
        if (IdentityAt(m_source.get(), name.c_str(), home) && SameFile(home, placed, false))
            return Done(TakeBackResult::PutBack);
        if (MoveNameNoReplace(m_calls, m_source.get(), name.c_str(), dir, name.c_str(), &m_bucketTraits) != 0)
            return Skipped(Failure(ESTALE,
                                   "It was replaced while being taken back; the file that took its place "
                                   "is now " +
                                       m_sourcePath + name),
                           true);
        return Skipped(Failure(ESTALE, "It was replaced while being taken back"), true);
    }

    // Whether the copy now named `hidden` holds the bytes the run wrote: by
    // the checksum taken as it wrote them, or where none was, by the
    // bytes of the file it was copied from, still in the source.
    bool ownCopy(int dir, const char* hidden, const std::string& name, const FileIdentity& placed)
    {
        if (placed.inode != 0)
            return ChecksumOfFile(dir, hidden) == placed.inode;
        return m_source.valid() && SameBytesAt(dir, hidden, m_source.get(), name.c_str());
    }

    // The file stays where the run put it, under its own name again.
    TakeBackOutcome putBackName(int dir, const char* hidden, const std::string& name, FsStatus why,
                                bool lasting = false)
    {
        if (MoveNameNoReplace(m_calls, dir, hidden, dir, name.c_str(), &m_bucketTraits) != 0)
            why.reason += std::string("; it is now named ") + hidden;
        return Skipped(std::move(why), lasting);
    }

    SystemCalls& m_calls;
    CopyState m_state;
    BucketTraits m_sourceTraits;
    BucketTraits m_bucketTraits;
    std::string m_sourcePath;
    std::string m_destinationPath;
    UniqueFd m_source;
    UniqueFd m_destination;
    FsStatus m_sourceStatus;
    FsStatus m_destinationStatus;
    std::array<UniqueFd, 256> m_buckets;
    bool m_renamed = false; // the file in hand was given its private name
};

} // namespace

std::unique_ptr<RunTakeBack> OpenTakeBack(SystemCalls& calls, const ResolvedFolder& source,
                                          const ResolvedFolder& destination)
{
    return std::make_unique<PosixTakeBack>(calls, source, destination);
}

} // namespace quillbox::posix
