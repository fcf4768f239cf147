// The channel between a scan engine (producer, any thread) and its consumer:
// ordered, keeping only the 8 newest undelivered updates, and ending with a
// termination callback that runs exactly once, whether the producer finishes
// or the consumer abandons the stream.
#pragma once

#include "scan_update.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class UpdateStream {
public:
    static constexpr int kBufferLimit = 8;

    static std::shared_ptr<UpdateStream> create() { return std::shared_ptr<UpdateStream>(new UpdateStream); }
    ~UpdateStream();

    // Producer side. yield() returns false once the stream has terminated;
    // the update is then dropped.
    bool yield(ScanUpdate update);
    void finish();
    // Runs once at termination (at once if that has happened), on the thread
    // that terminates the stream.
    void setOnTermination(std::function<void()> callback);

    // Consumer side. next() waits for the next update; nullopt once the
    // stream has ended and its buffer is drained.
    std::optional<ScanUpdate> next();
    // Without waiting: nullopt when nothing is buffered (see isDrained()).
    std::optional<ScanUpdate> tryNext();
    bool isDrained() const;
    // Updates buffered and not yet taken.
    qsizetype pendingCount() const;
    // Stops consuming: buffered updates are discarded and the stream ends.
    void abandon();
    // Called (on the producer's thread) whenever an update or the end arrives.
    void setOnReady(std::function<void()> callback);
    // Asks the producer to stop early and finish with what it found so far
    // (a finished update whose summary is partial); once, and only while the
    // stream runs.
    void requestStop();
    // Producer side: what requestStop does.
    void setOnStop(std::function<void()> callback);

    bool isTerminated() const;

private:
    UpdateStream() = default;
    void terminate(std::unique_lock<std::mutex> &lock);

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<ScanUpdate> buffer_;
    bool terminated_ = false;
    std::function<void()> onTermination_;
    std::function<void()> onReady_;
    std::function<void()> onStop_;
};
