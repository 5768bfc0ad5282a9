// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/tmpfs_mount.h"

#include <cstdlib>
#include <stdexcept>
#include <sys/mount.h>
#include <unistd.h>

namespace quillbox::test {

TmpfsMount::TmpfsMount(const std::string& sizeOption, const std::string& moreOptions)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quillbox-mnt-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a mount point");
    m_path = pattern;
    const std::string options = "size=" + sizeOption + ",mode=0700" + (moreOptions.empty() ? "" : "," + moreOptions);
    m_mounted = ::mount("tmpfs", m_path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TmpfsMount::~TmpfsMount()
{
    if (m_mounted)
        ::umount2(m_path.c_str(), MNT_DETACH);
    ::rmdir(m_path.c_str());
}

} // namespace quillbox::test
