#include "platform/file_take_back.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/error_text.h"
#include "platform/file_copy.h"
#include "platform/file_move.h"
#include "platform/name_moves.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

namespace {

// A folder of the run, opened without following a link, or why it cannot
// serve: it is not the folder the run used.
FsStatus OpenRunFolder(const ResolvedFolder& folder, UniqueFd& fd)
{
    if (!folder.identity.known())
        return Failure(ESTALE, "it was not there when the run began");
    std::string path = folder.path;
    if (path.size() > 1)
        path.pop_back();
    fd.reset(::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ELOOP || errno == ENOTDIR)
            return Failure(ESTALE, "it is now a link, or no folder");
        if (errno == ENOENT)
            return Failure(ENOENT, "it is no longer there");
        return Failure(errno);
    }
    FolderIdentity now;
    if (!FolderIdentityAt(fd.get(), "", AT_EMPTY_PATH, now))
        return Failure(errno);
    if (!now.matches(folder.identity)) {
        fd.reset();
        return Failure(ESTALE, "it is no longer the folder the run used");
    }
    return FsStatus::success();
}

TakeBackOutcome Skipped(FsStatus why, bool lasting = false)
{
    return {TakeBackResult::Skipped, std::move(why), lasting, 0, {}, {}};
}

TakeBackOutcome Done(TakeBackResult result)
{
    return {result, {}, false, 0, {}, {}};
}

std::int64_t Nanoseconds(const struct statx_timestamp& time)
{
    return time.tv_sec * 1'000'000'000 + time.tv_nsec;
}

// The file `name` of `dir` as IdentityAt tells it, not following a link,
// and how many names it has.
bool LookAt(int dir, const char* name, FileIdentity& identity, std::uint64_t& links)
{
    struct statx st {};
    if (::statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return false;
    identity = {static_cast<std::uint64_t>(::makedev(st.stx_dev_major, st.stx_dev_minor)),
                st.stx_ino,
                st.stx_size,
                Nanoseconds(st.stx_mtime),
                Nanoseconds(st.stx_ctime),
                (st.stx_mask & STATX_BTIME) != 0 ? Nanoseconds(st.stx_btime) : 0};
    links = st.stx_nlink;
    return true;
}

// Whether two regular files hold the same bytes, read through `a` and `b`.
bool SameBytes(int a, int b)
{
    constexpr std::size_t kChunk = 64 * 1024;
    std::unique_ptr<char[]> bufferA(new char[kChunk]), bufferB(new char[kChunk]);
    for (;;) {
        const ssize_t gotA = ::read(a, bufferA.get(), kChunk);
        if (gotA < 0)
            return false;
        std::size_t gotB = 0;
        while (gotB < static_cast<std::size_t>(gotA)) {
            const ssize_t more = ::read(b, bufferB.get() + gotB, static_cast<std::size_t>(gotA) - gotB);
            if (more <= 0)
                return false;
            gotB += static_cast<std::size_t>(more);
        }
        if (std::memcmp(bufferA.get(), bufferB.get(), gotB) != 0)
            return false;
        if (gotA == 0) {
            char extra;
            return ::read(b, &extra, 1) == 0;
        }
    }
}

// Whether `nameB` is a copy a take-back made of `nameA` on another file
// system: of the same kind, length and modification time, with the same
// bytes (a file) or the same target (a link). Two names of one file are no
// copy of each other.
bool SameCopy(int dirA, const char* nameA, int dirB, const char* nameB)
{
    struct stat sa {
    }, sb {};
    if (::fstatat(dirA, nameA, &sa, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstatat(dirB, nameB, &sb, AT_SYMLINK_NOFOLLOW) != 0 || sa.st_dev == sb.st_dev ||
        (sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT) || sa.st_size != sb.st_size ||
        sa.st_mtim.tv_sec != sb.st_mtim.tv_sec || sa.st_mtim.tv_nsec != sb.st_mtim.tv_nsec)
        return false;
    if (S_ISLNK(sa.st_mode)) {
        char targetA[PATH_MAX + 1], targetB[PATH_MAX + 1];
        const ssize_t lengthA = ::readlinkat(dirA, nameA, targetA, sizeof targetA);
        const ssize_t lengthB = ::readlinkat(dirB, nameB, targetB, sizeof targetB);
        return lengthA >= 0 && lengthA == lengthB && static_cast<std::size_t>(lengthA) < sizeof targetA &&
            std::memcmp(targetA, targetB, static_cast<std::size_t>(lengthA)) == 0;
    }
    if (!S_ISREG(sa.st_mode))
        return false;
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd a(::openat(dirA, nameA, flags));
    UniqueFd b(::openat(dirB, nameB, flags));
    struct stat oa {
    }, ob {};
    // The files opened are the ones looked at.
    return a.valid() && b.valid() && ::fstat(a.get(), &oa) == 0 && ::fstat(b.get(), &ob) == 0 &&
        oa.st_ino == sa.st_ino && oa.st_dev == sa.st_dev && ob.st_ino == sb.st_ino && ob.st_dev == sb.st_dev &&
        SameBytes(a.get(), b.get());
}

class PosixTakeBack final : public RunTakeBack {
public:
    PosixTakeBack(SystemCalls& calls, const ResolvedFolder& source, const ResolvedFolder& destination)
        : m_calls(calls), m_state(calls), m_sourcePath(source.path), m_destinationPath(destination.path)
    {
        m_sourceStatus = OpenRunFolder(source, m_source);
        m_destinationStatus = OpenRunFolder(destination, m_destination);
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
        if (!opened.ok())
            return Skipped(opened.status(), opened.status().error == ESTALE || opened.status().error == ENOENT);
        const int dir = opened.value();
        char hidden[48] = ".quillbox-undo-";
        *std::to_chars(hidden + 15, hidden + sizeof hidden - 1, placed.inode, 16).ptr = '\0';

        FileIdentity now;
        std::uint64_t links = 0;
        TakeBackOutcome outcome = takeBack(move, dir, hidden, name, placed, now, links);
        if (links > 1) {
            // Another name of the file may be taken back later: it is told
            // what became of the file.
            outcome.links = links;
            outcome.seen = now;
            if (outcome.result == TakeBackResult::PutBack)
                IdentityAt(m_source.get(), name.c_str(), outcome.left);
            else if (outcome.result == TakeBackResult::Skipped && m_renamed)
                IdentityAt(dir, name.c_str(), outcome.left);
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
        FolderIdentity now;
        if (!FolderIdentityAt(m_destination.get(), name, AT_SYMLINK_NOFOLLOW, now)) {
            if (errno == ENOENT)
                return FsStatus::success();
            if (errno != ENOTDIR)
                return Failure(errno);
        }
        if (!now.matches(made))
            return Failure(ESTALE, "it is not the folder the run made");
        if (::unlinkat(m_destination.get(), name, AT_REMOVEDIR) != 0)
            return Failure(errno);
        return FsStatus::success();
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
        const UniqueFd parent(::open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!parent.valid())
            return Failure(errno);
        FolderIdentity now;
        if (!FolderIdentityAt(parent.get(), name.c_str(), AT_SYMLINK_NOFOLLOW, now)) {
            if (errno == ENOENT)
                return FsStatus::success();
            if (errno != ENOTDIR)
                return Failure(errno);
        }
        if (!now.matches(made))
            return Failure(ESTALE, "it is not the folder the run made");
        for (UniqueFd& bucket : m_buckets)
            bucket.reset();
        if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) != 0)
            return Failure(errno);
        return FsStatus::success();
    }

private:
    // The take-back of one file: `now` is what the look found under the
    // file's name or its private name, `links` how many names it had.
    TakeBackOutcome takeBack(bool move, int dir, const char* hidden, const std::string& name,
                             const FileIdentity& placed, FileIdentity& now, std::uint64_t& links)
    {
        m_renamed = false;
        if (!LookAt(dir, name.c_str(), now, links)) {
            if (errno != ENOENT)
                return Skipped(Failure(errno));
            // A take-back stopped half-way may have left it under its
            // private name.
            if (!LookAt(dir, hidden, now, links) || !now.sameContentOf(placed))
                return gone(move, name, placed);
        } else if (!now.matches(placed)) {
            return Skipped(Failure(ESTALE, "It has changed since the run"), true);
        } else if (const int error = MoveNameNoReplace(m_calls, dir, name.c_str(), dir, hidden); error != 0) {
            return Skipped(error == EEXIST ? Failure(EEXIST, std::string("A file named ") + hidden + " is in the way")
                                           : Failure(error));
        } else if (FileIdentity renamed; !IdentityAt(dir, hidden, renamed) || !renamed.sameContentOf(placed)) {
            // Another file took the name between the look and the rename:
            // it is not touched, and gets its name back.
            if (MoveNameNoReplace(m_calls, dir, hidden, dir, name.c_str()) != 0)
                return Skipped(Failure(ESTALE,
                                       std::string("It was replaced while being taken back; the file that "
                                                   "took its place is now named ") +
                                           hidden),
                               true);
            return Skipped(Failure(ESTALE, "It was replaced while being taken back"), true);
        }
        m_renamed = true;

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
        if (SameCopy(dir, hidden, m_source.get(), name.c_str()) && ::unlinkat(dir, hidden, 0) == 0)
            return Done(TakeBackResult::PutBack);
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
            fd.reset(::openat(m_destination.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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
            back.mtimeNs == placed.mtimeNs)
            return Done(TakeBackResult::AlreadyBack);
        return Skipped(Failure(ENOENT, "It is no longer where the run put it"), true);
    }

    // The file stays where the run put it, under its own name again.
    TakeBackOutcome putBackName(int dir, const char* hidden, const std::string& name, FsStatus why)
    {
        if (MoveNameNoReplace(m_calls, dir, hidden, dir, name.c_str()) != 0)
            why.reason += std::string("; it is now named ") + hidden;
        return Skipped(std::move(why));
    }

    SystemCalls& m_calls;
    CopyState m_state;
    BucketTraits m_sourceTraits;
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
