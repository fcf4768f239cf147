// Waiting in tests that need the Qt event loop to turn: until a condition
// holds (false when the time is up), or for a while, to see that something
// does not happen.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <functional>

inline bool spinUntil(const std::function<bool()> &condition, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return condition();
}

inline void spinFor(int ms)
{
    spinUntil([] { return false; }, ms);
}
