// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>

namespace quillbox {

// What a run has done so far, as the statistics show it. Whole numbers;
// doubles so that the texts' rounding rules apply to them as they are.
struct RunFigures {
    double filesFound = 0;
    double filesProcessed = 0;
    double bytesProcessed = 0;
    // Files that could not be copied or moved; no label shows it.
    double filesFailed = 0;
};

// The counters a run writes and the window's timers read, from another
// thread: each is an atomic of its own, and a reader may see one a file
// ahead of another, which no label can show.
class RunCounters {
public:
    void addFound(std::uint64_t count = 1) { m_found.fetch_add(count, std::memory_order_relaxed); }
    void addProcessed() { m_processed.fetch_add(1, std::memory_order_relaxed); }
    void addBytes(std::uint64_t bytes) { m_bytes.fetch_add(bytes, std::memory_order_relaxed); }
    void addFailed() { m_failed.fetch_add(1, std::memory_order_relaxed); }

    std::uint64_t found() const { return m_found.load(std::memory_order_relaxed); }
    RunFigures figures() const
    {
        return {static_cast<double>(m_found.load(std::memory_order_relaxed)),
                static_cast<double>(m_processed.load(std::memory_order_relaxed)),
                static_cast<double>(m_bytes.load(std::memory_order_relaxed)),
                static_cast<double>(m_failed.load(std::memory_order_relaxed))};
    }
    void reset()
    {
        m_found.store(0, std::memory_order_relaxed);
        m_processed.store(0, std::memory_order_relaxed);
        m_bytes.store(0, std::memory_order_relaxed);
        m_failed.store(0, std::memory_order_relaxed);
    }

private:
    std::atomic<std::uint64_t> m_found {0};
    std::atomic<std::uint64_t> m_processed {0};
    std::atomic<std::uint64_t> m_bytes {0};
    std::atomic<std::uint64_t> m_failed {0};
};

} // namespace quillbox
