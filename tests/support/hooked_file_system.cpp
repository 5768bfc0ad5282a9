#include "tests/support/hooked_file_system.h"

#include <chrono>
#include <cstring>

#include "platform/posix_file_system.h"

namespace quillbox::test {

namespace {

constexpr auto kGateBound = std::chrono::seconds(30);

class HookedListing final : public FileListing {
public:
    HookedListing(std::unique_ptr<FileListing> inner, std::function<void(int)> afterName, int failAfter, int error)
        : m_inner(std::move(inner)), m_afterName(std::move(afterName)), m_failAfter(failAfter), m_error(error)
    {
    }

    const std::string& next() override
    {
        if (m_failAfter >= 0 && m_given == m_failAfter) {
            m_status = FsStatus {m_error, std::strerror(m_error)};
            m_empty.clear();
            return m_empty;
        }
        const std::string& name = m_inner->next();
        if (!name.empty()) {
            ++m_given;
            if (m_afterName)
                m_afterName(m_given);
        }
        return name;
    }
    const FsStatus& status() const override { return m_status.ok() ? m_inner->status() : m_status; }

private:
    std::unique_ptr<FileListing> m_inner;
    std::function<void(int)> m_afterName;
    int m_failAfter;
    int m_error;
    int m_given = 0;
    FsStatus m_status;
    std::string m_empty;
};

class HookedFolders final : public RunFolders {
public:
    HookedFolders(std::unique_ptr<RunFolders> inner, HookedFileSystem& fs, int& handled)
        : m_inner(std::move(inner)), m_fs(fs), m_handled(handled)
    {
    }
    FileOutcome sieveFile(const std::string& name, char bucket, TransferMode mode, const LengthFn& length,
                          const std::atomic<bool>* stop) override
    {
        if (m_fs.beforeFile)
            m_fs.beforeFile(name, m_handled + 1);
        FileOutcome outcome = m_inner->sieveFile(name, bucket, mode, length, stop);
        ++m_handled;
        if (m_fs.afterFile)
            m_fs.afterFile(m_handled);
        return outcome;
    }

    FileOutcome previewFile(const std::string& name, char bucket, TransferMode mode, bool bucketsWillBeMade,
                            const LengthFn& length) override
    {
        return m_inner->previewFile(name, bucket, mode, bucketsWillBeMade, length);
    }

private:
    std::unique_ptr<RunFolders> m_inner;
    HookedFileSystem& m_fs;
    int& m_handled;
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

HookedFileSystem::HookedFileSystem(FileSystem* inner)
    : m_own(inner == nullptr ? std::make_unique<PosixFileSystem>() : nullptr)
    , m_inner(inner == nullptr ? m_own.get() : inner)
{
}

HookedFileSystem::~HookedFileSystem() = default;

std::unique_ptr<FileListing> HookedFileSystem::listFiles(const std::string& folder)
{
    // A run lists the source twice: first to count, then, again, to handle.
    ++listings;
    return std::make_unique<HookedListing>(m_inner->listFiles(folder), afterCounted, -1, listingError);
}

std::unique_ptr<FileListing> HookedFileSystem::listFilesAgain(const std::string& folder)
{
    ++listings;
    return std::make_unique<HookedListing>(m_inner->listFilesAgain(folder), nullptr, failListingAfter, listingError);
}

FsStatus HookedFileSystem::createFolder(const std::string& path)
{
    return m_inner->createFolder(path);
}

std::unique_ptr<RunFolders> HookedFileSystem::openRun(const std::string& source, const std::string& destination)
{
    m_handled = 0;
    return std::make_unique<HookedFolders>(m_inner->openRun(source, destination), *this, m_handled);
}

namespace {

class HookedTakeBack final : public RunTakeBack {
public:
    HookedTakeBack(std::unique_ptr<RunTakeBack> inner, const std::function<void(int)>& before, int& count)
        : m_inner(std::move(inner)), m_before(before), m_count(count)
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
    FsStatus removeMadeBucket(char bucket, const FolderIdentity& made) override
    {
        return m_inner->removeMadeBucket(bucket, made);
    }

private:
    std::unique_ptr<RunTakeBack> m_inner;
    const std::function<void(int)>& m_before;
    int& m_count;
};

} // namespace

std::unique_ptr<RunTakeBack> HookedFileSystem::openTakeBack(const ResolvedFolder& source,
                                                            const ResolvedFolder& destination)
{
    return std::make_unique<HookedTakeBack>(m_inner->openTakeBack(source, destination), beforeTakeBack, m_takenBack);
}

} // namespace quillbox::test
