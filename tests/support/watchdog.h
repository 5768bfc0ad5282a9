// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quillbox::test {

// Runs `work` on a thread and waits up to `seconds` for it. When it does not
// finish, opens each FIFO in `fifos` for writing and closes it again, which
// releases a reader stuck in open() or read(), then waits for the thread;
// returns whether `work` finished in time on its own.
bool FinishesWithin(double seconds, const std::function<void()>& work, const std::vector<std::string>& fifos);

} // namespace quillbox::test
