// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/journal_files.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ports/fs_try.h"
#include "platform/error_text.h"
#include "platform/journal_retention.h"
#include "platform/journal_writer.h"
#include "platform/take_back_looks.h"
#include "platform/unique_fd.h"

namespace quillbox {

namespace {

using posix::UniqueFd;

constexpr std::string_view kPrefix = "run-";
constexpr std::string_view kSuffix = ".journal";
constexpr std::string_view kFirstLine = "quillbox journal ";

// Opens the journals' folder, never through a link, and keeps it private;
// with `make`, makes it and the folders above it where they are missing.
FsResult<UniqueFd> OpenFolder(const std::string& path, bool make)
{
    if (make) {
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
            ::mkdir(path.substr(0, slash).c_str(), 0700);
        ::mkdir(path.c_str(), 0700);
    }
    UniqueFd folder(posix::OpenRetrying(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) {
        if (errno == ELOOP || errno == ENOTDIR)
            return posix::Failure(errno, "its folder " + path + " is not a folder but a link or a file");
        return posix::Failure(errno);
    }
    struct stat st {};
    if (::fstat(folder.get(), &st) != 0)
        return posix::Failure(errno);
    if (st.st_uid != ::geteuid())
        return posix::Failure(EPERM, "its folder " + path + " belongs to another user");
    if ((st.st_mode & 077) != 0 && ::fchmod(folder.get(), 0700) != 0)
        return posix::Failure(errno);
    return folder;
}

// The sequence number of a journal's file name, or 0 where it is none.
std::uint64_t SequenceOf(std::string_view name)
{
    if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix))
        return 0;
    const std::string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    std::uint64_t sequence = 0;
    if (digits.empty() || digits.size() > 18 || digits[0] == '0' ||
        std::from_chars(digits.data(), digits.data() + digits.size(), sequence).ptr != digits.data() + digits.size())
        return 0;
    return sequence;
}

std::string IdOf(std::uint64_t sequence)
{
    return std::string(kPrefix) + std::to_string(sequence);
}

std::string FileNameOf(const std::string& id)
{
    return id + std::string(kSuffix);
}

// The sequence numbers of the journals in the folder, newest first.
std::vector<std::uint64_t> Sequences(int folder)
{
    std::vector<std::uint64_t> found;
    DIR* dir = ::fdopendir(::dup(folder));
    if (dir == nullptr)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        if (const std::uint64_t sequence = SequenceOf(entry->d_name); sequence != 0)
            found.push_back(sequence);
    }
    ::closedir(dir);
    std::sort(found.rbegin(), found.rend());
    return found;
}

// Opens a journal to read: a regular file only, never a link, and never
// waiting on a FIFO that took a journal's name.
FsResult<UniqueFd> OpenJournal(int folder, const std::string& id, int flags)
{
    if (SequenceOf(FileNameOf(id)) == 0)
        return posix::Failure(ENOENT, "No such run");
    UniqueFd fd(
        posix::OpenRetrying(folder, FileNameOf(id).c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid())
        return errno == ENOENT ? posix::Failure(ENOENT, "No such run") : posix::Failure(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return posix::Failure(errno);
    if (!S_ISREG(st.st_mode))
        return posix::Failure(EINVAL, "Its journal is not a regular file");
    return fd;
}

// Takes the lock on a journal that its run holds while it writes and an
// undo while it takes the run back; EBUSY where another holds it. A file
// system that keeps no such locks holds none, as before there were any.
FsStatus LockJournal(int fd, bool wait)
{
    for (;;) {
        if (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0)
            return FsStatus::success();
        if (errno == EWOULDBLOCK)
            return posix::Failure(EBUSY, "Its run is still going, or another undo is taking it back");
        if (errno != EINTR)
            return FsStatus::success();
    }
}

class HeldJournal final : public JournalHold {
public:
    explicit HeldJournal(UniqueFd fd) : m_fd(std::move(fd)) {}

private:
    UniqueFd m_fd; // its lock goes with it
};

class DescriptorBytes final : public JournalBytes {
public:
    explicit DescriptorBytes(int fd) : m_fd(fd) {}
    FsResult<std::size_t> read(char* into, std::size_t size) override
    {
        for (;;) {
            const ssize_t got = ::read(m_fd, into, size);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR)
                return posix::Failure(errno);
        }
    }

private:
    int m_fd;
};

// Whether the journal file `id` starts as a journal does: only such a file
// is ever pruned.
bool CarriesJournalStart(int folder, const std::string& id)
{
    FsResult<UniqueFd> fd = OpenJournal(folder, id, O_RDONLY);
    if (!fd.ok())
        return false;
    char start[kFirstLine.size()];
    return ::read(fd.value().get(), start, sizeof start) == static_cast<ssize_t>(sizeof start) &&
        std::string_view(start, sizeof start) == kFirstLine;
}

FsResult<JournalSummary> Summarize(int folder, const std::string& id)
{
    QB_TRY_ASSIGN(const UniqueFd fd, OpenJournal(folder, id, O_RDONLY));
    DescriptorBytes bytes(fd.get());
    return SummarizeJournal(bytes, id);
}

// Removes the journals the retention rule lets go; only a file that carries
// a journal's first line is ever removed.
void PruneJournals(int dir, const std::vector<std::uint64_t>& sequences, std::uint64_t started, std::int64_t now)
{
    std::vector<StoredJournal> stored;
    stored.reserve(sequences.size() + 1);
    stored.push_back({started, 0, 0});
    for (const std::uint64_t sequence : sequences) {
        struct stat st {};
        if (sequence != started && ::fstatat(dir, FileNameOf(IdOf(sequence)).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            stored.push_back({sequence, static_cast<std::int64_t>(st.st_mtim.tv_sec),
                              static_cast<std::uint64_t>(st.st_blocks) * 512});
    }
    for (const std::uint64_t sequence : JournalsToPrune(std::move(stored), started, now)) {
        // A journal a run or an undo holds (its lock) is still in use: it
        // stays, to be pruned another time.
        FsResult<UniqueFd> fd = OpenJournal(dir, IdOf(sequence), O_RDONLY);
        if (!fd.ok() || ::flock(fd.value().get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (CarriesJournalStart(dir, IdOf(sequence)))
            ::unlinkat(dir, FileNameOf(IdOf(sequence)).c_str(), 0);
    }
}

} // namespace

JournalFolder::JournalFolder(std::string folder, Clock* clock)
    : m_folder(std::move(folder)), m_clock(clock != nullptr ? *clock : m_systemClock)
{
}

std::string JournalFolder::DefaultFolder()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/quillbox/runs";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/quillbox/runs";
}

FsResult<std::unique_ptr<JournalWriter>> JournalFolder::startRun(const JournalHeader& header)
{
    QB_TRY_ASSIGN(const UniqueFd folder, OpenFolder(m_folder, true));
    const int dir = folder.get();
    const std::vector<std::uint64_t> existing = Sequences(dir);
    JournalHeader numbered = header;
    numbered.sequence = existing.empty() ? 1 : existing.front() + 1;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd.valid(); ++attempt, ++numbered.sequence) {
        fd.reset(::openat(dir, FileNameOf(IdOf(numbered.sequence)).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid() && errno != EEXIST)
            return posix::Failure(errno);
    }
    if (!fd.valid())
        return posix::Failure(EEXIST);
    --numbered.sequence;
    // The run holds its journal from before its first record to its end,
    // so that no undo takes it back while it goes on. An undo that looked
    // at the new file first found no header in it, and leaves it at once.
    QB_TRY(LockJournal(fd.get(), true));
    // The header goes out at once: a run killed early still has its journal.
    QB_TRY(WriteAll(fd.get(), JournalStart(numbered)));

    PruneJournals(dir, existing, numbered.sequence, m_clock.wallSeconds());
    return FsResult<std::unique_ptr<JournalWriter>>(std::make_unique<FileJournalWriter>(std::move(fd)));
}

std::vector<JournalSummary> JournalFolder::list()
{
    std::vector<JournalSummary> summaries;
    FsResult<UniqueFd> folder = OpenFolder(m_folder, false);
    if (!folder.ok())
        return summaries;
    for (const std::uint64_t sequence : Sequences(folder.value().get())) {
        if (FsResult<JournalSummary> run = Summarize(folder.value().get(), IdOf(sequence)); run.ok())
            summaries.push_back(std::move(run.value()));
    }
    return summaries;
}

std::optional<JournalSummary> JournalFolder::newestToTakeBack()
{
    FsResult<UniqueFd> folder = OpenFolder(m_folder, false);
    if (!folder.ok())
        return std::nullopt;
    for (const std::uint64_t sequence : Sequences(folder.value().get())) {
        FsResult<JournalSummary> run = Summarize(folder.value().get(), IdOf(sequence));
        if (run.ok() && !run.value().takenBack && run.value().changedAnything())
            return std::move(run.value());
    }
    return std::nullopt;
}

FsResult<JournalSummary> JournalFolder::summary(const std::string& id)
{
    FsResult<UniqueFd> folder = OpenFolder(m_folder, false);
    if (!folder.ok())
        return folder.status().error == ENOENT ? posix::Failure(ENOENT, "No such run") : folder.status();
    return Summarize(folder.value().get(), id);
}

FsStatus JournalFolder::read(const std::string& id, JournalVisitor& visitor)
{
    QB_TRY_ASSIGN(const UniqueFd folder, OpenFolder(m_folder, false));
    QB_TRY_ASSIGN(const UniqueFd fd, OpenJournal(folder.get(), id, O_RDONLY));
    DescriptorBytes bytes(fd.get());
    return ReadJournal(bytes, visitor);
}

FsResult<std::unique_ptr<JournalHold>> JournalFolder::hold(const std::string& id)
{
    QB_TRY_ASSIGN(const UniqueFd folder, OpenFolder(m_folder, false));
    QB_TRY_ASSIGN(UniqueFd fd, OpenJournal(folder.get(), id, O_RDONLY));
    QB_TRY(LockJournal(fd.get(), false));
    return std::unique_ptr<JournalHold>(std::make_unique<HeldJournal>(std::move(fd)));
}

FsStatus JournalFolder::appendRecord(const std::string& id, std::string_view record)
{
    QB_TRY_ASSIGN(const UniqueFd folder, OpenFolder(m_folder, false));
    QB_TRY_ASSIGN(const UniqueFd fd, OpenJournal(folder.get(), id, O_WRONLY | O_APPEND));
    QB_TRY(WriteAll(fd.get(), record));
    while (::fsync(fd.get()) != 0) {
        if (errno != EINTR)
            return posix::Failure(errno);
    }
    return FsStatus::success();
}

} // namespace quillbox
