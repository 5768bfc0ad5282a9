#include "platform/file_take_back.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error_text.h"
#include "platform/file_move.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

namespace {

struct Place {
    UniqueFd dir;
    std::string name;
};

// The folder of `path`, opened, and the bare name in it.
FsStatus Open(const std::string& path, Place& place)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size())
        return Failure(EINVAL, "Not a file name");
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    place.name = path.substr(slash + 1);
    place.dir.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!place.dir.valid())
        return Failure(errno);
    return FsStatus::success();
}

TakeBackOutcome Skipped(FsStatus why)
{
    return {TakeBackResult::Skipped, std::move(why)};
}

} // namespace

TakeBackOutcome TakeBackFile(CopyState& state, TransferMode mode, const std::string& source, const std::string& target,
                             const FileIdentity& placed)
{
    const bool move = mode == TransferMode::Move;
    Place there;
    if (FsStatus opened = Open(target, there); !opened.ok()) {
        if (opened.error != ENOENT)
            return Skipped(std::move(opened));
    }
    struct stat now {};
    if (!there.dir.valid() || ::fstatat(there.dir.get(), there.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = there.dir.valid() ? errno : ENOENT;
        if (error != ENOENT)
            return Skipped(Failure(error));
        // Gone: a copy needs nothing more; a moved file may be back already.
        if (!move)
            return {TakeBackResult::AlreadyBack, {}};
        struct stat back {};
        if (::lstat(source.c_str(), &back) == 0 && static_cast<std::uint64_t>(back.st_size) == placed.size &&
            IdentityOf(back).mtimeNs == placed.mtimeNs)
            return {TakeBackResult::AlreadyBack, {}};
        return Skipped(Failure(ENOENT, "It is no longer where the run put it"));
    }
    if (IdentityOf(now) != placed)
        return Skipped(Failure(ESTALE, "It has changed since the run"));

    if (!move) {
        if (::unlinkat(there.dir.get(), there.name.c_str(), 0) != 0)
            return Skipped(Failure(errno));
        return {TakeBackResult::Removed, {}};
    }
    Place home;
    if (FsStatus opened = Open(source, home); !opened.ok())
        return Skipped(std::move(opened));
    BucketTraits traits;
    const FileOutcome moved = MoveName(state, traits, there.dir.get(), there.name.c_str(), home.dir.get(), now);
    if (moved.ok())
        return {TakeBackResult::PutBack, {}};
    if (moved.status.error == EEXIST)
        return Skipped(Failure(EEXIST, "Its old place is taken again"));
    return Skipped(moved.status);
}

} // namespace quillbox::posix
