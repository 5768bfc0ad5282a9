#include "platform/journal_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error_text.h"
#include "platform/unique_fd.h"

namespace quillbox {

namespace {

constexpr std::string_view kSuffix = ".journal";

long CoarseMs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

FsStatus WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return posix::Failure(errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return FsStatus::success();
}

// Makes a folder and those above it, private to the user where it is new.
FsStatus MakeFolders(const std::string& path)
{
    std::string partial;
    for (std::size_t at = 0; at != std::string::npos;) {
        const std::size_t slash = path.find('/', at + 1);
        partial = path.substr(0, slash);
        at = slash;
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return posix::Failure(errno);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return posix::Failure(errno);
    if (!S_ISDIR(st.st_mode))
        return posix::Failure(ENOTDIR);
    return FsStatus::success();
}

class FileJournalWriter final : public JournalWriter {
public:
    explicit FileJournalWriter(int fd) : m_fd(fd), m_lastWrite(CoarseMs()) {}
    ~FileJournalWriter() override { flush(); }

    FsStatus file(const PlacedInRun& file) override
    {
        AppendJournalFile(m_pending, file);
        return flushWhenDue();
    }
    FsStatus folder(const std::string& path) override
    {
        AppendJournalFolder(m_pending, path);
        return flushWhenDue();
    }
    FsStatus flush() override
    {
        m_lastWrite = CoarseMs();
        if (m_pending.empty())
            return FsStatus::success();
        FsStatus written = WriteAll(m_fd.get(), m_pending);
        // What could not be written is not kept for ever either.
        m_pending.clear();
        return written;
    }

private:
    FsStatus flushWhenDue()
    {
        if (m_pending.size() < JournalFolder::kBatchBytes && CoarseMs() - m_lastWrite < JournalFolder::kBatchMs)
            return FsStatus::success();
        return flush();
    }

    posix::UniqueFd m_fd;
    std::string m_pending;
    long m_lastWrite;
};

FsResult<std::string> ReadWhole(const std::string& path)
{
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return posix::Failure(errno);
    std::string bytes;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return posix::Failure(errno);
        }
        if (got == 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace

JournalFolder::JournalFolder(std::string folder) : m_folder(std::move(folder)) {}

std::string JournalFolder::DefaultFolder()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/quillbox/runs";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/quillbox/runs";
}

std::string JournalFolder::pathOf(const std::string& id) const
{
    return m_folder + "/" + id + std::string(kSuffix);
}

std::vector<std::string> JournalFolder::ids() const
{
    std::vector<std::string> found;
    DIR* dir = ::opendir(m_folder.c_str());
    if (dir == nullptr)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() > kSuffix.size() && name.ends_with(kSuffix) && name[0] != '.')
            found.emplace_back(name.substr(0, name.size() - kSuffix.size()));
    }
    ::closedir(dir);
    std::sort(found.rbegin(), found.rend());
    return found;
}

FsResult<std::unique_ptr<JournalWriter>> JournalFolder::startRun(const JournalHeader& header)
{
    if (FsStatus made = MakeFolders(m_folder); !made.ok())
        return made;
    // Named after the moment in UTC, to the nanosecond, and the process.
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc {};
    ::gmtime_r(&now.tv_sec, &utc);
    char id[64];
    std::snprintf(id, sizeof id, "%04d%02d%02d-%02d%02d%02d.%09ld-%d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec, static_cast<int>(::getpid()));
    const int fd = ::open(pathOf(id).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return posix::Failure(errno);
    auto writer = std::make_unique<FileJournalWriter>(fd);
    // The header goes out at once: a run killed early still has its journal.
    if (FsStatus written = WriteAll(fd, JournalStart(header)); !written.ok())
        return written;
    prune();
    return FsResult<std::unique_ptr<JournalWriter>>(std::move(writer));
}

void JournalFolder::prune()
{
    const std::vector<std::string> all = ids();
    for (std::size_t i = kJournalsKept; i < all.size(); ++i)
        ::unlink(pathOf(all[i]).c_str());
}

std::vector<JournalSummary> JournalFolder::list()
{
    std::vector<JournalSummary> summaries;
    for (const std::string& id : ids()) {
        if (std::optional<JournalSummary> run = summaryOf(id))
            summaries.push_back(std::move(*run));
    }
    return summaries;
}

std::optional<JournalSummary> JournalFolder::newest()
{
    for (const std::string& id : ids()) {
        if (std::optional<JournalSummary> run = summaryOf(id))
            return run;
    }
    return std::nullopt;
}

std::optional<JournalSummary> JournalFolder::summaryOf(const std::string& id)
{
    FsResult<std::string> bytes = ReadWhole(pathOf(id));
    JournalSummary summary;
    if (!bytes.ok() || !SummarizeJournal(bytes.value(), summary))
        return std::nullopt;
    summary.id = id;
    return summary;
}

FsResult<Journal> JournalFolder::read(const std::string& id)
{
    if (id.empty() || id.find('/') != std::string::npos || id[0] == '.')
        return posix::Failure(ENOENT, "No such run");
    FsResult<std::string> bytes = ReadWhole(pathOf(id));
    if (!bytes.ok())
        return bytes.status().error == ENOENT ? posix::Failure(ENOENT, "No such run") : bytes.status();
    Journal journal;
    if (!ParseJournal(bytes.value(), journal))
        return posix::Failure(EINVAL, "Not a journal of a run");
    journal.id = id;
    return journal;
}

FsStatus JournalFolder::markTakenBack(const std::string& id)
{
    posix::UniqueFd fd(::open(pathOf(id).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd.valid())
        return posix::Failure(errno);
    std::string record;
    AppendJournalTakenBack(record);
    return WriteAll(fd.get(), record);
}

} // namespace quillbox
