// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/jobs/runner.h"
#include "platform/journal_files.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"

namespace quillbox {

// The ports of this machine, made once by each program: the POSIX file
// system, the system's clock, and the journals in `journalFolder` (by
// default where the user's state goes), pruned by that clock.
class RealPorts {
public:
    explicit RealPorts(std::string journalFolder = JournalFolder::DefaultFolder());
    RealPorts(const RealPorts&) = delete;
    RealPorts& operator=(const RealPorts&) = delete;

    // The real ports as a run takes them.
    RunPorts ports() { return {m_fileSystem, m_clock, &m_journals}; }

    PosixFileSystem& fileSystem() { return m_fileSystem; }
    SystemClock& clock() { return m_clock; }
    JournalFolder& journals() { return m_journals; }

private:
    PosixFileSystem m_fileSystem;
    SystemClock m_clock;
    JournalFolder m_journals;
};

} // namespace quillbox
