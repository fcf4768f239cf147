#include "update_stream_reader.h"

#include <QCoreApplication>
#include <QMetaObject>

UpdateStreamReader::UpdateStreamReader(std::shared_ptr<UpdateStream> stream, Handler onUpdate,
                                       std::function<void()> onEnd)
    : stream_(std::move(stream)), onUpdate_(std::move(onUpdate)), onEnd_(std::move(onEnd)),
      state_(std::make_shared<State>())
{
    state_->reader = this;
    // Runs on the producer's thread: it only queues a step to the main thread.
    std::weak_ptr<State> weak = state_;
    stream_->setOnReady([weak] {
        if (auto state = weak.lock())
            scheduleStep(state);
    });
    scheduleStep(state_); // updates may have arrived before the reader existed
}

UpdateStreamReader::~UpdateStreamReader()
{
    state_->reader = nullptr;
    stream_->abandon();
}

void UpdateStreamReader::scheduleStep(const std::shared_ptr<State> &state)
{
    if (state->stepQueued.exchange(true))
        return;
    std::weak_ptr<State> weak = state;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [weak] {
        const auto state = weak.lock();
        if (!state)
            return;
        state->stepQueued = false;
        if (state->reader)
            state->reader->step();
    }, Qt::QueuedConnection);
}

void UpdateStreamReader::step()
{
    const std::shared_ptr<State> state = state_; // outlives a handler that deletes us
    // A handler that spins the event loop must not be handed the next update
    // inside itself; the step that is running schedules the next one.
    if (ended_ || state->inStep)
        return;
    if (std::optional<ScanUpdate> update = stream_->tryNext()) {
        state->inStep = true;
        onUpdate_(*update);
        state->inStep = false;
        if (state->reader)
            scheduleStep(state); // the next update in a later step
        return;
    }
    if (stream_->isDrained()) {
        ended_ = true;
        if (onEnd_)
            onEnd_();
    }
}
