// Waiting in tests that need the Qt event loop to turn: until a condition
// holds (false when the time is up), or until what was already set going has
// run its course, to see that something does not happen.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThreadPool>
#include <functional>

inline bool spinUntil(const std::function<bool()> &condition, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return condition();
}

// Background work on the pools ends, and every event posted before a
// marker is handled; three rounds, since each may post the next.
inline void settle()
{
    for (int round = 0; round < 3; ++round) {
        QThreadPool::globalInstance()->waitForDone();
        // and the pools of the program's own (children of the application)
        for (QThreadPool *pool : QCoreApplication::instance()->findChildren<QThreadPool *>())
            pool->waitForDone();
        bool reached = false;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [&reached] { reached = true; }, Qt::QueuedConnection);
        spinUntil([&reached] { return reached; });
    }
}
