// The activation signal across processes on a real session bus, and the
// controller that turns it into handler calls. Run under dbus-run-session.
#include "duplicate_launch_request_store.h"
#include "event_loop_wait.h"
#include "single_instance_controller.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QUuid>
#include <memory>

using bltest::TempTree;

namespace {

bool haveSessionBus()
{
    return QDBusConnection::sessionBus().isConnected();
}


std::unique_ptr<QProcess> startHelper(const QStringList &arguments)
{
    auto p = std::make_unique<QProcess>();
    p->start(QStringLiteral(INSTANCE_HELPER), arguments);
    p->waitForStarted();
    return p;
}

SingleInstanceConfiguration configIn(const QString &dir, const SingleInstancePolicy &policy =
                                                             SingleInstancePolicy::alwaysSingle())
{
    return SingleInstanceConfiguration("com.quillfen.burrowlens.test", policy,
                                       SingleInstanceLockLocation::directory(dir));
}

QString uniqueName()
{
    return "test." + QUuid::createUuid().toString(QUuid::WithoutBraces) + ".activate";
}

} // namespace

TEST(DuplicateLaunchSignal, OnePostReachesEveryObserverOnce)
{
    if (!haveSessionBus())
        GTEST_SKIP() << "no session bus: run the tests under dbus-run-session";
    const QString name = uniqueName();
    auto first = startHelper({"observe", name, "1500"});
    auto second = startHelper({"observe", name, "1500"});
    auto other = startHelper({"observe", uniqueName(), "1500"});
    for (QProcess *p : {first.get(), second.get(), other.get()}) {
        ASSERT_TRUE(p->waitForReadyRead(5000));
        ASSERT_EQ(p->readLine().trimmed(), "ready");
    }
    DuplicateLaunchSignal::post(name);
    for (QProcess *p : {first.get(), second.get(), other.get()})
        p->waitForFinished(5000);
    EXPECT_EQ(first->readAll(), "activated\n");
    EXPECT_EQ(second->readAll(), "activated\n");
    EXPECT_EQ(other->readAll(), "") << "observers filter by name";
}

TEST(DuplicateLaunchSignal, NothingArrivesAfterCancel)
{
    if (!haveSessionBus())
        GTEST_SKIP() << "no session bus: run the tests under dbus-run-session";
    const QString name = uniqueName();
    int calls = 0;
    auto observation = DuplicateLaunchSignal::observe(name, [&] { ++calls; });
    startHelper({"post", name})->waitForFinished();
    ASSERT_TRUE(spinUntil([&] { return calls == 1; }));
    observation->cancel();
    observation->cancel();
    EXPECT_TRUE(observation->isCancelled());
    // A later observer hears the next post; the cancelled one, which would
    // have heard it first, hears nothing.
    int later = 0;
    auto witness = DuplicateLaunchSignal::observe(name, [&] { ++later; });
    startHelper({"post", name})->waitForFinished();
    ASSERT_TRUE(spinUntil([&] { return later == 1; }));
    EXPECT_EQ(calls, 1);
}

TEST(SingleInstanceController, AllowingMultipleInstancesTakesNoLock)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QSettings("quillfen-test", "burrowlens-test").setValue("allowMultipleInstances", true);
    TempTree t;
    const auto policy = SingleInstancePolicy::userDefaults("quillfen-test", "burrowlens-test",
                                                           "allowMultipleInstances");
    const auto configuration = configIn(QString::fromStdString(t.root()), policy);
    for (int launch = 0; launch < 2; ++launch) {
        const auto result = SingleInstanceController::start(configuration, {});
        ASSERT_EQ(result.kind, SingleInstanceStartupResult::Kind::run);
        EXPECT_FALSE(result.controller->isEnforcingSingleInstance());
    }
    EXPECT_TRUE(QDir(QString::fromStdString(t.root())).isEmpty()) << "no lock file, no directory";

    QSettings("quillfen-test", "burrowlens-test").setValue("allowMultipleInstances", false);
    const auto single = SingleInstanceController::start(configuration, {});
    ASSERT_EQ(single.kind, SingleInstanceStartupResult::Kind::run);
    EXPECT_TRUE(single.controller->isEnforcingSingleInstance());
    EXPECT_EQ(SingleInstanceController::start(configuration, {}).kind,
              SingleInstanceStartupResult::Kind::alreadyRunning);
    qunsetenv("XDG_CONFIG_HOME");
}

// The running instance of a test: holds the lock in a temporary folder.
class RunningInstance : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveSessionBus())
            GTEST_SKIP() << "no session bus: run the tests under dbus-run-session";
        result = SingleInstanceController::start(configuration, {});
        ASSERT_EQ(result.kind, SingleInstanceStartupResult::Kind::run);
    }

    TempTree t;
    const SingleInstanceConfiguration configuration = configIn(QString::fromStdString(t.root()));
    SingleInstanceStartupResult result;
};

TEST_F(RunningInstance, RequestsWaitingForAHandlerAreDeliveredOnce)
{
    // Two launches hand over before the application has a handler, and one
    // request was left without a signal (a launch while no one listened).
    for (int launch = 0; launch < 2; ++launch)
        EXPECT_EQ(startHelper({"start", QString::fromStdString(t.root()), "/srv/one"})->waitForFinished(), true);
    DuplicateLaunchRequest unsignalled{{}, {QUrl::fromLocalFile("/srv/quiet")}, QDateTime::currentDateTimeUtc(), {}};
    QDir().mkpath(configuration.duplicateLaunchRequestsURL());
    QFile file(configuration.duplicateLaunchRequestsURL() + "/quiet.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(unsignalled.toJson());
    file.close();

    QList<QList<DuplicateLaunchRequest>> calls;
    const auto requested = [&](const QString &path) -> const DuplicateLaunchRequest * {
        for (const auto &call : calls)
            for (const DuplicateLaunchRequest &r : call)
                if (r.fileURLs.contains(QUrl::fromLocalFile(path)))
                    return &r;
        return nullptr;
    };
    result.controller->setDuplicateLaunchHandler(
        [&](const QList<DuplicateLaunchRequest> &requests) { calls.append(requests); });
    ASSERT_EQ(calls.size(), 1) << "what waits is read as the handler is installed";
    EXPECT_EQ(calls.first().size(), 3);
    EXPECT_TRUE(requested("/srv/quiet"));

    // Later launches: exactly the folders they were given, once (their
    // signals may still bring calls without requests).
    auto second = startHelper({"start", QString::fromStdString(t.root()), "/srv/a", "/srv/b c"});
    ASSERT_TRUE(second->waitForFinished());
    EXPECT_EQ(second->exitCode(), 3) << "the second launch found the first running";
    ASSERT_TRUE(spinUntil([&] { return requested("/srv/a"); }));
    qsizetype requests = 0;
    for (const auto &call : calls)
        requests += call.size();
    EXPECT_EQ(requests, 4);
    EXPECT_EQ(requested("/srv/a")->fileURLs,
              (QList<QUrl>{QUrl::fromLocalFile("/srv/a"), QUrl::fromLocalFile("/srv/b c")}));
}

TEST_F(RunningInstance, ActivationHandlerStillSweepsRequestFiles)
{
    ASSERT_TRUE(startHelper({"start", QString::fromStdString(t.root()), "/srv/x"})->waitForFinished());
    int activations = 0;
    result.controller->setActivationHandler([&] { ++activations; });
    EXPECT_EQ(activations, 1);
    EXPECT_TRUE(QDir(configuration.duplicateLaunchRequestsURL()).entryList({"*.json"}).isEmpty());
}

TEST(DuplicateLaunchSignal, WithoutASessionBusNothingFailsOrHangs)
{
    TempTree t;
    const auto configuration = configIn(QString::fromStdString(t.root()));
    const auto holder = SingleInstanceController::start(configuration, {});
    ASSERT_EQ(holder.kind, SingleInstanceStartupResult::Kind::run);

    QProcessEnvironment noBus = QProcessEnvironment::systemEnvironment();
    noBus.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QString::fromStdString(t.path("no-bus")));
    noBus.remove("DISPLAY");
    for (const QStringList &arguments :
         {QStringList{"post", uniqueName()}, QStringList{"observe", uniqueName(), "10"},
          QStringList{"start", QString::fromStdString(t.root()), "/srv/z"}}) {
        QProcess helper;
        helper.setProcessEnvironment(noBus);
        helper.start(QStringLiteral(INSTANCE_HELPER), arguments);
        ASSERT_TRUE(helper.waitForFinished(10000)) << arguments.join(' ').toStdString();
        EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(helper.exitCode(), arguments.first() == "start" ? 3 : 0);
    }
    // The hand-over file was still written for the running instance.
    EXPECT_EQ(DuplicateLaunchRequestStore::consumePending(configuration).size(), 1);
}

// Without a session bus the signal never comes: the running instance still
// sees the request arrive in its folder. A request folder it cannot write
// is said to the launch that handed over.
TEST(SingleInstanceController, RequestsArriveWithoutASignalAndFailedHandOversAreSaid)
{
    TempTree t;
    const auto configuration = configIn(QString::fromStdString(t.root()));
    const auto holder = SingleInstanceController::start(configuration, {});
    ASSERT_EQ(holder.kind, SingleInstanceStartupResult::Kind::run);
    QList<QUrl> opened;
    holder.controller->setDuplicateLaunchHandler([&](const QList<DuplicateLaunchRequest> &requests) {
        for (const DuplicateLaunchRequest &r : requests)
            opened << r.fileURLs;
    });

    QProcessEnvironment noBus = QProcessEnvironment::systemEnvironment();
    noBus.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QString::fromStdString(t.path("no-bus")));
    QProcess helper;
    helper.setProcessEnvironment(noBus);
    helper.start(QStringLiteral(INSTANCE_HELPER), {"start", QString::fromStdString(t.root()), "/srv/w"});
    ASSERT_TRUE(helper.waitForFinished(10000));
    EXPECT_EQ(helper.exitCode(), 3);
    EXPECT_TRUE(spinUntil([&] { return opened.contains(QUrl::fromLocalFile("/srv/w")); }));

    // The request folder replaced by a file: the launch hears why.
    ASSERT_TRUE(QDir(configuration.duplicateLaunchRequestsURL()).removeRecursively());
    QFile blocker(configuration.duplicateLaunchRequestsURL());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    DuplicateLaunchRequest request;
    request.fileURLs = {QUrl::fromLocalFile("/srv/lost")};
    request.createdAt = QDateTime::currentDateTimeUtc();
    const auto second = SingleInstanceController::start(configuration, request);
    EXPECT_EQ(second.kind, SingleInstanceStartupResult::Kind::alreadyRunning);
    EXPECT_TRUE(second.handOverError.contains("cannot write a launch request")) << second.handOverError.toStdString();
}
