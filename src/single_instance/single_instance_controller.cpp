#include "single_instance_controller.h"

#include "duplicate_launch_request_store.h"
#include "instance_lock.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace {

// Why the request did not reach the request folder; empty when it did.
QString handOver(const DuplicateLaunchRequest &request, const SingleInstanceConfiguration &configuration)
{
    try {
        DuplicateLaunchRequestStore::post(request, configuration);
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
    return {};
}

} // namespace

QString SingleInstanceStartupResult::errorDescription() const
{
    if (!error)
        return QString();
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    return QStringLiteral("unknown error");
}

SingleInstanceController::SingleInstanceController(const SingleInstanceConfiguration &configuration,
                                                   std::unique_ptr<InstanceLock> lock)
    : configuration_(configuration), lock_(std::move(lock))
{
}

SingleInstanceStartupResult
SingleInstanceController::start(const SingleInstanceConfiguration &configuration, const DuplicateLaunchRequest &given,
                                const std::function<void(DuplicateLaunchRequest &)> &completeForHandOver)
{
    DuplicateLaunchRequest request = given;
    const auto handOverRequest = [&] {
        if (completeForHandOver)
            completeForHandOver(request);
        return handOver(request, configuration);
    };
    if (configuration.policy.allowsMultipleInstances()) {
        return {SingleInstanceStartupResult::Kind::run,
                std::shared_ptr<SingleInstanceController>(new SingleInstanceController(configuration, nullptr)),
                nullptr, {}};
    }
    std::unique_ptr<InstanceLock> lock;
    try {
        lock = InstanceLock::acquire(configuration.lockURL());
    } catch (const InstanceLockError &e) {
        const QString handOverError = handOverRequest();
        if (e == InstanceLockError::alreadyRunning())
            return {SingleInstanceStartupResult::Kind::alreadyRunning, nullptr, nullptr, handOverError};
        return {SingleInstanceStartupResult::Kind::failed, nullptr, std::current_exception(), {}};
    } catch (...) {
        handOverRequest();
        return {SingleInstanceStartupResult::Kind::failed, nullptr, std::current_exception(), {}};
    }

    std::shared_ptr<SingleInstanceController> controller(
        new SingleInstanceController(configuration, std::move(lock)));
    std::weak_ptr<SingleInstanceController> weak = controller;
    controller->observation_ = DuplicateLaunchSignal::observe(configuration.activationSignalName, [weak] {
        // Any thread: the controller is only touched on the main thread.
        QCoreApplication *app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(app, [weak] {
            if (auto self = weak.lock())
                self->activationSignalled();
        }, Qt::QueuedConnection);
    });
    // Watched once it exists, which the running instance makes sure of.
    const QString requests = configuration.duplicateLaunchRequestsURL();
    try {
        createPrivateDirectory(requests);
        controller->requestWatcher_ = std::make_unique<QFileSystemWatcher>(QStringList{requests});
        QObject::connect(controller->requestWatcher_.get(), &QFileSystemWatcher::directoryChanged,
                         [weak](const QString &) {
                             if (auto self = weak.lock())
                                 self->requestsArrived();
                         });
    } catch (...) {
        // The signal still brings them; the folder is made at the first request.
    }
    return {SingleInstanceStartupResult::Kind::run, controller, nullptr, {}};
}

void SingleInstanceController::requestsArrived()
{
    if (!activationHandler_)
        return; // read when a handler is installed
    // Each of our own reads changes the folder again: only what waits counts.
    const QList<DuplicateLaunchRequest> waiting = DuplicateLaunchRequestStore::consumePending(configuration_);
    if (!waiting.isEmpty())
        activationHandler_(waiting);
}

void SingleInstanceController::activationSignalled()
{
    if (activationHandler_)
        activationHandler_(DuplicateLaunchRequestStore::consumePending(configuration_));
    else
        pendingActivation_ = true;
}

void SingleInstanceController::deliverPending()
{
    if (!activationHandler_)
        return;
    // Requests may wait without a signal that reached us: a launch before
    // the observation was up, or a signal lost. The handler gets them now;
    // with nothing waiting it is called only for a signal that came.
    const QList<DuplicateLaunchRequest> waiting = DuplicateLaunchRequestStore::consumePending(configuration_);
    if (pendingActivation_ || !waiting.isEmpty())
        activationHandler_(waiting);
    pendingActivation_ = false;
}

void SingleInstanceController::setDuplicateLaunchHandler(DuplicateLaunchHandler handler)
{
    activationHandler_ = std::move(handler);
    deliverPending();
}

void SingleInstanceController::setActivationHandler(std::function<void()> handler)
{
    // The requests are still consumed, so their files do not pile up.
    setDuplicateLaunchHandler([handler = std::move(handler)](const QList<DuplicateLaunchRequest> &) {
        if (handler)
            handler();
    });
}

std::shared_ptr<SingleInstanceController>
SingleInstanceStartup::start(const SingleInstanceConfiguration &configuration,
                             const DuplicateLaunchRequest &request,
                             const std::function<void(const QString &)> &onFailure)
{
    const SingleInstanceStartupResult result = SingleInstanceController::start(configuration, request);
    if (result.kind == SingleInstanceStartupResult::Kind::failed && onFailure)
        onFailure(result.errorDescription());
    return result.controller;
}
