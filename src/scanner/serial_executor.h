// A dedicated thread that runs jobs one at a time, in order: an engine's
// executor, so that a second scan waits until the running one has returned.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class SerialExecutor {
public:
    SerialExecutor();
    // Runs the jobs already submitted, then stops the thread.
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor &) = delete;
    SerialExecutor &operator=(const SerialExecutor &) = delete;

    void submit(std::function<void()> job);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};
