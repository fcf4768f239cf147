#include "work_pool.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace bl {

WorkPool::WorkPool(int threads) : threads_(std::max(1, threads)) {}

void WorkPool::submit(Item item)
{
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(item));
        ++pending_;
    }
    wake_.notify_one();
}

void WorkPool::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return !queue_.empty() || pending_ == 0; });
        if (queue_.empty())
            break; // pending_ == 0: nothing runs that could submit more
        // FIFO: the top levels of the tree are listed first, which is what a
        // live snapshot of the first few thousand nodes should show.
        Item item = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        item();
        item = nullptr; // release captures outside the lock
        lock.lock();
        if (--pending_ == 0)
            wake_.notify_all();
    }
}

void WorkPool::run(const std::function<void()> &started)
{
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads_; ++i) {
        try {
            helpers.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            break; // fewer threads still finish the work
        }
    }
    if (started)
        started();
    work();
    for (auto &t : helpers)
        t.join();
}

// Three threads per core, chosen on the 201,118-item benchmark tree (ext4 on
// virtio, 2 cores; medians of scancore_bench -j N, hyperfine):
//   warm cache:  j2 313 ms, j4 296, j6 295, j8 296, j16 312
//   cold cache:  j2 745 ms, j3 724, j4 730, j6 703, j8 720
// Warm, the walk is CPU-bound in statx and a thread waiting on the node
// mutex leaves a core idle unless another is ready; cold, more threads keep
// more reads in flight. Past 4 per core the queue hand-offs start to cost.
int WorkPool::defaultThreadCount()
{
    unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0)
        cores = 2;
    return static_cast<int>(std::clamp(cores * 3u, 2u, 64u));
}

} // namespace bl
