// Work that splits in two: the second part on a thread of its own while the
// caller's does the first; one after the other where no thread is to be had.
// Either part's exception reaches the caller once both have ended.
#pragma once

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
