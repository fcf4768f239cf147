// Decides at start-up whether this process is the running instance, keeps
// the lock and the activation-signal observation for the life of the
// process, and turns activation signals from later launches into calls of
// the application's handler on the main thread.
#pragma once

#include "duplicate_launch_request.h"
#include "duplicate_launch_signal.h"
#include "instance_lock.h"
#include "single_instance_configuration.h"

#include <QFileSystemWatcher>
#include <exception>
#include <functional>

class SingleInstanceController;

struct SingleInstanceStartupResult {
    enum class Kind { run, failed, alreadyRunning };
    Kind kind = Kind::alreadyRunning;
    std::shared_ptr<SingleInstanceController> controller; // run
    std::exception_ptr error;                             // failed
    // alreadyRunning: why the request could not be handed over (empty when
    // it was); the running instance was signalled all the same.
    QString handOverError;
    // The failure's text, e.g. for the log line.
    QString errorDescription() const;
};

class SingleInstanceController : public std::enable_shared_from_this<SingleInstanceController> {
public:
    using DuplicateLaunchHandler = std::function<void(const QList<DuplicateLaunchRequest> &)>;

    // Never throws. request is handed over when another instance holds the
    // lock, after completeForHandOver has added what only a handed-over
    // request needs (what this launch would otherwise read itself later).
    static SingleInstanceStartupResult
    start(const SingleInstanceConfiguration &configuration, const DuplicateLaunchRequest &request,
          const std::function<void(DuplicateLaunchRequest &)> &completeForHandOver = {});

    bool isEnforcingSingleInstance() const { return lock_ != nullptr; }
    const SingleInstanceConfiguration &configuration() const { return configuration_; }

    // Main thread only. Both replace the handler; a signal that came before
    // any handler is delivered now, once.
    void setActivationHandler(std::function<void()> handler);
    void setDuplicateLaunchHandler(DuplicateLaunchHandler handler);

private:
    SingleInstanceController(const SingleInstanceConfiguration &configuration,
                             std::unique_ptr<InstanceLock> lock);
    void activationSignalled(); // on the main thread
    void requestsArrived();     // on the main thread
    void deliverPending();

    const SingleInstanceConfiguration configuration_;
    const std::unique_ptr<InstanceLock> lock_;
    std::unique_ptr<DuplicateLaunchSignalObservation> observation_;
    // The request folder, watched as well: a signal lost (no session bus)
    // never loses a request.
    std::unique_ptr<QFileSystemWatcher> requestWatcher_;
    DuplicateLaunchHandler activationHandler_;
    bool pendingActivation_ = false;
};

class SingleInstanceStartup {
public:
    // The controller for "run"; nothing for "alreadyRunning"; onFailure with
    // the error's text, then nothing, for "failed".
    static std::shared_ptr<SingleInstanceController>
    start(const SingleInstanceConfiguration &configuration, const DuplicateLaunchRequest &request,
          const std::function<void(const QString &)> &onFailure);
};
