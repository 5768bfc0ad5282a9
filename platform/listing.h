#pragma once

#include <dirent.h>
#include <string>

#include "core/file_system.h"
#include "platform/system_calls.h"

namespace quillbox::posix {

// The files directly inside one folder, streamed with readdir: regular files
// and links whose target is a regular file (a link is looked at with stat,
// which never opens it, so a FIFO cannot block the listing). Folders, FIFOs,
// sockets, devices and dangling links are passed over. The folder is closed
// as soon as the listing ends, and at the latest when it goes.
class DirectoryListing final : public FileListing {
public:
    DirectoryListing(const std::string& folder, SystemCalls& calls);
    ~DirectoryListing() override;
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    const std::string& next() override;
    const FsStatus& status() const override { return m_status; }

private:
    void close();

    SystemCalls& m_calls;
    DIR* m_dir;
    std::string m_name;
    FsStatus m_status;
};

} // namespace quillbox::posix
