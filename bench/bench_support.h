// What the window benchmarks share: no desktop to bring forward, turning
// the event loop until something holds, and milliseconds since a start.
#pragma once

#include "app_activation_service.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

namespace bench {

class NoActivation : public AppActivationService {
public:
    void bringToFront() const override {}
};

// Sleeps between events as the window's own loop does: processEvents with a
// time limit drops WaitForMoreEvents, and spinning on it took a core from the
// work being timed. The timer wakes it should the state change without one.
inline void runUntil(const std::function<bool()> &done)
{
    QTimer wake;
    wake.start(5);
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

inline double msSince(const QElapsedTimer &t) { return double(t.nsecsElapsed()) / 1e6; }

} // namespace bench
