// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file_preview.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/ports/fs_try.h"
#include "platform/error_text.h"
#include "platform/file_copy.h"
#include "platform/preview_room.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

namespace {

// The order the run makes the bucket folders in, before its first file.
constexpr char kMadeInOrder[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ#";

// A link with a target this long or longer takes a block of its own; a
// shorter one is kept in its inode.
constexpr std::uint64_t kInlineLinkTmpfs = 128;
constexpr std::uint64_t kInlineLinkOther = 60;

constexpr unsigned kImmutable = 1;
constexpr unsigned kAppendOnly = 2;

// Whether the process may make and remove names in a folder: EACCES, or
// EPERM for an immutable folder, EROFS on a read-only mount.
int WritableFolder(int dir)
{
    return ::faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// The file-system user ID of this thread, and the two capabilities that
// change what it may do: CAP_FOWNER (the sticky rule does not bind) and
// CAP_SYS_RESOURCE (blocks kept back for root may be used).
void LearnCaller(PreviewState& state)
{
    // An invalid ID changes nothing and returns the current one.
    state.uid = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    if (::syscall(SYS_capget, &header, data) != 0) {
        state.overridesSticky = state.usesReserve = state.uid == 0;
        return;
    }
    const auto has = [&data](int capability) {
        return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
    };
    state.overridesSticky = has(CAP_FOWNER);
    // ext4 gives its kept-back blocks to user 0 as well, by default.
    state.usesReserve = has(CAP_SYS_RESOURCE) || state.uid == 0;
}

// The immutable and append-only flags of `name` in `dir` ("" for `dir`
// itself): from statx where the file system reports them there, else from
// the flags ioctl on the file opened for reading, where it can be.
unsigned FlagsOf(const struct statx& sx, int dir, const char* name)
{
    constexpr std::uint64_t kBoth = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    if ((sx.stx_attributes_mask & kBoth) == kBoth) {
        return ((sx.stx_attributes & STATX_ATTR_IMMUTABLE) != 0 ? kImmutable : 0) |
            ((sx.stx_attributes & STATX_ATTR_APPEND) != 0 ? kAppendOnly : 0);
    }
    if (!S_ISREG(sx.stx_mode) && !S_ISDIR(sx.stx_mode))
        return 0;
    const UniqueFd fd(
        ::openat(dir, *name == '\0' ? "." : name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    int flags = 0;
    if (!fd.valid() || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return 0;
    return ((flags & FS_IMMUTABLE_FL) != 0 ? kImmutable : 0) | ((flags & FS_APPEND_FL) != 0 ? kAppendOnly : 0);
}

bool Stat(int dir, const char* name, struct statx& sx)
{
    const int flags = AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT | (*name == '\0' ? AT_EMPTY_PATH : 0);
    return ::statx(dir, name, flags, STATX_BASIC_STATS | STATX_MNT_ID, &sx) == 0;
}

// The room of the file system `dir` lies on, learnt on its first folder.
std::size_t RoomOf(PreviewState& state, int dir, std::uint64_t device)
{
    for (std::size_t i = 0; i < state.rooms.size(); ++i)
        if (state.rooms[i].device == device)
            return i;
    PreviewState::Room room;
    room.device = device;
    struct statfs fs; // filled by the call
    if (::fstatfs(dir, &fs) == 0) {
        room.unit = fs.f_frsize > 0 ? static_cast<std::uint64_t>(fs.f_frsize) : static_cast<std::uint64_t>(fs.f_bsize);
        if (room.unit == 0)
            room.unit = 4096;
        room.blocks = state.usesReserve ? fs.f_bfree : fs.f_bavail;
        room.inodes = fs.f_ffree;
        room.blocksLimited = fs.f_blocks > 0;
        room.inodesLimited = fs.f_files > 0;
        room.tmpfs = fs.f_type == TMPFS_MAGIC;
    }
    state.rooms.push_back(room);
    return state.rooms.size() - 1;
}

void Learn(PreviewState& state, PreviewState::FolderFacts& facts, int dir)
{
    facts.known = true;
    facts.access = WritableFolder(dir);
    struct statx sx {};
    if (!Stat(dir, "", sx)) {
        facts.failed = errno;
        return;
    }
    const std::uint64_t device = (std::uint64_t {sx.stx_dev_major} << 32) | sx.stx_dev_minor;
    // A rename across mounts fails even within one file system: the mount
    // decides, where the system tells it.
    facts.mount = (sx.stx_mask & STATX_MNT_ID) != 0 ? sx.stx_mnt_id : device;
    facts.owner = sx.stx_uid;
    facts.sticky = (sx.stx_mode & S_ISVTX) != 0;
    facts.appendOnly = (FlagsOf(sx, dir, "") & kAppendOnly) != 0;
    facts.room = RoomOf(state, dir, device);
}

// A folder the run makes: the process's own, empty, on the destination's
// file system.
void MadeFolder(const PreviewState& state, PreviewState::Folder& folder)
{
    folder.known = true;
    folder.access = 0;
    folder.mount = state.destination.mount;
    folder.owner = state.uid;
    folder.room = state.destination.room;
    folder.willBeMade = true;
    folder.listed = true;
}

// Why the file `owner`/`flags` may not leave `folder` (by a rename or an
// unlink, or by being replaced), as the system checks it: the folder's
// permission, an append-only folder, the sticky rule (a user who owns
// neither the file nor the folder), an immutable or append-only file.
int RemovalRefused(const PreviewState& state, const PreviewState::FolderFacts& folder, uid_t owner, unsigned flags)
{
    if (folder.access != 0)
        return folder.access;
    if (folder.appendOnly)
        return EPERM;
    if (folder.sticky && owner != state.uid && folder.owner != state.uid && !state.overridesSticky)
        return EPERM;
    if (flags != 0)
        return EPERM;
    return 0;
}

// Whether `name` is taken in a bucket folder: from the folder's names, read
// once, where it can be read; else by looking the name up.
bool NameTaken(PreviewState::Folder& folder, int dir, const char* name)
{
    if (!folder.listed && !folder.unlistable) {
        const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (listing == nullptr) {
            if (fd >= 0)
                ::close(fd);
            folder.unlistable = true;
        } else {
            while (const dirent* entry = ::readdir(listing))
                folder.names.emplace(entry->d_name);
            ::closedir(listing);
            folder.listed = true;
        }
    }
    if (folder.listed)
        return folder.names.count(name) != 0;
    struct stat st; // filled by the call
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// A destination that is not there yet and that the run would make first
// (--create-dirs), in its parent: a folder of the process's own, new and
// empty, on the parent's file system, with every bucket folder made in it
// while there is room for them.
void PrepareMadeDestination(PreviewState& state, const std::string& destination)
{
    std::string path = destination;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return;
    const std::string parentPath = slash == 0 ? std::string("/") : path.substr(0, slash);
    const UniqueFd parent(::open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid())
        return;
    PreviewState::FolderFacts facts;
    Learn(state, facts, parent.get());
    if (facts.failed != 0 || facts.access != 0 || facts.appendOnly)
        return;
    PreviewState::Room& room = state.rooms[facts.room];
    if (!Take(room, room.tmpfs ? 0 : 1, 1))
        return;
    state.destination = facts;
    state.destination.owner = state.uid;
    state.destination.sticky = false;
    for (const char* letter = kMadeInOrder; *letter != '\0'; ++letter) {
        if (Take(room, room.tmpfs ? 0 : 1, 1))
            MadeFolder(state, state.buckets[static_cast<unsigned char>(*letter)]);
    }
}

// What a run learns before its first file: who it is, and which bucket
// folders it makes, in its order, while the destination has room for them.
void Prepare(PreviewState& state, RunFolderHandles& folders, bool bucketsWillBeMade)
{
    state.prepared = true;
    LearnCaller(state);
    const FsResult<int> destination = folders.destination();
    if (!destination.ok()) {
        if (bucketsWillBeMade && destination.status().error == ENOENT)
            PrepareMadeDestination(state, folders.destinationPath());
        return;
    }
    Learn(state, state.destination, destination.value());
    if (!bucketsWillBeMade || state.destination.failed != 0 || state.destination.access != 0)
        return;
    PreviewState::Room& room = state.rooms[state.destination.room];
    for (const char* letter = kMadeInOrder; *letter != '\0'; ++letter) {
        const FsResult<int> bucket = folders.bucket(*letter);
        if (bucket.ok() || bucket.status().error != ENOENT)
            continue;
        // A folder takes an inode, and outside tmpfs a block for its names.
        if (Take(room, room.tmpfs ? 0 : 1, 1))
            MadeFolder(state, state.buckets[static_cast<unsigned char>(*letter)]);
    }
}

FileOutcome PreviewCopy(PreviewState& state, PreviewState::Folder& folder, int dir, const char* name,
                        const struct stat& source)
{
    if (folder.access != 0)
        return {FileStage::Transfer, Failure(folder.access)};
    PreviewState::Room& room = state.rooms[folder.room];
    NewFileRoom copy(state, folder,
                     BlocksOfCopy(static_cast<std::uint64_t>(source.st_size),
                                  static_cast<std::uint64_t>(source.st_blocks), room.unit));
    if (!copy.taken())
        return {FileStage::Transfer, Failure(ENOSPC)};
    if (folder.willBeMade || !NameTaken(folder, dir, name))
        return {}; // the name is free
    struct statx target {};
    if (!Stat(dir, name, target))
        return {};
    // The copy replaces what has the name as a whole: the system checks the
    // removal of the old file first, then that it is no folder. A file
    // copied onto itself stays as it is.
    if (const int error = RemovalRefused(state, folder, target.stx_uid, FlagsOf(target, dir, name)); error != 0)
        return copy.failed(error);
    if (S_ISDIR(target.stx_mode))
        return copy.failed(EISDIR);
    if (S_ISREG(target.stx_mode) && target.stx_nlink == 1)
        GiveBack(room, Blocks(target.stx_blocks * 512, room.unit), 1);
    return {};
}

FileOutcome PreviewMove(PreviewState& state, PreviewState::Folder& folder, int dir, int sourceDir, const char* name,
                        const struct statx& source)
{
    if (!state.source.known)
        Learn(state, state.source, sourceDir);
    const unsigned flags = FlagsOf(source, sourceDir, name);
    const auto taken = [&] { return !folder.willBeMade && NameTaken(folder, dir, name); };

    // Within one mount the name moves: a taken name first, then the removal
    // from the source folder, then the creation in the bucket.
    if (state.source.failed != 0 || folder.mount == state.source.mount) {
        if (taken())
            return {FileStage::Transfer, Failure(EEXIST)};
        if (const int error = RemovalRefused(state, state.source, source.stx_uid, flags); error != 0)
            return {FileStage::Transfer, Failure(error)};
        if (folder.access != 0)
            return {FileStage::Transfer, Failure(folder.access)};
        return {};
    }

    // Across: a link is made anew (its name checked before the folder), a
    // file is read and copied whole before its name is placed; the source
    // goes last.
    const bool link = S_ISLNK(source.stx_mode);
    if (link && taken())
        return {FileStage::Transfer, Failure(EEXIST)};
    if (!link && ::faccessat(sourceDir, name, R_OK, AT_EACCESS) != 0)
        return {FileStage::Transfer, Failure(errno)};
    if (folder.access != 0)
        return {FileStage::Transfer, Failure(folder.access)};
    const PreviewState::Room& room = state.rooms[folder.room];
    std::uint64_t blocks = 0;
    if (link)
        blocks = source.stx_size >= (room.tmpfs ? kInlineLinkTmpfs : kInlineLinkOther) ? 1 : 0;
    else
        blocks = BlocksOfCopy(source.stx_size, source.stx_blocks, room.unit);
    NewFileRoom copy(state, folder, blocks);
    if (!copy.taken())
        return {FileStage::Transfer, Failure(ENOSPC)};
    if (!link && taken())
        return copy.failed(EEXIST);
    if (const int error = RemovalRefused(state, state.source, source.stx_uid, flags); error != 0)
        return copy.failed(error);
    return {};
}

} // namespace

FileOutcome PreviewFile(PreviewState& state, RunFolderHandles& folders, int sourceDir, const char* name, char bucket,
                        TransferMode mode, bool bucketsWillBeMade, const LengthFn& length)
{
    if (!state.prepared)
        Prepare(state, folders, bucketsWillBeMade);
    const bool move = mode == TransferMode::Move;
    struct statx seen {};
    struct stat source {};
    if (move) {
        if (!Stat(sourceDir, name, seen))
            return {FileStage::Examine, Failure(errno)};
        std::uint64_t size = seen.stx_size;
        if (S_ISLNK(seen.stx_mode)) {
            struct stat target {};
            size = ::fstatat(sourceDir, name, &target, 0) == 0 && S_ISREG(target.st_mode)
                ? static_cast<std::uint64_t>(target.st_size)
                : 0;
        } else if (!S_ISREG(seen.stx_mode)) {
            if (length)
                length(size);
            return {FileStage::Transfer, NotRegularFile()};
        }
        if (length)
            length(size);
    } else {
        SourceFile opened;
        if (FsStatus status = OpenSourceFile(sourceDir, name, 0, opened); !status.ok()) {
            if (::fstatat(sourceDir, name, &source, 0) != 0)
                return {FileStage::Examine, Failure(errno)};
            if (length)
                length(static_cast<std::uint64_t>(source.st_size));
            return {FileStage::Transfer, std::move(status)};
        }
        source = opened.st;
        if (length)
            length(static_cast<std::uint64_t>(source.st_size));
    }

    PreviewState::Folder& folder = state.buckets[static_cast<unsigned char>(bucket)];
    int dir = -1;
    if (!folder.willBeMade) {
        QB_TRY_ASSIGN_AT(FileStage::Transfer, dir, folders.bucket(bucket));
        if (!folder.known)
            Learn(state, folder, dir);
        if (folder.failed != 0)
            return {FileStage::Transfer, Failure(folder.failed)};
    }
    if (move)
        return PreviewMove(state, folder, dir, sourceDir, name, seen);
    return PreviewCopy(state, folder, dir, name, source);
}

} // namespace quillbox::posix
