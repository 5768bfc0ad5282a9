// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/watch_command.h"

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

#include "app/console_report.h"
#include "app/standard_streams.h"
#include "app/stop_signals.h"
#include "core/batch_report.h"
#include "core/bucket.h"
#include "core/log_text.h"
#include "core/number_format.h"
#include "core/settle_queue.h"
#include "core/sieve_job.h"
#include "platform/folder_watch.h"
#include "platform/journal_files.h"
#include "platform/locale_facts.h"
#include "platform/open_writers.h"
#include "platform/posix_file_system.h"
#include "platform/read_leases.h"
#include "platform/system_clock.h"
#include "platform/watch_lock.h"
#include "platform/watch_sessions.h"

namespace quillbox::app {

namespace {

constexpr int kExitFolderGone = 1;
constexpr int kExitCannotWatch = 2;

void PrintLine(const std::string& line)
{
    const std::string text = EscapeText(line);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

std::string Trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

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
    Watcher(const WatchRequest& request, JournalFolder& journals, Clock& clock)
        : m_request(request)
        , m_journals(journals)
        , m_clock(clock)
        , m_queue(request.settle, request.ignores)
        , m_locale(PosixLocaleFacts())
    {
        m_controls.mode.store(request.mode);
        StopOnSignals(m_controls.stop);
    }

    int run()
    {
        // One watch a folder: two would take each other's files from under
        // each other's feet.
        pid_t holder = 0;
        std::string error;
        switch (posix::WatchLock::take(posix::WatchLockFolder(m_journals.folder()), m_request.source, m_lock, holder,
                                       error)) {
        case posix::WatchLock::Outcome::Locked:
            break;
        case posix::WatchLock::Outcome::HeldElsewhere:
            std::fprintf(stderr, "quillbox: %s is watched already%s; a second watch of it is not started.\n",
                         EscapeText(WithTrailingSeparator(m_request.source)).c_str(),
                         holder > 0 ? (" (by process " + std::to_string(holder) + ")").c_str() : "");
            return kExitCannotWatch;
        case posix::WatchLock::Outcome::Failed:
            std::fprintf(stderr, "quillbox: warning: the watch of %s cannot be locked against a second one: %s\n",
                         EscapeText(m_request.source).c_str(), EscapeText(error).c_str());
            break;
        }
        FsResult<std::unique_ptr<posix::FolderWatch>> opened = posix::FolderWatch::open(m_request.source);
        if (!opened.ok()) {
            std::fprintf(stderr, "quillbox: cannot watch %s: %s\n", EscapeText(m_request.source).c_str(),
                         opened.status().reason.c_str());
            return kExitCannotWatch;
        }
        m_watch = std::move(opened.value());
        FolderProbe probe(*m_watch, m_leases);
        if (m_request.detail != Detail::Quiet)
            PrintLine("Watching " + WithTrailingSeparator(m_request.source) + ": files quiet for " +
                      SecondsText(m_request.settle) + " s go to " + WithTrailingSeparator(m_request.destination));
        if (!m_watch->share().empty()) {
            // Said whatever the detail: it is why files may be late, or taken
            // while a far writer still writes.
            std::fflush(stdout);
            std::fprintf(stderr,
                         "quillbox: warning: %s is on a %s file system, which tells this machine of its own changes "
                         "only: files that arrive from elsewhere are found by listing the folder every %s s, and for "
                         "them the settle time is the only guard against a writer on another machine.\n",
                         EscapeText(WithTrailingSeparator(m_request.source)).c_str(), m_watch->share().c_str(),
                         SecondsText(RepeatedListing::interval(m_request.settle)).c_str());
        }
        beginSession();
        learnTakenBack();
        rescan();
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

private:
    static int StoppedStatus()
    {
        if (const int signal = StopSignal(); signal != 0)
            return 128 + signal;
        return kExitWriteError;
    }

    // Every file of the folder, as if each had just arrived: it is taken
    // once it has been quiet for the settle time from now on. Its own times
    // do not tell: a tool that copies times sets them in the past, and a
    // share's come from another clock.
    void rescan()
    {
        m_queue.clear();
        m_leases.releaseAll();
        // Every event since the last read is there to be read: from here on
        // a change comes as an event, so the quiet time counts from here,
        // while the folder is listed.
        const auto now = m_clock.monotonic();
        FsResult<std::vector<posix::ScannedFile>> files = m_watch->scan();
        if (!files.ok())
            return; // the events that follow tell what became of the folder
        // Opened for the scan only: held, it would keep the folder's removal
        // from being told.
        const posix::UniqueFd folder(::open(m_watch->folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        std::vector<std::string> names;
        std::vector<FileLook> looks;
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
            if (file.listed)
                m_queue.found(file.name, now, file.look);
            else
                m_queue.touched(file.name, now, file.look);
            names.push_back(std::move(file.name));
            looks.push_back(file.look);
        }
        // The leases are asked for now, while the files settle, rather than
        // when they are due: a write since breaks them.
        m_leases.takeMany(m_watch->folder(), folder.get(), names, looks);
        if (!m_watch->share().empty()) {
            RepeatedListing::Listing listing;
            for (std::size_t i = 0; i < names.size(); ++i)
                listing.emplace_back(names[i], looks[i]);
            m_listing.changes(std::move(listing));
            m_nextListing = now + RepeatedListing::interval(m_request.settle);
        }
    }

    // On a share: files new or changed since the last listing are touched
    // now, as an event would have told of them.
    void listAgain()
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

    // `name` was touched at `now` and looks like `look` (looked at whole).
    void arrived(const std::string& name, Clock::Instant now, const FileLook& look)
    {
        if (!m_queue.contains(name) && cameBack(name, look))
            m_queue.setAside(name, look);
        else
            m_queue.touched(name, now, look);
    }

    // Whether `look` is a file this watch sorted, or a run taken back put
    // back, under `name`, unchanged since: the same length and modification
    // time, or, where only a listing told of it, the same inode.
    bool cameBack(const std::string& name, const FileLook& look) const
    {
        const auto found = m_putBack.find(name);
        if (found == m_putBack.end())
            return false;
        const FileLook& was = found->second;
        if (was.mtimeNs == 0 && was.size == 0)
            return was.device == look.device && was.inode == look.inode;
        return was.size == look.size && was.mtimeNs == look.mtimeNs;
    }

    // Whether a batch's files are all taken by renames: moves into bucket
    // folders on the source's file system, one that renames without
    // replacing (elsewhere a move may have to copy).
    bool takenByRename() const
    {
        if (m_request.mode != TransferMode::Move || !m_watch->usualLocal())
            return false;
        struct stat source {};
        if (::stat(m_request.source.c_str(), &source) != 0)
            return false;
        const std::string destination = WithTrailingSeparator(m_request.destination);
        struct stat st {};
        if (::stat(destination.c_str(), &st) != 0 || st.st_dev != source.st_dev)
            return false;
        for (const char letter : std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZ#")) {
            if (::stat((destination + letter).c_str(), &st) == 0 && st.st_dev != source.st_dev)
                return false;
        }
        return true;
    }

    // Notes that a session begins, so that --undo --session takes back all
    // of its batches.
    void beginSession()
    {
        const FsResult<ResolvedFolder> source = m_fs.resolveFolder(m_request.source);
        const FsResult<ResolvedFolder> destination = m_fs.resolveFolder(m_request.destination);
        FsStatus begun = source.ok() ? destination.status() : source.status();
        if (begun.ok())
            begun = posix::BeginWatchSession(m_journals.folder(), source.value().path, destination.value().path);
        if (!begun.ok())
            std::fprintf(stderr, "quillbox: warning: this watch's batches cannot be taken back as one session: %s\n",
                         EscapeText(begun.reason).c_str());
    }

    // The files that moves of runs into the same folders, taken back since,
    // put back: the newest run's record of a name counts.
    void learnTakenBack()
    {
        if (m_request.mode != TransferMode::Move)
            return;
        const FsResult<ResolvedFolder> source = m_fs.resolveFolder(m_request.source);
        const FsResult<ResolvedFolder> destination = m_fs.resolveFolder(m_request.destination);
        if (!source.ok() || !destination.ok())
            return;
        // Only the header of a journal of other folders is read.
        struct PutBack final : JournalVisitor {
            const std::string& source;
            const std::string& destination;
            bool ours = false;
            bool undone = false;
            std::vector<std::pair<std::string, FileLook>> files;
            PutBack(const std::string& from, const std::string& to) : source(from), destination(to) {}
            void header(const JournalHeader& header) override
            {
                ours = header.source.path == source && header.destination.path == destination;
            }
            bool file(const JournalFile& file) override
            {
                if (ours && file.mode == TransferMode::Move)
                    files.emplace_back(file.name, file.placed);
                return ours;
            }
            void takenBack() override { undone = true; }
        };
        for (const std::string& run : posix::RunsInFolder(m_journals.folder())) {
            PutBack putBack(source.value().path, destination.value().path);
            if (m_journals.read(run, putBack).ok() && putBack.ours && putBack.undone) {
                for (auto& [name, look] : putBack.files)
                    m_putBack.emplace(std::move(name), look);
            }
        }
    }

    // Writers opening files whose lease is held: each such file has not
    // settled, and waits anew from now.
    void leasesBroken()
    {
        const auto now = m_clock.monotonic();
        for (const std::string& name : m_leases.broken()) {
            if (const std::optional<FileLook> look = m_watch->look(name))
                m_queue.touched(name, now, *look);
            else
                m_queue.forget(name);
        }
    }

    // Status to end with, or -1 to go on.
    int takeEvents()
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

    int folderGone(posix::FolderEvent::Kind kind)
    {
        const char* what = kind == posix::FolderEvent::Kind::Moved ? "was moved or renamed"
            : kind == posix::FolderEvent::Kind::Removed            ? "was removed"
                                                                   : "was unmounted";
        std::fflush(stdout);
        std::fprintf(stderr, "quillbox: the watched folder %s %s; watching ends.\n",
                     EscapeText(WithTrailingSeparator(m_request.source)).c_str(), what);
        return kExitFolderGone;
    }

    // One run over the files of a batch. Status to end with, or -1.
    int sieve(std::vector<std::string> names, const std::vector<FileLook>& looks)
    {
        // The batch's files stay leased while they are copied, so that a
        // writer coming meanwhile waits until the copy is whole; no other
        // file stays leased. A rename leaves a writer writing to the same
        // file wherever it is, held or not, and renames a leased file at
        // half the pace: there they all go before the run (their descriptors
        // after it).
        if (takenByRename())
            m_leases.unlockAll();
        else
            m_leases.releaseAllBut(names);
        ConsoleReport console(stdout, ::isatty(STDERR_FILENO) == 1 ? stderr : nullptr, m_locale.timeSeparator, m_clock);
        DetailedReport report(console, m_request.detail, m_clock, m_controls.stop);
        BatchReport batch(report);
        SieveJob job(m_fs, m_clock, batch, &m_journals);
        report.watch(job.counters());
        report.followPlacement(WithTrailingSeparator(m_request.destination));
        RunSettings settings {m_request.source, m_request.destination, m_request.createDirs, std::move(names)};
        settings.destinationMade = std::exchange(m_destinationToRecord, false);
        // A stop signal now ends the batch between two files.
        m_gate.let();
        m_watch->quietLeaving(true);
        const RunEnd end = job.run(settings, m_controls);
        m_watch->quietLeaving(false);
        m_gate.hold();
        m_leases.releaseAll();
        // A file sorted by a move that comes back unchanged (taken back by
        // --undo, or put back by hand) is left alone.
        if (m_request.mode == TransferMode::Move) {
            if (m_putBack.size() > kPutBackKept)
                m_putBack.clear();
            for (std::size_t i = 0; i < settings.only.size() && i < looks.size(); ++i)
                m_putBack.insert_or_assign(settings.only[i], looks[i]);
        }
        if (m_nextListing)
            m_nextListing = m_clock.monotonic() + RepeatedListing::interval(m_request.settle);
        std::fflush(stdout);
        if (end == RunEnd::StoppedWhileCounting || end == RunEnd::StoppedWhileProcessing || report.outputFailed())
            return StoppedStatus();
        return -1;
    }

    const WatchRequest& m_request;
    bool m_destinationToRecord = m_request.destinationMade;
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

} // namespace

bool ParseSettle(const std::string& text, std::chrono::nanoseconds& settle)
{
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    const auto digits = [](const std::string& part) {
        return part.find_first_not_of("0123456789") == std::string::npos;
    };
    if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction) || fraction.size() > 9 ||
        whole.size() > 5 || (dot != std::string::npos && fraction.empty()))
        return false;
    long long ns = whole.empty() ? 0 : std::stoll(whole) * 1'000'000'000;
    if (!fraction.empty())
        ns += std::stoll(fraction + std::string(9 - fraction.size(), '0'));
    if (ns > 86'400LL * 1'000'000'000)
        return false;
    settle = std::chrono::nanoseconds(ns);
    return true;
}

std::string WatchFilePath(const std::string& name)
{
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        base = config;
    else if (const char* home = std::getenv("HOME"); home != nullptr)
        base = std::string(home) + "/.config";
    return base + "/quillbox/watch/" + name + ".conf";
}

bool ReadWatchFile(const std::string& name, WatchRequest& request, std::string& error)
{
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) {
        error = "the watch name " + EscapeText(name) + " is not a plain name";
        return false;
    }
    const std::string path = WatchFilePath(name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 64 * 1024) {
        error = EscapeText(path) + ": " + (fd < 0 ? std::strerror(errno) : "not a watch file");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    const ssize_t got = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);

    const char* home = std::getenv("HOME");
    int number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = Trimmed(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t equals = line.find('=');
        const std::string where = EscapeText(path) + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            error = where + "KEY = VALUE expected";
            return false;
        }
        const std::string key = Trimmed(line.substr(0, equals));
        std::string value = Trimmed(line.substr(equals + 1));
        if (value.starts_with("~/") && home != nullptr)
            value = home + value.substr(1);
        if (key == "mode" && (value == "copy" || value == "move")) {
            request.mode = value == "move" ? TransferMode::Move : TransferMode::Copy;
            request.modeGiven = true;
        } else if (key == "source" && !value.empty()) {
            request.source = value;
        } else if (key == "destination" && !value.empty()) {
            request.destination = value;
        } else if (key == "create-dirs" && (value == "yes" || value == "no")) {
            request.createDirs = value == "yes";
        } else if (key == "settle" && ParseSettle(value, request.settle)) {
        } else if (key == "ignore" && !value.empty()) {
            request.ignores.push_back(value);
        } else {
            error = where + "unknown key or bad value: " + EscapeText(line);
            return false;
        }
    }
    if (!request.modeGiven || request.source.empty() || request.destination.empty()) {
        error = EscapeText(path) + ": mode, source and destination are all needed";
        return false;
    }
    return true;
}

int RunWatch(const WatchRequest& request, JournalFolder& journals)
{
    // A watch runs for long, often as a service whose output goes to a log:
    // each line is passed on as it is written. Nothing was written yet.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    SystemClock clock;
    Watcher watcher(request, journals, clock);
    return watcher.run();
}

} // namespace quillbox::app
