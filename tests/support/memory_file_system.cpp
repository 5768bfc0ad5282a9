// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/memory_file_system.h"

#include <cerrno>
#include <stdexcept>

#include "platform/error_text.h"

namespace quillbox::test {

namespace {

constexpr std::uint64_t kDevice = 77;

std::string Trimmed(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

FsStatus Failure(int error, std::string reason = {})
{
    return {error, reason.empty() ? ErrorText(error) : std::move(reason)};
}

std::string Inside(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

TakeBackOutcome Outcome(TakeBackResult result, FsStatus why = {}, bool lasting = false)
{
    TakeBackOutcome outcome;
    outcome.result = result;
    outcome.why = std::move(why);
    outcome.lasting = lasting;
    return outcome;
}

} // namespace

// A snapshot of a folder's names, taken when the listing starts.
class MemoryFileSystem::Listing final : public FileListing {
public:
    Listing(std::vector<std::string> names, FsStatus end, int failAfter, std::function<void(int)> after)
        : m_names(std::move(names)), m_end(std::move(end)), m_failAfter(failAfter), m_after(std::move(after))
    {
    }

    const std::string& next() override
    {
        if (m_at >= m_names.size() || (m_failAfter >= 0 && m_at >= static_cast<std::size_t>(m_failAfter))) {
            if (m_failAfter >= 0)
                m_status = m_end;
            m_name.clear();
            return m_name;
        }
        m_name = m_names[m_at++];
        if (m_after)
            m_after(static_cast<int>(m_at));
        return m_name;
    }
    const FsStatus& status() const override { return m_status; }

private:
    std::vector<std::string> m_names;
    FsStatus m_end;
    int m_failAfter;
    std::function<void(int)> m_after;
    std::size_t m_at = 0;
    std::string m_name;
    FsStatus m_status;
};

class MemoryFileSystem::Run final : public RunFolders {
public:
    Run(MemoryFileSystem& fs, std::string source, std::string destination)
        : m_fs(fs), m_source(Trimmed(std::move(source))), m_destination(Trimmed(std::move(destination)))
    {
    }

    FileOutcome sieveFile(const std::string& name, char bucket, TransferMode mode, const LengthFn& length,
                          const std::atomic<bool>* stop) override
    {
        return m_fs.sieve(m_source, m_destination, name, bucket, mode, false, false, length, stop);
    }
    FileOutcome previewFile(const std::string& name, char bucket, TransferMode mode, bool bucketsWillBeMade,
                            const LengthFn& length) override
    {
        return m_fs.sieve(m_source, m_destination, name, bucket, mode, true, bucketsWillBeMade, length, nullptr);
    }

private:
    MemoryFileSystem& m_fs;
    std::string m_source;
    std::string m_destination;
};

class MemoryFileSystem::TakeBack final : public RunTakeBack {
public:
    TakeBack(MemoryFileSystem& fs, const ResolvedFolder& source, const ResolvedFolder& destination)
        : m_fs(fs)
        , m_source(Trimmed(source.path))
        , m_destination(Trimmed(destination.path))
        , m_sourceStatus(fs.folderStatus(source))
        , m_destinationStatus(fs.folderStatus(destination))
    {
    }

    const FsStatus& sourceStatus() const override { return m_sourceStatus; }
    const FsStatus& destinationStatus() const override { return m_destinationStatus; }

    TakeBackOutcome takeBack(TransferMode mode, char bucket, const std::string& name,
                             const FileIdentity& placed) override
    {
        int index = 0;
        {
            const std::lock_guard lock(m_fs.m_mutex);
            index = ++m_fs.m_takeBackIndex;
        }
        if (m_fs.beforeTakeBack)
            m_fs.beforeTakeBack(index);
        const bool move = mode == TransferMode::Move;
        if (!m_destinationStatus.ok())
            return Outcome(TakeBackResult::Skipped, m_destinationStatus, m_destinationStatus.error == ESTALE);
        if (move && !m_sourceStatus.ok())
            return Outcome(TakeBackResult::Skipped, m_sourceStatus, m_sourceStatus.error == ESTALE);

        const std::lock_guard lock(m_fs.m_mutex);
        Folder* folder = m_fs.folder(Inside(m_destination, std::string(1, bucket)));
        if (folder == nullptr)
            return Outcome(TakeBackResult::Skipped, Failure(ENOENT));
        Folder* source = m_fs.folder(m_source);
        File* file = find(*folder, name);
        if (file == nullptr) {
            // Gone from its bucket: nothing is left to do where an earlier
            // take-back did it.
            const File* back = source != nullptr ? find(*source, name) : nullptr;
            if (!move ||
                (back != nullptr && back->identity.size == placed.size && back->identity.mtimeNs == placed.mtimeNs))
                return Outcome(TakeBackResult::AlreadyBack);
            return Outcome(TakeBackResult::Skipped, Failure(ENOENT, "It is no longer where the run put it"), true);
        }
        TakeBackOutcome outcome;
        outcome.links = 1;
        outcome.seen = file->identity;
        if (!file->identity.matches(placed)) {
            outcome = Outcome(TakeBackResult::Skipped, Failure(ESTALE, "It has changed since the run"), true);
            outcome.links = 1;
            return outcome;
        }
        if (!move) {
            remove(*folder, name);
            outcome.result = TakeBackResult::Removed;
            return outcome;
        }
        if (find(*source, name) != nullptr) {
            outcome.result = TakeBackResult::Skipped;
            outcome.why = Failure(EEXIST, "Its old place " + m_source + "/" + name + " is taken again");
            outcome.lasting = true;
            return outcome;
        }
        File moved = *file;
        remove(*folder, name);
        m_fs.touch(moved.identity);
        outcome.left = moved.identity;
        source->files.push_back(std::move(moved));
        outcome.result = TakeBackResult::PutBack;
        return outcome;
    }

    FsStatus removeMadeBucket(char bucket, const FolderIdentity& made) override
    {
        if (!m_destinationStatus.ok())
            return m_destinationStatus;
        return removeFolder(Inside(m_destination, std::string(1, bucket)), made, "it is not the folder the run made");
    }

    FsStatus removeMadeDestination(const FolderIdentity& made) override
    {
        if (!m_destinationStatus.ok())
            return m_destinationStatus;
        return removeFolder(m_destination, made, "it is not the folder the run made");
    }

private:
    FsStatus removeFolder(const std::string& path, const FolderIdentity& made, const char* other)
    {
        const std::lock_guard lock(m_fs.m_mutex);
        const auto it = m_fs.m_folders.find(path);
        if (it == m_fs.m_folders.end())
            return FsStatus::success();
        if (!it->second.identity.matches(made))
            return Failure(ESTALE, other);
        const auto next = std::next(it);
        if (!it->second.files.empty() || (next != m_fs.m_folders.end() && next->first.starts_with(path + "/")))
            return Failure(ENOTEMPTY);
        m_fs.m_folders.erase(it);
        return FsStatus::success();
    }

    MemoryFileSystem& m_fs;
    std::string m_source;
    std::string m_destination;
    FsStatus m_sourceStatus;
    FsStatus m_destinationStatus;
};

MemoryFileSystem::MemoryFileSystem() = default;
MemoryFileSystem::~MemoryFileSystem() = default;

void MemoryFileSystem::addFolder(const std::string& path)
{
    const std::lock_guard lock(m_mutex);
    if (folder(path) == nullptr)
        m_folders[Trimmed(path)].identity = {kDevice, m_nextInode++, 0};
}

void MemoryFileSystem::addFile(const std::string& path, const std::string& bytes)
{
    const std::size_t slash = path.rfind('/');
    const std::lock_guard lock(m_mutex);
    Folder* in = folder(slash == 0 ? "/" : path.substr(0, slash));
    if (in == nullptr)
        throw std::runtime_error("no folder for " + path);
    const std::string name = path.substr(slash + 1);
    File* file = find(*in, name);
    if (file == nullptr) {
        in->files.push_back({name, {}, {kDevice, m_nextInode++, 0, 0, 0, 0}});
        file = &in->files.back();
    }
    file->bytes = bytes;
    file->identity.size = bytes.size();
    file->identity.mtimeNs = ++m_tick * 1000;
    touch(file->identity);
}

void MemoryFileSystem::removeFile(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::lock_guard lock(m_mutex);
    if (Folder* in = folder(path.substr(0, slash)); in != nullptr)
        remove(*in, path.substr(slash + 1));
}

bool MemoryFileSystem::hasFolder(const std::string& path) const
{
    const std::lock_guard lock(m_mutex);
    return folder(path) != nullptr;
}

bool MemoryFileSystem::hasFile(const std::string& path) const
{
    const std::size_t slash = path.rfind('/');
    const std::lock_guard lock(m_mutex);
    const Folder* in = folder(path.substr(0, slash));
    return in != nullptr && find(*in, path.substr(slash + 1)) != nullptr;
}

std::string MemoryFileSystem::bytes(const std::string& path) const
{
    const std::size_t slash = path.rfind('/');
    const std::lock_guard lock(m_mutex);
    const Folder* in = folder(path.substr(0, slash));
    const File* file = in != nullptr ? find(*in, path.substr(slash + 1)) : nullptr;
    return file != nullptr ? file->bytes : std::string();
}

FileIdentity MemoryFileSystem::identity(const std::string& path) const
{
    const std::size_t slash = path.rfind('/');
    const std::lock_guard lock(m_mutex);
    const Folder* in = folder(path.substr(0, slash));
    const File* file = in != nullptr ? find(*in, path.substr(slash + 1)) : nullptr;
    return file != nullptr ? file->identity : FileIdentity {};
}

std::vector<std::string> MemoryFileSystem::names(const std::string& path) const
{
    const std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    if (const Folder* in = folder(path); in != nullptr)
        for (const File& file : in->files)
            out.push_back(file.name);
    return out;
}

std::size_t MemoryFileSystem::filesInBuckets(const std::string& path) const
{
    const std::lock_guard lock(m_mutex);
    std::size_t count = 0;
    for (const char* letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ#"; *letters != '\0'; ++letters)
        if (const Folder* bucket = folder(Inside(Trimmed(path), std::string(1, *letters))); bucket != nullptr)
            count += bucket->files.size();
    return count;
}

MemoryFileSystem::Folder* MemoryFileSystem::folder(const std::string& path)
{
    const auto it = m_folders.find(Trimmed(path));
    return it == m_folders.end() ? nullptr : &it->second;
}

const MemoryFileSystem::Folder* MemoryFileSystem::folder(const std::string& path) const
{
    const auto it = m_folders.find(Trimmed(path));
    return it == m_folders.end() ? nullptr : &it->second;
}

MemoryFileSystem::File* MemoryFileSystem::find(Folder& folder, const std::string& name)
{
    for (File& file : folder.files)
        if (file.name == name)
            return &file;
    return nullptr;
}

const MemoryFileSystem::File* MemoryFileSystem::find(const Folder& folder, const std::string& name)
{
    return find(const_cast<Folder&>(folder), name);
}

void MemoryFileSystem::remove(Folder& folder, const std::string& name)
{
    for (auto it = folder.files.begin(); it != folder.files.end(); ++it) {
        if (it->name == name) {
            folder.files.erase(it);
            return;
        }
    }
}

std::unique_ptr<FileListing> MemoryFileSystem::listFiles(const std::string& path)
{
    // A folder that cannot be opened has no files to sort.
    ++listings;
    return std::make_unique<Listing>(names(path), FsStatus::success(), -1, afterCounted);
}

std::unique_ptr<FileListing> MemoryFileSystem::listFilesAgain(const std::string& path)
{
    ++listings;
    if (!hasFolder(path))
        return std::make_unique<Listing>(std::vector<std::string> {}, Failure(ENOENT), 0, nullptr);
    return std::make_unique<Listing>(names(path), Failure(listingError), failListingAgainAfter, nullptr);
}

FsStatus MemoryFileSystem::createFolder(const std::string& path)
{
    const std::string trimmed = Trimmed(path);
    const std::size_t slash = trimmed.rfind('/');
    {
        const std::lock_guard lock(m_mutex);
        if (folder(trimmed) != nullptr)
            return Failure(EEXIST);
        if (slash == std::string::npos || folder(slash == 0 ? "/" : trimmed.substr(0, slash)) == nullptr)
            return Failure(ENOENT);
    }
    addFolder(trimmed);
    return FsStatus::success();
}

std::unique_ptr<RunFolders> MemoryFileSystem::openRun(const std::string& source, const std::string& destination)
{
    return std::make_unique<Run>(*this, source, destination);
}

FileOutcome MemoryFileSystem::sieve(const std::string& sourcePath, const std::string& destinationPath,
                                    const std::string& name, char bucket, TransferMode mode, bool preview,
                                    bool bucketsWillBeMade, const LengthFn& length, const std::atomic<bool>* stop)
{
    if (!preview) {
        ++transfers;
        int index = 0;
        {
            const std::lock_guard lock(m_mutex);
            index = ++m_transferIndex;
        }
        if (beforeFile)
            beforeFile(name, index);
    }
    const std::lock_guard lock(m_mutex);
    Folder* source = folder(sourcePath);
    File* file = source != nullptr ? find(*source, name) : nullptr;
    if (const auto fault = examineErrors.find(name); fault != examineErrors.end())
        return {FileStage::Examine, Failure(fault->second)};
    if (file == nullptr)
        return {FileStage::Examine, Failure(ENOENT)};
    if (length)
        length(file->bytes.size());
    if (const auto fault = transferErrors.find(name); fault != transferErrors.end())
        return {FileStage::Transfer, Failure(fault->second)};
    const std::string bucketPath = Inside(destinationPath, std::string(1, bucket));
    Folder* target = folder(bucketPath);
    if (target == nullptr) {
        if (preview && bucketsWillBeMade && folder(destinationPath) != nullptr)
            return {};
        return {FileStage::Transfer, Failure(ENOENT)};
    }
    File* there = find(*target, name);
    const bool move = mode == TransferMode::Move;
    if (move && there != nullptr)
        return {FileStage::Transfer, Failure(EEXIST)};
    // A copy in progress is abandoned once Stop is pressed.
    if (!move && stop != nullptr && stop->load())
        return {FileStage::Transfer, Failure(ECANCELED)};
    FileOutcome outcome;
    outcome.replaced = there != nullptr;
    if (preview)
        return outcome;
    File placed = *file;
    if (move) {
        remove(*source, name);
    } else {
        placed.identity.inode = m_nextInode++;
    }
    touch(placed.identity);
    outcome.placed = placed.identity;
    if (there != nullptr)
        *there = std::move(placed);
    else
        target->files.push_back(std::move(placed));
    return outcome;
}

FsResult<ResolvedFolder> MemoryFileSystem::resolveFolder(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return Failure(EINVAL, "not an absolute path");
    const std::string trimmed = Trimmed(path);
    ResolvedFolder resolved {trimmed == "/" ? trimmed : trimmed + "/", {}};
    const std::lock_guard lock(m_mutex);
    if (const Folder* found = folder(trimmed); found != nullptr)
        resolved.identity = found->identity;
    return resolved;
}

FsResult<FolderIdentity> MemoryFileSystem::folderIdentity(const std::string& path)
{
    const std::lock_guard lock(m_mutex);
    const Folder* found = folder(path);
    if (found == nullptr)
        return Failure(ENOENT);
    return found->identity;
}

FsStatus MemoryFileSystem::folderStatus(const ResolvedFolder& resolved) const
{
    const std::lock_guard lock(m_mutex);
    const Folder* found = folder(resolved.path);
    if (found == nullptr)
        return Failure(ENOENT);
    if (!found->identity.matches(resolved.identity))
        return Failure(ESTALE, "It is not the folder the run used");
    return FsStatus::success();
}

std::unique_ptr<RunTakeBack> MemoryFileSystem::openTakeBack(const ResolvedFolder& source,
                                                            const ResolvedFolder& destination)
{
    return std::make_unique<TakeBack>(*this, source, destination);
}

} // namespace quillbox::test
