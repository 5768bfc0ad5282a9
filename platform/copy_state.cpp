// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/copy_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace quillbox::posix {

namespace {

// The serial of the process's temporary names.
std::atomic<unsigned long> TempSerial {0};

// The process's umask, read without changing it (changing it would race
// with any other thread that creates a file).
mode_t ReadUmask()
{
    mode_t mask = 07777; // unknown: the mode is always set explicitly
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[128];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::strncmp(line, "Umask:", 6) == 0) {
                mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
                break;
            }
        }
        std::fclose(status);
    }
    return mask;
}

} // namespace

unsigned long NextTempSerial()
{
    return TempSerial.fetch_add(1, std::memory_order_relaxed) + 1;
}

CopyState::CopyState(SystemCalls& calls)
    : calls(calls), umask(ReadUmask()), tempPrefix(".quillbox-" + std::to_string(::getpid()) + "-"), chunk(kFirstChunk)
{
}

std::string CopyState::privateName() const
{
    return tempPrefix + std::to_string(NextTempSerial());
}

} // namespace quillbox::posix
