// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <dirent.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "core/ports/file_system.h"
#include "platform/system_calls.h"

namespace quillbox::posix {

// The links to files that the last listing of each folder gave, by the
// inode of the link itself, so that the pass that handles the files can
// still take up a link whose target the same run has moved away. A few
// folders are remembered, the latest ones; one file system's listings share
// it, from any thread.
class ListedLinks {
public:
    using Links = std::vector<ino_t>; // sorted

    // `links` is what the listing of the folder (device, inode) just gave.
    void remember(dev_t device, ino_t folder, Links links);
    // What the last listing of the folder gave; null when none is known.
    std::shared_ptr<const Links> recall(dev_t device, ino_t folder) const;

private:
    struct Folder {
        dev_t device;
        ino_t inode;
        std::shared_ptr<const Links> links;
    };
    static constexpr std::size_t kFolders = 4;

    mutable std::mutex m_mutex;
    std::vector<Folder> m_folders; // the latest last
};

// The files directly inside one folder, streamed with readdir: regular files
// and links whose target is a regular file (a link is looked at with stat,
// which never opens it, so a FIFO cannot block the listing). Folders, FIFOs,
// sockets, devices and dangling links are passed over. The folder is closed
// as soon as the listing ends, and at the latest when it goes.
//
// A link that cannot be looked at (EIO, twice) ends the listing with the
// reason, as a folder that cannot be read on does: it may be a file.
//
// With `links`, the listing either records the links to files it gave
// (Remember), or gives as well every link the last recorded listing of the
// folder gave, whatever its target has become (Recall).
//
// A folder that cannot be opened (not there, not a folder, not readable,
// failing) is a listing that failed at once with the reason: whoever lists
// it cannot tell whether it holds files, and must not take it for empty.
class DirectoryListing final : public FileListing {
public:
    enum class LinkMemory : std::uint8_t { Remember, Recall };

    DirectoryListing(const std::string& folder, SystemCalls& calls, ListedLinks* links = nullptr,
                     LinkMemory memory = LinkMemory::Remember);
    ~DirectoryListing() override;
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    const std::string& next() override;
    const FsStatus& status() const override { return m_status; }
    bool lastMayBeLink() const override { return m_lastMayBeLink; }

private:
    void close();
    // The listing ends here with `error`.
    void fail(int error);
    // fstatat in the folder, once more where the first look failed for a
    // reason that may pass (EIO from a failing disk, a share's lost
    // connection); false with errno set where it failed.
    bool lookAt(const char* name, struct stat& st, int flags);
    // Whether the entry is a link the last listing of the folder gave; where
    // it cannot be looked at, the listing fails.
    bool listedBefore(const dirent& entry);

    SystemCalls& m_calls;
    DIR* m_dir;
    std::string m_name;
    FsStatus m_status;
    bool m_lastMayBeLink = false;
    ListedLinks* m_links = nullptr; // when remembering
    dev_t m_device = 0;
    ino_t m_folder = 0;
    ListedLinks::Links m_given;
    std::shared_ptr<const ListedLinks::Links> m_recalled;
};

} // namespace quillbox::posix
