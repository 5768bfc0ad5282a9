// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <initializer_list>

namespace quillbox::test {

// Takes capabilities out of the effective set while it lives. active() is
// true when the process is without all of them for the duration.
class WithoutCapabilities {
public:
    explicit WithoutCapabilities(std::initializer_list<int> capabilities);
    ~WithoutCapabilities();
    WithoutCapabilities(const WithoutCapabilities&) = delete;
    WithoutCapabilities& operator=(const WithoutCapabilities&) = delete;
    bool active() const { return m_active; }

private:
    bool m_active = false;
    bool m_restore = false;
    std::uint32_t m_saved[2] = {0, 0};
};

// One capability (CAP_CHOWN, say).
class WithoutCapability : public WithoutCapabilities {
public:
    explicit WithoutCapability(int capability) : WithoutCapabilities({capability}) {}
};

// CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH, so that permission bits bind a
// test that runs as root.
class WithoutDacOverride : public WithoutCapabilities {
public:
    WithoutDacOverride();
};

} // namespace quillbox::test
