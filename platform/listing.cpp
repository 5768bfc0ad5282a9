// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/listing.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/error_text.h"

namespace quillbox::posix {

namespace {

// Whether a failed look says that nothing a listing gives is there (a
// dangling link, a loop, a target out of reach), rather than that the
// look itself failed.
bool NothingThere(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == EACCES || error == ENAMETOOLONG;
}

} // namespace

void ListedLinks::remember(dev_t device, ino_t folder, Links links)
{
    std::sort(links.begin(), links.end());
    auto shared = std::make_shared<const Links>(std::move(links));
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_folders, [&](const Folder& known) { return known.device == device && known.inode == folder; });
    if (m_folders.size() >= kFolders)
        m_folders.erase(m_folders.begin());
    m_folders.push_back({device, folder, std::move(shared)});
}

std::shared_ptr<const ListedLinks::Links> ListedLinks::recall(dev_t device, ino_t folder) const
{
    const std::lock_guard lock(m_mutex);
    for (const Folder& known : m_folders) {
        if (known.device == device && known.inode == folder)
            return known.links;
    }
    return nullptr;
}

DirectoryListing::DirectoryListing(const std::string& folder, SystemCalls& calls, ListedLinks* links, LinkMemory memory)
    : m_calls(calls), m_dir(calls.openDirectory(folder.c_str()))
{
    if (m_dir == nullptr)
        m_status = Failure(errno);
    if (links == nullptr || m_dir == nullptr)
        return;
    // Which folder it is, for the links it gave: without it a link the run
    // moves the target of would be passed over by the next listing.
    struct stat st; // filled by the call
    if (!lookAt("", st, AT_EMPTY_PATH)) {
        fail(errno);
        return;
    }
    m_device = st.st_dev;
    m_folder = st.st_ino;
    if (memory == LinkMemory::Remember)
        m_links = links;
    else
        m_recalled = links->recall(m_device, m_folder);
}

DirectoryListing::~DirectoryListing()
{
    close();
}

void DirectoryListing::fail(int error)
{
    m_status = Failure(error);
    close();
}

void DirectoryListing::close()
{
    if (m_dir != nullptr)
        ::closedir(m_dir);
    m_dir = nullptr;
    if (m_links != nullptr) {
        m_links->remember(m_device, m_folder, std::move(m_given));
        m_links = nullptr;
    }
}

bool DirectoryListing::lookAt(const char* name, struct stat& st, int flags)
{
    const int dir = ::dirfd(m_dir);
    if (m_calls.lookAt(dir, name, &st, flags) == 0)
        return true;
    return !NothingThere(errno) && m_calls.lookAt(dir, name, &st, flags) == 0;
}

bool DirectoryListing::listedBefore(const dirent& entry)
{
    if (!m_recalled || !std::binary_search(m_recalled->begin(), m_recalled->end(), entry.d_ino))
        return false;
    struct stat st; // filled by the call
    if (lookAt(entry.d_name, st, AT_SYMLINK_NOFOLLOW))
        return S_ISLNK(st.st_mode);
    if (!NothingThere(errno))
        fail(errno);
    return false;
}

const std::string& DirectoryListing::next()
{
    while (m_dir != nullptr) {
        errno = 0;
        const dirent* entry = m_calls.readDirectory(m_dir);
        if (entry == nullptr) {
            // The end, or a folder that could not be read on (EIO, ESTALE).
            if (errno != 0)
                m_status = Failure(errno);
            close();
            break;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        m_lastMayBeLink = entry->d_type != DT_REG;
        if (entry->d_type == DT_REG)
            return m_name.assign(name);
        unsigned char type = entry->d_type;
        struct stat st; // filled by the call
        if (type == DT_UNKNOWN) {
            // Where the listing gives no types (many user-space file
            // systems), a look that does not follow tells a file from a
            // link, so that files still go several at a time.
            if (!lookAt(name, st, AT_SYMLINK_NOFOLLOW)) {
                if (NothingThere(errno))
                    continue;
                fail(errno);
                break;
            }
            if (S_ISREG(st.st_mode)) {
                m_lastMayBeLink = false;
                return m_name.assign(name);
            }
            type = S_ISLNK(st.st_mode) ? DT_LNK : DT_UNKNOWN;
        }
        if (type == DT_LNK) {
            // A link that leads nowhere, or not to a file, is passed over; one
            // that cannot be looked at ends the listing with the reason,
            // rather than pass a file over unsaid.
            const bool looked = lookAt(name, st, 0);
            if (looked && S_ISREG(st.st_mode)) {
                if (m_links != nullptr)
                    m_given.push_back(entry->d_ino);
                return m_name.assign(name);
            }
            if (!looked && !NothingThere(errno)) {
                fail(errno);
                break;
            }
            if (listedBefore(*entry))
                return m_name.assign(name);
        }
    }
    m_name.clear();
    return m_name;
}

} // namespace quillbox::posix
