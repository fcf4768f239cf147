// A walk of the core begun before its caller could take it: burrowlens-scan
// starts walking, then loads the Qt libraries of its report, whose fast
// engine takes the walk over. No Qt here, so the launcher can link it alone.
#pragma once

#include "bl_scan.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace bl {

class StartedScan {
public:
    // Begins walking rootPath (absolute, as the engine names it) with the
    // choices the fast engine makes when asked for none, and returns once
    // the walk's threads have started, so the caller may load libraries;
    // nullptr when it cannot (no memory or thread for it).
    static std::unique_ptr<StartedScan> start(std::string rootPath);
    // Cancels a walk still running and waits for it: nobody took it.
    ~StartedScan();
    StartedScan(const StartedScan &) = delete;
    StartedScan &operator=(const StartedScan &) = delete;

    const std::string &rootPath() const { return rootPath_; }
    int64_t startedAtMs() const { return startedAtMs_; }
    bl_scan_result_t *result() const { return result_; }
    int32_t *cancelFlag() const { return cancelFlag_; }
    // Waits for the walk: what bl_full_scan_opts returned, and in *error the
    // errno that made it return -1.
    int wait(int32_t *error);

private:
    static void releaseStarter(void *context);
    StartedScan() = default;

    std::string rootPath_;
    int64_t startedAtMs_ = 0;
    bl_scan_result_t *result_ = nullptr;
    int32_t *cancelFlag_ = nullptr;
    bl_scan_options_t options_{};
    int status_ = -1;
    std::mutex mutex_;
    std::condition_variable threadsUp_;
    bool running_ = false; // the walk's threads have started, or it has ended
    std::thread thread_;
};

} // namespace bl
