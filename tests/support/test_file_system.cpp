// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/test_file_system.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/journal/journal.h"
#include "platform/error_text.h"
#include "platform/system_calls.h"

namespace quillbox::test {

namespace {

constexpr auto kGateBound = std::chrono::seconds(30);

class HookedListing final : public FileListing {
public:
    HookedListing(std::unique_ptr<FileListing> inner, std::function<void(int)> afterName, int failAfter, int error,
                  std::string& last)
        : m_inner(std::move(inner))
        , m_afterName(std::move(afterName))
        , m_failAfter(failAfter)
        , m_error(error)
        , m_last(last)
    {
    }

    const std::string& next() override
    {
        if (m_failAfter >= 0 && m_given == m_failAfter) {
            m_status = FsStatus {m_error, ErrorText(m_error)};
            m_empty.clear();
            return m_empty;
        }
        m_last = m_inner->next();
        if (!m_last.empty()) {
            ++m_given;
            if (m_afterName)
                m_afterName(m_given);
        }
        return m_last;
    }
    const FsStatus& status() const override { return m_status.ok() ? m_inner->status() : m_status; }
    bool lastMayBeLink() const override { return m_inner->lastMayBeLink(); }

private:
    std::unique_ptr<FileListing> m_inner;
    std::function<void(int)> m_afterName;
    int m_failAfter;
    int m_error;
    std::string& m_last;
    int m_given = 0;
    FsStatus m_status;
    std::string m_empty;
};

class HookedFolders final : public RunFolders {
public:
    HookedFolders(std::unique_ptr<RunFolders> inner, std::string source, TestFileSystem& fs, std::atomic<int>& handled)
        : m_inner(std::move(inner)), m_source(std::move(source)), m_fs(fs), m_handled(handled)
    {
    }
    FileOutcome sieveFile(const std::string& name, char bucket, TransferMode mode, const LengthFn& length,
                          const std::atomic<bool>* stop) override
    {
        if (m_fs.beforeFile)
            m_fs.beforeFile(name, m_handled + 1);
        if (m_fs.beforeLength)
            m_fs.beforeLength(m_source + name);
        FileOutcome outcome = m_inner->sieveFile(name, bucket, mode, length, stop);
        if (m_fs.outcomeOf)
            m_fs.outcomeOf(name, outcome);
        const int handled = ++m_handled;
        if (m_fs.afterFile)
            m_fs.afterFile(handled);
        return outcome;
    }

    void noticePlacements(PlacementNotice* notice) override { m_inner->noticePlacements(notice); }
    FileOutcome previewFile(const std::string& name, char bucket, TransferMode mode, bool bucketsWillBeMade,
                            const LengthFn& length) override
    {
        return m_inner->previewFile(name, bucket, mode, bucketsWillBeMade, length);
    }

private:
    std::unique_ptr<RunFolders> m_inner;
    std::string m_source;
    TestFileSystem& m_fs;
    std::atomic<int>& m_handled;
};

class HookedTakeBack final : public RunTakeBack {
public:
    HookedTakeBack(std::unique_ptr<RunTakeBack> inner, const std::function<void(int)>& before, std::atomic<int>& count,
                   const std::function<int(char)>& removeFault)
        : m_inner(std::move(inner)), m_before(before), m_count(count), m_removeFault(removeFault)
    {
    }
    const FsStatus& sourceStatus() const override { return m_inner->sourceStatus(); }
    const FsStatus& destinationStatus() const override { return m_inner->destinationStatus(); }
    TakeBackOutcome takeBack(TransferMode mode, char bucket, const std::string& name,
                             const FileIdentity& placed) override
    {
        if (m_before)
            m_before(++m_count);
        return m_inner->takeBack(mode, bucket, name, placed);
    }
    TakeBackOutcome takeBackIntended(TransferMode mode, char bucket, const std::string& name,
                                     const FileIdentity& before) override
    {
        return m_inner->takeBackIntended(mode, bucket, name, before);
    }
    FsStatus removeMadeBucket(char bucket, const FolderIdentity& made) override
    {
        if (const int error = m_removeFault ? m_removeFault(bucket) : 0; error != 0)
            return {error, std::strerror(error)};
        return m_inner->removeMadeBucket(bucket, made);
    }
    FsStatus removeMadeDestination(const FolderIdentity& made) override
    {
        if (const int error = m_removeFault ? m_removeFault(kMadeDestination) : 0; error != 0)
            return {error, std::strerror(error)};
        return m_inner->removeMadeDestination(made);
    }

private:
    std::unique_ptr<RunTakeBack> m_inner;
    const std::function<void(int)>& m_before;
    std::atomic<int>& m_count;
    const std::function<int(char)>& m_removeFault;
};

} // namespace

void Gate::pass()
{
    std::unique_lock lock(m_mutex);
    m_reached.store(true);
    m_released.wait_for(lock, kGateBound, [this] { return m_open; });
}

void Gate::release()
{
    {
        const std::lock_guard lock(m_mutex);
        m_open = true;
    }
    m_released.notify_all();
}

class TestFileSystem::Calls final : public SystemCalls {
public:
    explicit Calls(TestFileSystem& fs) : m_fs(fs) {}

    int renameNoReplace(int fromDir, const char* from, int toDir, const char* to) override
    {
        ++m_fs.noReplaceCalls;
        if (m_fs.beforeNoReplace)
            m_fs.beforeNoReplace(from, to);
        const int error = m_fs.noReplaceError;
        if (error != 0 && (error != EXDEV || fromDir != toDir))
            return Fail(error);
        return SystemCalls::renameNoReplace(fromDir, from, toDir, to);
    }
    int renameReplace(int fromDir, const char* from, int toDir, const char* to) override
    {
        ++m_fs.replaceCalls;
        if (m_fs.replaceError != 0)
            return Fail(m_fs.replaceError);
        return SystemCalls::renameReplace(fromDir, from, toDir, to);
    }
    int link(int fromDir, const char* from, int toDir, const char* to, int flags) override
    {
        ++m_fs.linkCalls;
        if (m_fs.linkError != 0)
            return Fail(m_fs.linkError);
        return SystemCalls::link(fromDir, from, toDir, to, flags);
    }
    int openAnonymous(int dir, int flags, mode_t mode) override
    {
        ++m_fs.anonymousCalls;
        if (m_fs.anonymousError != 0)
            return Fail(m_fs.anonymousError);
        return SystemCalls::openAnonymous(dir, flags, mode);
    }
    ssize_t copyRange(int in, off_t* inOffset, int out, off_t* outOffset, std::size_t length) override
    {
        if (m_fs.beforeCopyRange)
            m_fs.beforeCopyRange();
        if (m_fs.copyRangeError != 0)
            return Fail(m_fs.copyRangeError);
        return SystemCalls::copyRange(in, inOffset, out, outOffset, length);
    }
    DIR* openDirectory(const char* path) override
    {
        if (m_fs.openDirectoryError != 0) {
            errno = m_fs.openDirectoryError;
            return nullptr;
        }
        return SystemCalls::openDirectory(path);
    }
    int lookAt(int dir, const char* name, struct stat* st, int flags) override
    {
        if (m_fs.lookFault) {
            if (const int error = m_fs.lookFault(name, flags); error != 0)
                return Fail(error);
        }
        return SystemCalls::lookAt(dir, name, st, flags);
    }
    int syncFile(int fd) override
    {
        ++m_fs.syncCalls;
        if (m_fs.syncFault) {
            if (const int error = m_fs.syncFault(fd); error != 0)
                return Fail(error);
        }
        const int done = SystemCalls::syncFile(fd);
        if (done != 0)
            ++m_fs.syncsFailed;
        return done;
    }
    dirent* readDirectory(DIR* dir) override
    {
        if (m_fs.listingErrorAfter >= 0 && m_entries++ >= m_fs.listingErrorAfter) {
            errno = m_fs.listingError;
            return nullptr;
        }
        dirent* entry = SystemCalls::readDirectory(dir);
        if (entry != nullptr && m_fs.listingWithoutTypes)
            entry->d_type = DT_UNKNOWN;
        return entry;
    }
    std::int64_t monotonicNanoseconds() override
    {
        return m_fs.clockMs >= 0 ? m_fs.clockMs * 1000000 : SystemCalls::monotonicNanoseconds();
    }

    int m_entries = 0;

private:
    static int Fail(int error)
    {
        errno = error;
        return -1;
    }

    TestFileSystem& m_fs;
};

TestFileSystem::TestFileSystem()
    : m_calls(std::make_unique<Calls>(*this)), m_real(std::make_unique<PosixFileSystem>(*m_calls))
{
}

TestFileSystem::~TestFileSystem() = default;

std::unique_ptr<FileListing> TestFileSystem::listFiles(const std::string& folder)
{
    ++listings;
    m_calls->m_entries = 0;
    return std::make_unique<HookedListing>(m_real->listFiles(folder), afterCounted, -1, listingError, lastListed);
}

std::unique_ptr<FileListing> TestFileSystem::listFilesAgain(const std::string& folder)
{
    ++listings;
    m_calls->m_entries = 0;
    return std::make_unique<HookedListing>(m_real->listFilesAgain(folder), afterListedAgain, failListingAfter,
                                           listingError, lastListed);
}

FsStatus TestFileSystem::createFolder(const std::string& path)
{
    return m_real->createFolder(path);
}

FsStatus TestFileSystem::createNotedFolder(const std::string& path,
                                           const std::function<void(const std::string& madeAs)>& made)
{
    return m_real->createNotedFolder(path, [&](const std::string& madeAs) {
        if (beforeFolderNoted)
            beforeFolderNoted(path, madeAs);
        made(madeAs);
        if (afterFolderNoted)
            afterFolderNoted(path, madeAs);
    });
}

FsResult<ResolvedFolder> TestFileSystem::resolveFolder(const std::string& path)
{
    FsResult<ResolvedFolder> resolved = m_real->resolveFolder(path);
    if (resolved.ok() && identityFailures > 0) {
        --identityFailures;
        resolved.value().identity = {};
    }
    return resolved;
}

FsResult<FolderIdentity> TestFileSystem::folderIdentity(const std::string& path)
{
    if (identityFailures > 0) {
        --identityFailures;
        return FsStatus {identityError, ErrorText(identityError)};
    }
    if (identityFault) {
        if (const int error = identityFault(path); error != 0)
            return FsStatus {error, ErrorText(error)};
    }
    return m_real->folderIdentity(path);
}

std::unique_ptr<RunFolders> TestFileSystem::openRun(const std::string& source, const std::string& destination)
{
    m_handled = 0;
    return std::make_unique<HookedFolders>(m_real->openRun(source, destination), source, *this, m_handled);
}

InFlight TestFileSystem::filesInFlight(const std::string& source, const std::string& destination, TransferMode mode)
{
    (void)source;
    (void)destination;
    (void)mode;
    return {inFlight, claim};
}

std::unique_ptr<RunTakeBack> TestFileSystem::openTakeBack(const ResolvedFolder& source,
                                                          const ResolvedFolder& destination)
{
    return std::make_unique<HookedTakeBack>(m_real->openTakeBack(source, destination), beforeTakeBack, m_takenBack,
                                            removeFolderFault);
}

} // namespace quillbox::test
