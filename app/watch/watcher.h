// SPDX-License-Identifier: GPL-3.0-or-later
// The watcher: its signal gate and what it keeps between batches. Its
// loop is in watch_command.cpp, its batch run in watch_batch.cpp, and what
// it knows of files put back in watch_put_back.cpp.
#pragma once

#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/watch/watch_request.h"
#include "core/jobs/settle_queue.h"
#include "core/jobs/sieve_job.h"
#include "platform/folder_watch.h"
#include "platform/journal_files.h"
#include "platform/locale_facts.h"
#include "platform/posix_file_system.h"
#include "platform/read_leases.h"
#include "platform/watch_lock.h"

namespace quillbox::app {

// Stop signals reach the watcher only while it sleeps or runs a batch, so
// that one arriving just before it goes to sleep still wakes it.
class SignalGate {
public:
    SignalGate()
    {
        sigemptyset(&m_stopSignals);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&m_stopSignals, signal);
        ::pthread_sigmask(SIG_BLOCK, &m_stopSignals, &m_open);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP})
            sigdelset(&m_open, signal);
    }
    ~SignalGate() { ::pthread_sigmask(SIG_UNBLOCK, &m_stopSignals, nullptr); }
    SignalGate(const SignalGate&) = delete;
    SignalGate& operator=(const SignalGate&) = delete;

    const sigset_t* open() const { return &m_open; }
    void let() { ::pthread_sigmask(SIG_UNBLOCK, &m_stopSignals, nullptr); }
    void hold() { ::pthread_sigmask(SIG_BLOCK, &m_stopSignals, nullptr); }

private:
    sigset_t m_stopSignals;
    sigset_t m_open;
};

class Watcher {
public:
    Watcher(const WatchRequest& request, JournalFolder& journals, Clock& clock);

    int run();

private:
    static int StoppedStatus();

    // Every file of the folder, as if each had just arrived: it is taken
    // once it has been quiet for the settle time from now on, or from
    // `quietSince`, since when every change has come as an event. Its own
    // times do not tell: a tool that copies times sets them in the past,
    // and a share's come from another clock.
    void rescan(std::optional<Clock::Instant> quietSince = std::nullopt);

    // On a share: files new or changed since the last listing are touched
    // now, as an event would have told of them.
    void listAgain();

    // `name` was touched at `now` and looks like `look` (looked at whole).
    void arrived(const std::string& name, Clock::Instant now, const FileLook& look);

    // Whether `look` is a file this watch sorted, or a run taken back put
    // back, under `name`, unchanged since: the same length and modification
    // time, or, where only a listing told of it, the same inode.
    bool cameBack(const std::string& name, const FileLook& look) const;

    // The destination resolved, also while it is still to be made.
    FsResult<ResolvedFolder> resolvedDestination();

    // Notes that a session begins, so that --undo --session takes back all
    // of its batches.
    void beginSession();

    // The files that moves of runs into the same folders, taken back since,
    // put back: the newest run's record of a name counts.
    void learnTakenBack();

    // Writers opening files whose lease is held: each such file has not
    // settled, and waits anew from now.
    void leasesBroken();

    // Status to end with, or -1 to go on.
    int takeEvents();

    int folderGone(posix::FolderEvent::Kind kind);

    // Makes the destination for the first batch, where the watch is to
    // make it; true when made now.
    bool makeDestination();

    // One run over the files of a batch. Status to end with, or -1.
    int sieve(std::vector<std::string> names, const std::vector<FileLook>& looks);

    const WatchRequest& m_request;
    bool m_destinationToMake = m_request.destinationToMake;
    JournalFolder& m_journals;
    Clock& m_clock;
    // First: SIGIO is blocked before the gate notes the signal mask, and
    // before any thread starts.
    posix::ReadLeases m_leases;
    SignalGate m_gate;
    RunControls m_controls;
    SettleQueue m_queue;
    LocaleFacts m_locale;
    PosixFileSystem m_fs;
    std::unique_ptr<posix::WatchLock> m_lock;
    // By name, files that came back unchanged are left alone: what this
    // watch sorted by moving, and what runs taken back put back.
    static constexpr std::size_t kPutBackKept = 1'000'000;
    std::unordered_map<std::string, FileLook> m_putBack;
    // On a share, when the folder is listed next, and what it showed.
    std::optional<Clock::Instant> m_nextListing;
    RepeatedListing m_listing;
    std::unique_ptr<posix::FolderWatch> m_watch;
};

} // namespace quillbox::app
