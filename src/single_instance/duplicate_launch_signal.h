// The activation signal: a payload-free broadcast, by name, that any process
// of the user can post and observe, carried as a D-Bus signal on the session
// bus. Without a session bus posting does nothing and observing registers
// nothing. Observers are called on the thread that observed (it needs an
// event loop), once per post.
#pragma once

#include <QString>
#include <functional>
#include <memory>

class DuplicateLaunchSignalObservation;

class DuplicateLaunchSignal {
public:
    static void post(const QString &name);
    static std::unique_ptr<DuplicateLaunchSignalObservation> observe(const QString &name,
                                                                     std::function<void()> handler);
};

class DuplicateLaunchSignalObservation {
public:
    ~DuplicateLaunchSignalObservation(); // cancels
    DuplicateLaunchSignalObservation(const DuplicateLaunchSignalObservation &) = delete;
    DuplicateLaunchSignalObservation &operator=(const DuplicateLaunchSignalObservation &) = delete;

    // Stops the handler; a second call does nothing.
    void cancel();
    bool isCancelled() const { return isCancelled_; }

private:
    friend class DuplicateLaunchSignal;
    class Box;
    DuplicateLaunchSignalObservation(const QString &name, Box *box);

    QString name_;
    Box *box_; // a QObject receiving the bus signal; deleted on cancel
    bool isCancelled_ = false;
};
