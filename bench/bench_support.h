// What the window benchmarks share: no desktop to bring forward, turning
// the event loop until something holds, and milliseconds since a start.
#pragma once

#include "app_activation_service.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

namespace bench {

class NoActivation : public AppActivationService {
public:
    void bringToFront() const override {}
};

inline void runUntil(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

inline double msSince(const QElapsedTimer &t) { return double(t.nsecsElapsed()) / 1e6; }

} // namespace bench
