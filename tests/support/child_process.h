// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

namespace quillbox::test {

// Runs `check` in a child process (for what must not touch the test's own:
// its working folder, its peak memory) and tells whether it held there.
inline bool HoldsInChild(const std::function<bool()>& check)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(check() ? 0 : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace quillbox::test
