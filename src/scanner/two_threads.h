// Work that splits in two: the second part on a thread of its own while the
// caller's does the first; one after the other where no thread is to be had.
// Either part's exception reaches the caller once both have ended.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

template <typename First, typename Second>
void runOnTwoThreads(First &&first, Second &&second)
{
    std::exception_ptr failed;
    std::optional<std::thread> helper;
    try {
        helper.emplace([&] {
            try {
                second();
            } catch (...) {
                failed = std::current_exception();
            }
        });
    } catch (const std::system_error &) {
    }
    if (!helper) {
        first();
        second();
        return;
    }
    try {
        first();
    } catch (...) {
        helper->join();
        throw;
    }
    helper->join();
    if (failed)
        std::rethrow_exception(failed);
}

// Parts 0 to count - 1 of some work, each done once by work(part, thread),
// thread 0 the caller's and 1 a helper's, each taking the next part not yet
// taken: a helper that starts late, or is held up, leaves its share to the
// caller instead of keeping it waiting.
template <typename Work>
void shareOnTwoThreads(std::ptrdiff_t count, Work &&work)
{
    std::atomic<std::ptrdiff_t> next{0};
    const auto take = [&](int thread) {
        try {
            for (std::ptrdiff_t part; (part = next.fetch_add(1, std::memory_order_relaxed)) < count;)
                work(part, thread);
        } catch (...) {
            next.store(count, std::memory_order_relaxed); // the other stops too
            throw;
        }
    };
    runOnTwoThreads([&] { take(0); }, [&] { take(1); });
}
