// A pool of worker threads for one scan's directory work items: items may
// submit further items, and run() returns only when all of them have ended.
// Used by bl_full_scan; the calling thread works too instead of idling.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace bl {

class WorkPool {
public:
    using Item = std::function<void()>;

    // threads counts the calling thread of run(); at least 1.
    explicit WorkPool(int threads);
    WorkPool(const WorkPool &) = delete;
    WorkPool &operator=(const WorkPool &) = delete;

    // Thread-safe; callable from inside an item. May throw std::bad_alloc.
    void submit(Item item);

    // Runs the submitted items and everything they submit on the pool's
    // threads and the caller's; returns when no item is queued or running.
    // started, if given, is called once all the pool's threads are started.
    void run(const std::function<void()> &started = {});

    // Threads a scan uses when the caller does not say: see the .cpp.
    static int defaultThreadCount();

private:
    void work();

    const int threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    long pending_ = 0; // queued or running
};

} // namespace bl
