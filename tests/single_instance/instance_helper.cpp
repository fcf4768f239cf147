// A second process for the single-instance tests.
//   instance_helper observe NAME MILLISECONDS   prints "ready", then "activated" per signal
//   instance_helper post NAME                   posts the activation signal once
//   instance_helper start LOCKDIR [FOLDER...]   exit 3: another instance runs (the folders
//                                               were handed over); 0: ran and was not needed
//   instance_helper lock PATH                   prints the acquisition result
#include "duplicate_launch_signal.h"
#include "instance_lock.h"
#include "single_instance_controller.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args[1] == "observe") {
        auto observation = DuplicateLaunchSignal::observe(args[2], [] {
            std::printf("activated\n");
            std::fflush(stdout);
        });
        std::printf("ready\n");
        std::fflush(stdout);
        QTimer::singleShot(args[3].toInt(), &app, &QCoreApplication::quit);
        return app.exec();
    }
    if (args.size() == 3 && args[1] == "post") {
        DuplicateLaunchSignal::post(args[2]);
        return 0;
    }
    if (args.size() >= 3 && args[1] == "start") {
        DuplicateLaunchRequest request;
        request.createdAt = QDateTime::currentDateTimeUtc();
        for (qsizetype i = 3; i < args.size(); ++i)
            request.fileURLs.append(QUrl::fromLocalFile(args[i]));
        const SingleInstanceConfiguration configuration(
            "com.quillfen.burrowlens.test", SingleInstancePolicy::alwaysSingle(),
            SingleInstanceLockLocation::directory(args[2]));
        const auto result = SingleInstanceController::start(configuration, request);
        return result.kind == SingleInstanceStartupResult::Kind::alreadyRunning ? 3
               : result.kind == SingleInstanceStartupResult::Kind::failed      ? 4
                                                                               : 0;
    }
    if (args.size() == 3 && args[1] == "lock") {
        try {
            auto lock = InstanceLock::acquire(args[2]);
            std::printf("held\n");
        } catch (const InstanceLockError &e) {
            std::printf("lock-error %d %d\n", int(e.kind()), e.error());
        } catch (const std::system_error &e) {
            std::printf("directory-error %d\n", e.code().value());
        }
        return 0;
    }
    std::fprintf(stderr, "instance_helper: bad arguments\n");
    return 2;
}
