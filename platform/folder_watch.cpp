// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/folder_watch.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>

#include "core/bucket.h"
#include "platform/error_text.h"

namespace quillbox::posix {

namespace {

constexpr std::uint32_t kArrivalEvents = IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO;
constexpr std::uint32_t kLeavingEvents = IN_MOVED_FROM | IN_DELETE;
constexpr std::uint32_t kSelfEvents = IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_ONLYDIR;

// Whether a listing of the folder `path` gives each file's own inode
// number, as a look at the file would: true of the usual local file
// systems, not of those that stack or translate (overlay, FUSE, shares).
bool ListingTellsInodes(const std::string& path)
{
    struct statfs st; // filled by the call
    if (::statfs(path.c_str(), &st) != 0)
        return false;
    switch (static_cast<unsigned long>(st.f_type)) {
    case 0xEF53UL:     // ext2, ext3, ext4
    case 0x58465342UL: // XFS
    case 0x9123683EUL: // Btrfs
    case 0x01021994UL: // tmpfs
    case 0xF2F52010UL: // F2FS
        return true;
    default:
        return false;
    }
}

} // namespace

std::string ShareKind(unsigned long type)
{
    switch (type) {
    case 0x65735546UL:
        return "FUSE";
    case 0x6969UL:
        return "NFS";
    case 0x517BUL:
        return "SMB";
    case 0xFF534D42UL:
        return "CIFS";
    case 0xFE534D42UL:
        return "SMB2";
    case 0x01021997UL:
        return "9p";
    case 0x00C36400UL:
        return "Ceph";
    case 0x5346414FUL:
        return "AFS";
    case 0x6B414653UL:
        return "kAFS";
    case 0x73757245UL:
        return "Coda";
    case 0x01161970UL:
        return "GFS2";
    case 0x7461636FUL:
        return "OCFS2";
    case 0x0BD00BD0UL:
        return "Lustre";
    case 0x47504653UL:
        return "GPFS";
    case 0x564CUL:
        return "NCP";
    case 0x786F4256UL:
        return "VirtualBox shared folder";
    default:
        return {};
    }
}

namespace {

// The regular file `name` of the folder `at` as it is now, a link followed.
// On a share it is asked of the server: what the system kept of an earlier
// look (for a second, on FUSE by default) would hide a write made
// elsewhere, and a copy would then read only the length kept.
std::optional<FileLook> LookUp(int at, const char* name, bool ofServer)
{
    struct statx st {};
    if (::statx(at, name, ofServer ? AT_STATX_FORCE_SYNC : AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS, &st) != 0 ||
        !S_ISREG(st.stx_mode))
        return std::nullopt;
    return FileLook {static_cast<std::uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor)), st.stx_ino, st.stx_size,
                     static_cast<std::int64_t>(st.stx_mtime.tv_sec) * 1'000'000'000 + st.stx_mtime.tv_nsec,
                     static_cast<std::int64_t>(st.stx_ctime.tv_sec) * 1'000'000'000 + st.stx_ctime.tv_nsec};
}

} // namespace

FolderWatch::FolderWatch(std::string folder, UniqueFd inotify, int watch, UniqueFd timer)
    : m_folder(std::move(folder))
    , m_inotify(std::move(inotify))
    , m_watch(watch)
    , m_timer(std::move(timer))
    , m_buffer(64 * 1024)
{
}

FsResult<std::unique_ptr<FolderWatch>> FolderWatch::open(const std::string& folder)
{
    UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify.valid())
        return Failure(errno);
    // The watch comes first, so that nothing arriving while the folder is
    // opened and scanned goes unseen.
    const int watch = ::inotify_add_watch(inotify.get(), folder.c_str(), kArrivalEvents | kLeavingEvents | kSelfEvents);
    if (watch < 0)
        return Failure(errno);
    UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timer.valid())
        return Failure(errno);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return Failure(errno);
    std::unique_ptr<FolderWatch> made(
        new FolderWatch(WithTrailingSeparator(folder), std::move(inotify), watch, std::move(timer)));
    made->m_device = static_cast<std::uint64_t>(st.st_dev);
    made->m_listingTellsInodes = ListingTellsInodes(folder);
    if (struct statfs fs; ::statfs(folder.c_str(), &fs) == 0)
        made->m_share = ShareKind(static_cast<unsigned long>(fs.f_type));
    return made;
}

void FolderWatch::quietLeaving(bool quiet)
{
    const std::uint32_t mask = kArrivalEvents | kSelfEvents | (quiet ? 0 : kLeavingEvents);
    // By path, so it changes this watch only while the path is still the
    // watched folder; one made on something new in its place is dropped,
    // and the old one's events tell that the folder went.
    const int watch = ::inotify_add_watch(m_inotify.get(), m_folder.c_str(), mask);
    if (watch >= 0 && watch != m_watch)
        ::inotify_rm_watch(m_inotify.get(), watch);
}

FolderWatch::Wake FolderWatch::wait(std::optional<Clock::Instant> deadline, const sigset_t* mask, int also)
{
    // The system clock's monotonic time is CLOCK_MONOTONIC's; a zero time
    // disarms the timer.
    itimerspec when {};
    if (deadline) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
        when.it_value.tv_sec = ns / 1'000'000'000;
        when.it_value.tv_nsec = ns % 1'000'000'000;
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
            when.it_value.tv_nsec = 1;
    }
    ::timerfd_settime(m_timer.get(), TFD_TIMER_ABSTIME, &when, nullptr);
    pollfd fds[3] = {{m_inotify.get(), POLLIN, 0}, {m_timer.get(), POLLIN, 0}, {also, POLLIN, 0}};
    if (::ppoll(fds, also >= 0 ? 3 : 2, nullptr, mask) < 0)
        return Wake::Interrupted;
    if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_timer.get(), &expirations, sizeof expirations);
    }
    if (also >= 0 && (fds[2].revents & POLLIN) != 0)
        return Wake::Also;
    return (fds[0].revents & POLLIN) != 0 ? Wake::Events : Wake::Deadline;
}

std::vector<FolderEvent> FolderWatch::read()
{
    std::vector<FolderEvent> events;
    for (;;) {
        const ssize_t got = ::read(m_inotify.get(), m_buffer.data(), m_buffer.size());
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            inotify_event event;
            std::memcpy(&event, m_buffer.data() + at, sizeof event);
            const char* name = m_buffer.data() + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                events.push_back({FolderEvent::Kind::Overflow, {}});
            } else if (event.wd != m_watch) {
                // A watch quietLeaving() made on something else, and dropped.
            } else if ((event.mask & IN_UNMOUNT) != 0) {
                events.push_back({FolderEvent::Kind::Unmounted, {}});
            } else if ((event.mask & IN_DELETE_SELF) != 0) {
                events.push_back({FolderEvent::Kind::Removed, {}});
            } else if ((event.mask & IN_MOVE_SELF) != 0) {
                events.push_back({FolderEvent::Kind::Moved, {}});
            } else if ((event.mask & IN_IGNORED) != 0) {
                // The watch is gone without one of the above: as good as removed.
                events.push_back({FolderEvent::Kind::Removed, {}});
            } else if (event.len > 0 && (event.mask & IN_ISDIR) == 0) {
                const bool left = (event.mask & (IN_MOVED_FROM | IN_DELETE)) != 0;
                events.push_back({left ? FolderEvent::Kind::Left : FolderEvent::Kind::Touched, std::string(name)});
            }
        }
    }
    return events;
}

std::optional<FileLook> FolderWatch::look(const std::string& name) const
{
    return LookUp(AT_FDCWD, (m_folder + name).c_str(), !m_share.empty());
}

FsResult<std::vector<ScannedFile>> FolderWatch::scan() const
{
    DIR* dir = ::opendir(m_folder.c_str());
    if (dir == nullptr)
        return Failure(errno);
    std::vector<ScannedFile> files;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr)
            break;
        if (entry->d_type == DT_REG && m_listingTellsInodes) {
            files.push_back({entry->d_name, {m_device, static_cast<std::uint64_t>(entry->d_ino)}, true});
            continue;
        }
        // A link is what it leads to; a type the listing does not tell is
        // looked up.
        if (entry->d_type != DT_REG && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
            continue;
        const std::optional<FileLook> look = LookUp(::dirfd(dir), entry->d_name, !m_share.empty());
        if (!look)
            continue;
        files.push_back({entry->d_name, *look, false});
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0)
        return Failure(error);
    return files;
}

} // namespace quillbox::posix
