// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/read_leases.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <thread>

namespace quillbox::posix {

namespace {

// Descriptors left to everything else the process opens: a run's folders,
// its files in flight, its journal.
constexpr rlim_t kKeptFree = 512;

std::size_t RoomForLeases()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    // As many as the process may have: a lease is a descriptor held.
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const rlim_t soft = std::min<rlim_t>(limit.rlim_cur, 1 << 20);
    return static_cast<std::size_t>(soft > 2 * kKeptFree ? soft - kKeptFree : soft / 2);
}

// Makes the process's table of descriptors room for `count` more now, at
// once: grown one leased file at a time, it would be copied a dozen times,
// and each time wait for every other thread to pass a quiescent point.
void MakeRoomForDescriptors(std::size_t count)
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 2)
        return;
    const std::size_t highest = std::min<std::size_t>(count, static_cast<std::size_t>(limit.rlim_cur) - 1);
    // The lowest free descriptor from there on: none that is open is touched.
    const int far = ::fcntl(0, F_DUPFD_CLOEXEC, static_cast<int>(std::min<std::size_t>(highest, 1 << 30)));
    if (far >= 0)
        ::close(far);
}

} // namespace

ReadLeases::ReadLeases()
{
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    if (::pthread_sigmask(SIG_BLOCK, &io, nullptr) != 0)
        return;
    m_signals.reset(::signalfd(-1, &io, SFD_NONBLOCK | SFD_CLOEXEC));
    if (m_signals.valid())
        m_room = RoomForLeases();
}

ReadLeases::~ReadLeases() = default;

ReadLeases::Answer ReadLeases::open(const std::string& folder, const std::string& name, const FileLook& look,
                                    int opened, UniqueFd& fd)
{
    // Never waiting on a FIFO put in the file's place. What was opened is
    // checked to be the file looked at; where only a listing told of it, as
    // a regular file, it is opened as no link, and a file put in its place
    // since will be told by an event.
    const bool listed = look.mtimeNs == 0 && look.size == 0;
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (listed ? O_NOFOLLOW : 0);
    fd.reset(opened >= 0 ? ::openat(opened, name.c_str(), flags) : ::open((folder + name).c_str(), flags));
    if (!fd.valid())
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? Answer::Changed : Answer::Refused;
    if (!listed) {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0)
            return Answer::Refused;
        const std::int64_t mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_dev) != look.device ||
            static_cast<std::uint64_t>(st.st_ino) != look.inode ||
            (look.mtimeNs != 0 && (static_cast<std::uint64_t>(st.st_size) != look.size || mtime != look.mtimeNs)))
            return Answer::Changed;
    }
    if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) != 0)
        return errno == EAGAIN ? Answer::Writing : Answer::Refused;
    return Answer::Granted;
}

ReadLeases::Answer ReadLeases::take(const std::string& folder, const std::string& name, const FileLook& look,
                                    int opened)
{
    if (const auto held = m_held.find(name); held != m_held.end()) {
        if (held->second.device == look.device && held->second.inode == look.inode)
            return Answer::Granted;
        m_held.erase(held);
    }
    if (!m_signals.valid())
        return Answer::Refused;
    UniqueFd fd;
    const Answer answer = open(folder, name, look, opened, fd);
    // Beyond the room for leases, the one just granted goes with its
    // descriptor.
    if (answer == Answer::Granted && m_held.size() < m_room)
        m_held.emplace(name, Held {std::move(fd), look.device, look.inode});
    return answer;
}

void ReadLeases::takeMany(const std::string& folder, int opened, const std::vector<std::string>& names,
                          const std::vector<FileLook>& looks, const std::function<void()>& meanwhile)
{
    if (!m_signals.valid()) {
        if (meanwhile)
            meanwhile();
        return;
    }
    const std::size_t count = std::min({names.size(), looks.size(), m_room - std::min(m_room, m_held.size())});
    // A lease is a few system calls: a second thread is worth it only for
    // many files, on a machine with a second core. Started before it, it
    // leases while this thread does `meanwhile`; then both share the rest,
    // a slice at a time.
    const bool helped = count >= 2000 && std::thread::hardware_concurrency() > 1;
    MakeRoomForDescriptors(m_held.size() + count + kKeptFree);
    constexpr std::size_t kSlice = 256;
    std::atomic<std::size_t> next {0};
    std::vector<std::pair<std::size_t, UniqueFd>> granted[2];
    const auto work = [&](unsigned part) {
        for (std::size_t from; (from = next.fetch_add(kSlice, std::memory_order_relaxed)) < count;) {
            for (std::size_t i = from; i < std::min(count, from + kSlice); ++i) {
                if (m_held.contains(names[i]))
                    continue;
                UniqueFd fd;
                if (open(folder, names[i], looks[i], opened, fd) == Answer::Granted)
                    granted[part].emplace_back(i, std::move(fd));
            }
        }
    };
    std::thread helper;
    if (helped)
        helper = std::thread(work, 1);
    if (meanwhile)
        meanwhile();
    work(0);
    if (helper.joinable())
        helper.join();
    for (auto& part : granted) {
        for (auto& [i, fd] : part)
            m_held.emplace(names[i], Held {std::move(fd), looks[i].device, looks[i].inode});
    }
}

void ReadLeases::release(const std::string& name)
{
    m_held.erase(name);
}

void ReadLeases::releaseAllBut(const std::vector<std::string>& keep)
{
    // Mostly every lease held is one of `keep`'s: then none goes.
    std::size_t kept = 0;
    for (const std::string& name : keep)
        kept += m_held.count(name);
    if (kept == m_held.size())
        return;
    std::unordered_map<std::string, Held> held;
    held.reserve(kept);
    for (const std::string& name : keep) {
        if (auto node = m_held.extract(name); !node.empty())
            held.insert(std::move(node));
    }
    m_held.swap(held); // the others go with `held`
}

std::vector<std::string> ReadLeases::broken()
{
    // One signal may stand for several breaks: every lease is asked.
    signalfd_siginfo info {};
    while (::read(m_signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {}
    std::vector<std::string> names;
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (::fcntl(it->second.fd.get(), F_GETLEASE) == F_RDLCK) {
            ++it;
            continue;
        }
        names.push_back(it->first);
        it = m_held.erase(it);
    }
    return names;
}

} // namespace quillbox::posix
