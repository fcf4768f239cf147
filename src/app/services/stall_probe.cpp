#include "stall_probe.h"

StallProbe::StallProbe()
{
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        const qint64 now = clock_.nsecsElapsed();
        longest_ = std::max(longest_, now - last_);
        last_ = now;
    });
}

void StallProbe::start()
{
    clock_.start();
    last_ = 0;
    longest_ = 0;
    timer_.start();
}
