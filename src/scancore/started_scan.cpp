#include "started_scan.h"

#include <chrono>
#include <cstdlib>
#include <new>
#include <system_error>

namespace bl {

void StartedScan::releaseStarter(void *context)
{
    auto *s = static_cast<StartedScan *>(context);
    std::lock_guard lock(s->mutex_);
    s->running_ = true;
    s->threadsUp_.notify_all();
}

std::unique_ptr<StartedScan> StartedScan::start(std::string rootPath)
{
    std::unique_ptr<StartedScan> scan;
    try {
        scan.reset(new StartedScan);
        scan->rootPath_ = std::move(rootPath);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    // calloc'd, as bl_full_scan wants them zeroed
    scan->result_ = static_cast<bl_scan_result_t *>(std::calloc(1, sizeof(bl_scan_result_t)));
    scan->cancelFlag_ = static_cast<int32_t *>(std::calloc(1, sizeof(int32_t)));
    if (!scan->result_ || !scan->cancelFlag_)
        return nullptr;
    scan->options_.no_children_index = 1;
    scan->options_.threads_started = releaseStarter;
    scan->options_.threads_started_context = scan.get();
    scan->startedAtMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    StartedScan *s = scan.get();
    try {
        scan->thread_ = std::thread([s] {
            s->status_ = bl_full_scan_opts(s->rootPath_.c_str(), s->result_, s->cancelFlag_, &s->options_);
            // A walk that ended before its pool started, a missing folder say
            releaseStarter(s);
        });
    } catch (const std::system_error &) {
        return nullptr;
    }
    std::unique_lock lock(s->mutex_);
    s->threadsUp_.wait(lock, [s] { return s->running_; });
    return scan;
}

int StartedScan::wait(int32_t *error)
{
    if (thread_.joinable())
        thread_.join();
    if (error)
        *error = options_.error;
    return status_;
}

StartedScan::~StartedScan()
{
    if (thread_.joinable()) {
        bl_request_cancel(cancelFlag_);
        thread_.join();
    }
    if (result_)
        bl_scan_result_free(result_);
    std::free(result_);
    std::free(cancelFlag_);
}

} // namespace bl
