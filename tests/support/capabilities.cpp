// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillbox::test {

namespace {

bool CapGet(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool CapSet(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

WithoutCapabilities::WithoutCapabilities(std::initializer_list<int> capabilities)
{
    __user_cap_data_struct data[2] {};
    if (!CapGet(data))
        return;
    std::uint32_t mask[2] = {0, 0};
    for (const int capability : capabilities)
        mask[capability / 32] |= 1u << (capability % 32);
    if ((data[0].effective & mask[0]) == 0 && (data[1].effective & mask[1]) == 0) {
        m_active = true; // already without them
        return;
    }
    m_saved[0] = data[0].effective;
    m_saved[1] = data[1].effective;
    data[0].effective &= ~mask[0];
    data[1].effective &= ~mask[1];
    m_active = CapSet(data);
    m_restore = m_active;
}

WithoutCapabilities::~WithoutCapabilities()
{
    if (!m_restore)
        return;
    __user_cap_data_struct data[2] {};
    if (!CapGet(data))
        return;
    data[0].effective = m_saved[0];
    data[1].effective = m_saved[1];
    CapSet(data);
}

WithoutDacOverride::WithoutDacOverride() : WithoutCapabilities({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
{
}

} // namespace quillbox::test
