#include "platform/listing.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/error_text.h"

namespace quillbox::posix {

DirectoryListing::DirectoryListing(const std::string& folder, SystemCalls& calls)
    : m_calls(calls), m_dir(::opendir(folder.c_str()))
{
    // A folder that cannot be opened has no files to sort: an empty listing.
}

DirectoryListing::~DirectoryListing()
{
    close();
}

void DirectoryListing::close()
{
    if (m_dir != nullptr)
        ::closedir(m_dir);
    m_dir = nullptr;
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
        if (entry->d_type == DT_REG)
            return m_name.assign(name);
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat st; // filled by the call
            if (::fstatat(::dirfd(m_dir), name, &st, 0) == 0 && S_ISREG(st.st_mode))
                return m_name.assign(name);
        }
    }
    m_name.clear();
    return m_name;
}

} // namespace quillbox::posix
