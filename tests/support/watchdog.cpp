// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/watchdog.h"

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace quillbox::test {

bool FinishesWithin(double seconds, const std::function<void()>& work, const std::vector<std::string>& fifos)
{
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread worker([shared, work] {
        work();
        std::lock_guard lock(shared->mutex);
        shared->finished = true;
        shared->done.notify_all();
    });
    const auto bound = std::chrono::duration<double>(seconds);
    bool inTime = false;
    {
        std::unique_lock lock(shared->mutex);
        inTime = shared->done.wait_for(lock, bound, [&] { return shared->finished; });
    }
    if (!inTime) {
        for (const std::string& fifo : fifos) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
        }
        std::unique_lock lock(shared->mutex);
        if (!shared->done.wait_for(lock, bound, [&] { return shared->finished; })) {
            lock.unlock();
            worker.detach(); // stuck for good; the test fails
            return false;
        }
    }
    worker.join();
    return inTime;
}

} // namespace quillbox::test
