// Hands the updates of a stream to a callback on the Qt main thread, one
// whole update per event-loop step, in order. Destroying the reader (on the
// main thread) abandons the stream, which stops the scan.
#pragma once

#include "update_stream.h"

#include <atomic>
#include <functional>
#include <memory>

class UpdateStreamReader {
public:
    using Handler = std::function<void(const ScanUpdate &)>;

    // onEnd runs once, after the last update, when the stream has ended.
    // Either callback may destroy the reader.
    UpdateStreamReader(std::shared_ptr<UpdateStream> stream, Handler onUpdate, std::function<void()> onEnd = {});
    ~UpdateStreamReader();
    UpdateStreamReader(const UpdateStreamReader &) = delete;
    UpdateStreamReader &operator=(const UpdateStreamReader &) = delete;

private:
    // Shared with queued steps, which find it expired once the reader is gone.
    struct State {
        UpdateStreamReader *reader;
        std::atomic<bool> stepQueued{false};
        bool inStep = false; // main thread only
    };
    static void scheduleStep(const std::shared_ptr<State> &state);
    void step();

    std::shared_ptr<UpdateStream> stream_;
    Handler onUpdate_;
    std::function<void()> onEnd_;
    std::shared_ptr<State> state_;
    bool ended_ = false;
};
