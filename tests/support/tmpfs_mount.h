// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace quillbox::test {

// A tmpfs of `sizeOption` ("1m") mounted on a fresh folder, unmounted and
// removed when it goes; `moreOptions` ("nr_inodes=20") are added to the
// mount's. mounted() is false where mounting is refused.
class TmpfsMount {
public:
    explicit TmpfsMount(const std::string& sizeOption, const std::string& moreOptions = {});
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool mounted() const { return m_mounted; }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
    bool m_mounted = false;
};

} // namespace quillbox::test
