// Measures how long the thread's event loop goes without turning: a 1 ms
// timer whose longest gap between firings is the longest stall. Used by the
// window's trace and the store benchmark.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

class StallProbe {
public:
    StallProbe();
    // Starts (or restarts) measuring from now.
    void start();
    void stop() { timer_.stop(); }
    bool isActive() const { return timer_.isActive(); }
    double longestMs() const { return double(longest_) / 1e6; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
};
