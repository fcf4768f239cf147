#include "update_stream.h"

UpdateStream::~UpdateStream()
{
    std::unique_lock lock(mutex_);
    terminate(lock);
}

void UpdateStream::terminate(std::unique_lock<std::mutex> &lock)
{
    if (terminated_)
        return;
    terminated_ = true;
    std::function<void()> onTermination = std::move(onTermination_);
    std::function<void()> onReady = onReady_;
    onTermination_ = nullptr;
    lock.unlock();
    arrived_.notify_all();
    // Outside the lock: the callback may cancel a scan that yields into us.
    if (onTermination)
        onTermination();
    if (onReady)
        onReady();
    lock.lock();
}

bool UpdateStream::yield(ScanUpdate update)
{
    std::function<void()> onReady;
    {
        std::lock_guard lock(mutex_);
        if (terminated_)
            return false;
        if (buffer_.size() >= size_t(kBufferLimit))
            buffer_.pop_front(); // a lagging consumer sees the newest state
        buffer_.push_back(std::move(update));
        onReady = onReady_;
    }
    arrived_.notify_all();
    if (onReady)
        onReady();
    return true;
}

void UpdateStream::finish()
{
    std::unique_lock lock(mutex_);
    terminate(lock);
}

void UpdateStream::setOnTermination(std::function<void()> callback)
{
    std::unique_lock lock(mutex_);
    if (!terminated_) {
        onTermination_ = std::move(callback);
        return;
    }
    lock.unlock();
    if (callback)
        callback();
}

std::optional<ScanUpdate> UpdateStream::next()
{
    std::unique_lock lock(mutex_);
    arrived_.wait(lock, [this] { return !buffer_.empty() || terminated_; });
    if (buffer_.empty())
        return std::nullopt;
    ScanUpdate update = std::move(buffer_.front());
    buffer_.pop_front();
    return update;
}

std::optional<ScanUpdate> UpdateStream::tryNext()
{
    std::lock_guard lock(mutex_);
    if (buffer_.empty())
        return std::nullopt;
    ScanUpdate update = std::move(buffer_.front());
    buffer_.pop_front();
    return update;
}

bool UpdateStream::isDrained() const
{
    std::lock_guard lock(mutex_);
    return terminated_ && buffer_.empty();
}

qsizetype UpdateStream::pendingCount() const
{
    std::lock_guard lock(mutex_);
    return qsizetype(buffer_.size());
}

void UpdateStream::abandon()
{
    std::unique_lock lock(mutex_);
    buffer_.clear();
    onReady_ = nullptr;
    terminate(lock);
}

void UpdateStream::setOnReady(std::function<void()> callback)
{
    std::lock_guard lock(mutex_);
    onReady_ = std::move(callback);
}

bool UpdateStream::isTerminated() const
{
    std::lock_guard lock(mutex_);
    return terminated_;
}

void UpdateStream::setOnStop(std::function<void()> callback)
{
    std::lock_guard lock(mutex_);
    onStop_ = std::move(callback);
}

void UpdateStream::requestStop()
{
    std::function<void()> onStop;
    {
        std::lock_guard lock(mutex_);
        if (terminated_)
            return;
        onStop = std::move(onStop_);
        onStop_ = nullptr;
    }
    if (onStop)
        onStop();
}
