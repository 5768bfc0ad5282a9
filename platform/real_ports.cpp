// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/real_ports.h"

namespace quillbox {

RealPorts::RealPorts(std::string journalFolder) : m_journals(std::move(journalFolder), &m_clock)
{
}

} // namespace quillbox
