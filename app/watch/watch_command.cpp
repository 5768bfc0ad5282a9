// SPDX-License-Identifier: GPL-3.0-or-later
// The watch: the loop that follows the source folder and the events it
// reads, and --watch itself.
#include "app/watch/watch_command.h"

#include "app/watch/watcher.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "app/cli/console_report.h"
#include "app/cli/standard_streams.h"
#include "app/cli/stop_signals.h"
#include "core/bucket.h"
#include "core/jobs/batch_report.h"
#include "core/jobs/settle_queue.h"
#include "core/jobs/sieve_job.h"
#include "core/log/log_text.h"
#include "core/log/number_format.h"
#include "platform/folder_watch.h"
#include "platform/journal_files.h"
#include "platform/locale_facts.h"
#include "platform/open_writers.h"
#include "platform/posix_file_system.h"
#include "platform/read_leases.h"
#include "platform/real_ports.h"
#include "platform/watch_lock.h"
#include "platform/watch_sessions.h"

namespace quillbox::app {

namespace {

constexpr int kExitFolderGone = 1;
constexpr int kExitCannotWatch = 2;

// The settle time as the user would write it: "2", "0.2".
std::string SecondsText(std::chrono::nanoseconds settle)
{
    const long long ns = settle.count();
    std::string text = std::to_string(ns / 1'000'000'000);
    if (long long fraction = ns % 1'000'000'000; fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, 9 - digits.size(), '0');
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text;
}

// The watched folder seen through the file layer, for the settle rule. Who
// may still write a due file is asked of the kernel first, by a read lease,
// which stays held while the file is taken; where no lease can be had, the
// process table is looked through.
class FolderProbe final : public SettleProbe {
public:
    FolderProbe(const posix::FolderWatch& watch, posix::ReadLeases& leases) : m_watch(watch), m_leases(leases) {}
    std::optional<FileLook> look(const std::string& name) override { return m_watch.look(name); }
    std::vector<Writers> writers(const std::vector<std::string>& names, const std::vector<FileLook>& files) override
    {
        std::vector<Writers> answers(names.size(), Writers::None);
        std::vector<FileLook> unleased;
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < names.size(); ++i) {
            switch (m_leases.take(m_watch.folder(), names[i], files[i])) {
            case posix::ReadLeases::Answer::Granted:
                break;
            case posix::ReadLeases::Answer::Writing:
                answers[i] = Writers::Some;
                break;
            case posix::ReadLeases::Answer::Changed:
                answers[i] = Writers::Changed;
                break;
            case posix::ReadLeases::Answer::Refused:
                unleased.push_back(files[i]);
                at.push_back(i);
                break;
            }
        }
        if (!unleased.empty()) {
            const std::vector<bool> held = posix::OpenForWriting(unleased);
            for (std::size_t j = 0; j < at.size(); ++j)
                answers[at[j]] = j < held.size() && held[j] ? Writers::Some : Writers::None;
        }
        return answers;
    }

private:
    const posix::FolderWatch& m_watch;
    posix::ReadLeases& m_leases;
};

} // namespace

Watcher::Watcher(const WatchRequest& request, JournalFolder& journals, Clock& clock)
    : m_request(request)
    , m_journals(journals)
    , m_clock(clock)
    , m_queue(request.settle, request.ignores)
    , m_locale(PosixLocaleFacts())
{
    m_controls.mode.store(request.mode);
    StopOnSignals(m_controls.stop);
}

int Watcher::run()
{
    // One watch a folder: two would take each other's files from under
    // each other's feet.
    pid_t holder = 0;
    std::string error;
    // The folder as these two lines have always named it: without its "/".
    const std::string named = m_request.source.size() > 1 && m_request.source.back() == '/'
        ? m_request.source.substr(0, m_request.source.size() - 1)
        : m_request.source;
    switch (
        posix::WatchLock::take(posix::WatchLockFolder(m_journals.folder()), m_request.source, m_lock, holder, error)) {
    case posix::WatchLock::Outcome::Locked:
        break;
    case posix::WatchLock::Outcome::HeldElsewhere:
        std::fprintf(stderr, "quillbox: %s is watched already%s; a second watch of it is not started.\n",
                     EscapeText(m_request.source).c_str(),
                     holder > 0 ? (" (by process " + std::to_string(holder) + ")").c_str() : "");
        return kExitCannotWatch;
    case posix::WatchLock::Outcome::Failed:
        std::fprintf(stderr, "quillbox: warning: the watch of %s cannot be locked against a second one: %s\n",
                     EscapeText(named).c_str(), EscapeText(error).c_str());
        break;
    }
    FsResult<std::unique_ptr<posix::FolderWatch>> opened = posix::FolderWatch::open(m_request.source);
    if (!opened.ok()) {
        std::fprintf(stderr, "quillbox: cannot watch %s: %s\n", EscapeText(named).c_str(),
                     opened.status().reason.c_str());
        return kExitCannotWatch;
    }
    m_watch = std::move(opened.value());
    const Clock::Instant watched = m_clock.monotonic();
    FolderProbe probe(*m_watch, m_leases);
    if (m_request.detail != Detail::Quiet)
        PrintLine("Watching " + m_request.source + ": files quiet for " + SecondsText(m_request.settle) + " s go to " +
                  m_request.destination);
    if (!m_watch->share().empty()) {
        // Said whatever the detail: it is why files may be late, or taken
        // while a far writer still writes.
        std::fflush(stdout);
        std::fprintf(stderr,
                     "quillbox: warning: %s is on a %s file system, which tells this machine of its own changes "
                     "only: files that arrive from elsewhere are found by listing the folder every %s s, and for "
                     "them the settle time is the only guard against a writer on another machine.\n",
                     EscapeText(m_request.source).c_str(), m_watch->share().c_str(),
                     SecondsText(RepeatedListing::interval(m_request.settle)).c_str());
    }
    beginSession();
    learnTakenBack();
    // Here every change made since the folder has been watched comes as
    // an event; on a share only this machine's own do.
    rescan(m_watch->share().empty() ? std::optional(watched) : std::nullopt);
    // What happened while the folder was listed is known before any file
    // is due.
    if (const int status = takeEvents(); status >= 0)
        return status;
    for (;;) {
        if (m_controls.stop.load())
            return StoppedStatus();
        if (m_nextListing && m_clock.monotonic() >= *m_nextListing)
            listAgain();
        std::vector<FileLook> looks;
        std::vector<std::string> due = m_queue.takeDue(m_clock.monotonic(), probe, &looks);
        if (!due.empty()) {
            if (const int status = sieve(std::move(due), looks); status >= 0)
                return status;
            continue;
        }
        std::fflush(stdout);
        if (StandardOutputFailed())
            return StoppedStatus();
        std::optional<Clock::Instant> until = m_queue.nextDeadline();
        if (m_nextListing)
            until = until ? std::min(*until, *m_nextListing) : *m_nextListing;
        const posix::FolderWatch::Wake wake = m_watch->wait(until, m_gate.open(), m_leases.fd());
        if (wake == posix::FolderWatch::Wake::Interrupted)
            continue;
        if (wake == posix::FolderWatch::Wake::Also) {
            leasesBroken();
            continue;
        }
        if (const int status = takeEvents(); status >= 0)
            return status;
    }
}

int Watcher::StoppedStatus()
{
    if (const int signal = StopSignal(); signal != 0)
        return 128 + signal;
    return kExitWriteError;
}

void Watcher::rescan(std::optional<Clock::Instant> quietSince)
{
    m_queue.clear();
    m_leases.releaseAll();
    // Every event since the last read is there to be read: from here on
    // a change comes as an event, so the quiet time counts from here,
    // while the folder is listed.
    const auto now = quietSince.value_or(m_clock.monotonic());
    FsResult<std::vector<posix::ScannedFile>> files = m_watch->scan();
    if (!files.ok())
        return; // the events that follow tell what became of the folder
    // Opened for the scan only: held, it would keep the folder's removal
    // from being told.
    const posix::UniqueFd folder(::open(m_watch->folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> names;
    std::vector<FileLook> looks;
    std::vector<bool> listed;
    for (posix::ScannedFile& file : files.value()) {
        if (IsIgnoredName(file.name, m_request.ignores))
            continue;
        if (m_putBack.contains(file.name)) {
            // Looked at whole, to be told from a file put back.
            const std::optional<FileLook> look = file.listed ? m_watch->look(file.name) : file.look;
            if (!look)
                continue;
            file.look = *look;
            file.listed = false;
            if (cameBack(file.name, file.look)) {
                m_queue.setAside(file.name, file.look);
                continue;
            }
        }
        names.push_back(std::move(file.name));
        looks.push_back(file.look);
        listed.push_back(file.listed);
    }
    // The leases are asked for now, while the files settle, rather than
    // when they are due: a write since breaks them. The files wait for
    // the settle time meanwhile.
    m_leases.takeMany(m_watch->folder(), folder.get(), names, looks, [&] {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (listed[i])
                m_queue.found(names[i], now, looks[i]);
            else
                m_queue.touched(names[i], now, looks[i]);
        }
    });
    if (!m_watch->share().empty()) {
        RepeatedListing::Listing listing;
        for (std::size_t i = 0; i < names.size(); ++i)
            listing.emplace_back(names[i], looks[i]);
        m_listing.changes(std::move(listing));
        m_nextListing = now + RepeatedListing::interval(m_request.settle);
    }
}

void Watcher::listAgain()
{
    const auto now = m_clock.monotonic();
    m_nextListing = now + RepeatedListing::interval(m_request.settle);
    FsResult<std::vector<posix::ScannedFile>> files = m_watch->scan();
    if (!files.ok())
        return;
    RepeatedListing::Listing listing;
    for (posix::ScannedFile& file : files.value()) {
        if (!IsIgnoredName(file.name, m_request.ignores) && !m_queue.setAside(file.name))
            listing.emplace_back(std::move(file.name), file.look);
    }
    for (const auto& [name, look] : m_listing.changes(std::move(listing)))
        arrived(name, now, look);
}

void Watcher::arrived(const std::string& name, Clock::Instant now, const FileLook& look)
{
    if (!m_queue.contains(name) && cameBack(name, look))
        m_queue.setAside(name, look);
    else
        m_queue.touched(name, now, look);
}

void Watcher::leasesBroken()
{
    const auto now = m_clock.monotonic();
    for (const std::string& name : m_leases.broken()) {
        if (const std::optional<FileLook> look = m_watch->look(name))
            m_queue.touched(name, now, *look);
        else
            m_queue.forget(name);
    }
}

int Watcher::takeEvents()
{
    using Kind = posix::FolderEvent::Kind;
    bool overflow = false;
    const auto now = m_clock.monotonic();
    // A file touched several times in one read (made, written, closed)
    // is looked at once, after them all.
    std::vector<std::string> touched;
    std::unordered_set<std::string> seen;
    for (posix::FolderEvent& event : m_watch->read()) {
        switch (event.kind) {
        case Kind::Touched:
            if (seen.insert(event.name).second)
                touched.push_back(std::move(event.name));
            break;
        case Kind::Left:
            m_queue.forget(event.name);
            m_leases.release(event.name);
            break;
        case Kind::Overflow:
            overflow = true;
            break;
        case Kind::Moved:
        case Kind::Removed:
        case Kind::Unmounted:
            return folderGone(event.kind);
        }
    }
    for (const std::string& name : touched) {
        if (const std::optional<FileLook> look = m_watch->look(name)) {
            arrived(name, now, *look);
        } else {
            m_queue.forget(name);
            m_leases.release(name);
        }
    }
    if (overflow) {
        if (m_request.detail != Detail::Quiet)
            PrintLine("Too many changes at once to follow one by one: looking at the whole folder again.");
        rescan();
    }
    return -1;
}

int Watcher::folderGone(posix::FolderEvent::Kind kind)
{
    const char* what = kind == posix::FolderEvent::Kind::Moved ? "was moved or renamed"
        : kind == posix::FolderEvent::Kind::Removed            ? "was removed"
                                                               : "was unmounted";
    std::fflush(stdout);
    std::fprintf(stderr, "quillbox: the watched folder %s %s; watching ends.\n", EscapeText(m_request.source).c_str(),
                 what);
    return kExitFolderGone;
}

int RunWatch(const WatchRequest& request, RealPorts& real)
{
    // A watch runs for long, often as a service whose output goes to a log:
    // each line is passed on as it is written. Nothing was written yet.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Watcher watcher(request, real.journals(), real.clock());
    return watcher.run();
}

} // namespace quillbox::app
