// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillbox {

// Workers that handle a job's items several at a time while the job's own
// thread hands the items over in its order and takes what became of each
// back in that same order, whichever finished first. At most kRing items are
// handed over and not yet taken back, so memory stays bounded however far
// the workers get.
//
// A worker takes up `claim` items at a time, the next ones in order, and
// hands them back together; the job's thread makes what it handed over
// known to the workers every `claim` items (and whenever it waits). With a
// claim of 1 the items are taken up one by one in the order they were
// handed over, as what a job reads at take-up (a mode, say) requires; a
// larger claim spares the threads waking each other for every item where
// an item is small work. Once `stop` is set no item is worked on any more:
// the rest come back with `skipped` set, and the one in hand is finished.
// With a claim above 1, an item skipped may come back before items that
// were worked on.
//
// `Item` has the members `bool skipped`, `std::atomic<bool> begun` and
// `bool finished`, which belong to
// this class. Every call but the workers' own is made on the job's thread.
// The most workers a job starts, whatever the file system asks for.
constexpr int kMostWorkers = 16;

template <typename Item>
class InOrderWorkers {
public:
    static constexpr std::uint64_t kRing = 64;
    // Handles one item on a worker's thread; `worker` is 0, 1...
    using Work = std::function<void(Item& item, std::size_t worker)>;
    // Runs as an item is taken up, while no other item is: what it reads
    // (a mode, say) changes from one item on in the order of take-up.
    using TakeUp = std::function<void(Item& item)>;

    InOrderWorkers(std::size_t workers, const std::atomic<bool>& stop, Work work, std::uint64_t claim = 1,
                   TakeUp takeUp = {})
        : m_stop(stop)
        , m_work(std::move(work))
        , m_takeUp(std::move(takeUp))
        , m_claim(std::clamp<std::uint64_t>(claim, 1, kRing / 4))
    {
        m_workers.reserve(workers);
        for (std::size_t i = 0; i < workers; ++i)
            m_workers.emplace_back([this, i] { run(i); });
    }
    // Items not yet taken up are left alone; the workers finish the item in
    // hand and end.
    ~InOrderWorkers()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_closing = true;
        }
        m_waiting.notify_all();
        for (std::thread& worker : m_workers)
            worker.join();
    }
    InOrderWorkers(const InOrderWorkers&) = delete;
    InOrderWorkers& operator=(const InOrderWorkers&) = delete;

    bool empty() const { return m_handedOver == m_takenBack; }
    bool full() const { return m_handedOver - m_takenBack == kRing; }

    // The place of the next item, to be filled in and then handed over. Not
    // when full().
    Item& next() { return m_ring[m_handedOver % kRing]; }
    void handOver()
    {
        // No worker looks at this place before it is made available below.
        Item& item = next();
        item.skipped = false;
        item.begun.store(false);
        item.finished = false;
        ++m_handedOver;
        if (m_handedOver - m_published >= m_claim)
            publish();
    }
    // The oldest item handed over and not yet taken back, once a worker is
    // done with it (or skipped it). Not when empty().
    Item& oldest()
    {
        return waitForOldest([](const Item& item) { return item.finished; }, m_jobWaits);
    }
    // The oldest item once a worker began it (`begun`), or skipped it. Not
    // when empty().
    Item& oldestBegun()
    {
        // The flag is set before the wait looks at `begun`: a worker that
        // began the item after that look sees it, and wakes the job.
        return waitForOldest([](const Item& item) { return item.begun.load() || item.finished; }, m_jobWaitsForBegun);
    }
    // Takes the oldest back: its place is free for another.
    void takeBack() { ++m_takenBack; }

private:
    // The oldest item once `ready` holds for it, the workers told through
    // `waiting` that the job waits.
    template <typename Ready, typename Flag>
    Item& waitForOldest(Ready ready, Flag& waiting)
    {
        Item& item = m_ring[m_takenBack % kRing];
        if (m_published != m_handedOver)
            publish();
        std::unique_lock lock(m_mutex);
        if (!ready(item)) {
            waiting = true;
            m_finished.wait(lock, [&] { return ready(item); });
            waiting = false;
        }
        return item;
    }

    // Makes every item handed over known to the workers.
    void publish()
    {
        bool idle = false;
        {
            const std::lock_guard lock(m_mutex);
            m_available = m_published = m_handedOver;
            idle = m_idle > 0;
        }
        if (idle)
            m_waiting.notify_all();
    }

    void run(std::size_t worker)
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            ++m_idle;
            m_waiting.wait(lock, [this] { return m_closing || m_takenUp < m_available; });
            --m_idle;
            if (m_closing)
                return;
            const std::uint64_t first = m_takenUp;
            const std::uint64_t end = first + std::min(m_claim, m_available - first);
            m_takenUp = end;
            for (std::uint64_t n = first; n < end; ++n) {
                Item& item = m_ring[n % kRing];
                if (m_stop.load())
                    item.skipped = true;
                else if (m_takeUp)
                    m_takeUp(item);
            }
            lock.unlock();
            for (std::uint64_t n = first; n < end; ++n) {
                Item& item = m_ring[n % kRing];
                if (!item.skipped && m_stop.load() && n != first)
                    item.skipped = true;
                if (item.skipped)
                    continue;
                // Told without the lock, unless the job waits for it.
                item.begun.store(true);
                if (m_jobWaitsForBegun.load()) {
                    const std::lock_guard wake(m_mutex);
                    m_finished.notify_one();
                }
                m_work(item, worker);
            }
            lock.lock();
            for (std::uint64_t n = first; n < end; ++n)
                m_ring[n % kRing].finished = true;
            // An item skipped was never begun: the job may wait for it to
            // begin as well as for it to be done, and either wait ends here.
            if (m_jobWaits || m_jobWaitsForBegun.load())
                m_finished.notify_one();
        }
    }

    const std::atomic<bool>& m_stop;
    const Work m_work;
    const TakeUp m_takeUp;
    const std::uint64_t m_claim;
    std::array<Item, kRing> m_ring {};
    // Counted from the start; an item's place is its number modulo kRing.
    std::uint64_t m_handedOver = 0; // the job's thread's own
    std::uint64_t m_takenBack = 0;  // the job's thread's own
    std::uint64_t m_published = 0;  // the job's thread's own
    std::mutex m_mutex;
    std::condition_variable m_waiting;  // an item to take up, or the end
    std::condition_variable m_finished; // an item begun or done
    std::uint64_t m_available = 0;      // handed over, as the workers see it
    std::uint64_t m_takenUp = 0;        // by some worker
    int m_idle = 0;                     // workers waiting for items
    bool m_jobWaits = false;            // for the oldest to be finished
    std::atomic<bool> m_jobWaitsForBegun {false};
    bool m_closing = false;
    std::vector<std::thread> m_workers; // last: started once all else is set
};

} // namespace quillbox
