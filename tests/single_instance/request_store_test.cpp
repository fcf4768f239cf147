// Launch requests written, read back and swept from the request directory.
#include "duplicate_launch_request_store.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <atomic>
#include <sys/stat.h>
#include <thread>

using bltest::TempTree;

namespace {

SingleInstanceConfiguration configIn(const TempTree &t)
{
    return SingleInstanceConfiguration("org.example.test", SingleInstancePolicy::alwaysSingle(),
                                       SingleInstanceLockLocation::directory(QString::fromStdString(t.root())));
}

// A request made secondsAgo, to the second.
DuplicateLaunchRequest requestAt(int secondsAgo, const QString &argument)
{
    QDateTime now = QDateTime::currentDateTimeUtc();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    return {{argument}, {QUrl::fromLocalFile("/srv/a folder")}, now.addSecs(-secondsAgo), {}};
}

QStringList requestFiles(const QString &dir)
{
    return QDir(dir).entryList({"*.json"}, QDir::Files | QDir::Hidden);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

TEST(DuplicateLaunchRequestStore, WritesOneCompactFilePerRequest)
{
    TempTree t;
    const auto config = configIn(t);
    EXPECT_EQ(config.lockURL().toStdString(), t.path("org.example.test/org.example.test.lock"));
    EXPECT_EQ(config.duplicateLaunchRequestsURL().toStdString(),
              t.path("org.example.test/DuplicateLaunchRequests"));
    EXPECT_EQ(config.activationSignalName, "org.example.test.single-instance.activate");

    DuplicateLaunchRequestStore::post({{}, {}, QDateTime::currentDateTimeUtc(), {}}, config);
    EXPECT_FALSE(QDir(config.duplicateLaunchRequestsURL()).exists()) << "an empty request writes nothing";

    const DuplicateLaunchRequest request = requestAt(0, "--flag");
    DuplicateLaunchRequestStore::post(request, config);
    const QStringList files = requestFiles(config.duplicateLaunchRequestsURL());
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.json$")
                    .match(files.first()).hasMatch()) << files.first().toStdString();
    QFile file(QDir(config.duplicateLaunchRequestsURL()).filePath(files.first()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray json = file.readAll();
    EXPECT_FALSE(json.contains('\n')) << "compact";
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    EXPECT_EQ(o.keys(), (QStringList{"arguments", "createdAt", "fileURLs"}));
    EXPECT_EQ(o["createdAt"].toString(), request.createdAt.toString(Qt::ISODate));
    EXPECT_TRUE(o["createdAt"].toString().endsWith('Z'));
    EXPECT_EQ(o["fileURLs"].toArray().first().toString(), "file:///srv/a%20folder");

    const auto back = DuplicateLaunchRequestStore::consumePending(config);
    ASSERT_EQ(back.size(), 1);
    EXPECT_EQ(back.first(), request);

    DuplicateLaunchRequest fractional = request;
    fractional.createdAt = fractional.createdAt.addMSecs(250);
    EXPECT_EQ(DuplicateLaunchRequest::fromJson(fractional.toJson())->createdAt, request.createdAt)
        << "stored to the second";
}

TEST(DuplicateLaunchRequestStore, ConsumesOldestFirstAndSweeps)
{
    TempTree t;
    const auto config = configIn(t);
    EXPECT_TRUE(DuplicateLaunchRequestStore::consumePending(config).isEmpty()) << "no directory yet";
    for (const auto &[ago, arg] : {std::pair{1, "third"}, std::pair{3, "first"}, std::pair{2, "second"},
                                   std::pair{DuplicateLaunchRequestStore::kMaxRequestAgeSeconds + 5, "stale"}})
        DuplicateLaunchRequestStore::post(requestAt(ago, arg), config);
    const QDir dir(config.duplicateLaunchRequestsURL());
    writeFile(dir.filePath("notes.txt"), "kept");
    writeFile(dir.filePath("broken.json"), "{\"arguments\": [");
    writeFile(dir.filePath("incomplete.json"), R"({"arguments":[],"fileURLs":[]})");
    writeFile(dir.filePath("wrongtype.json"), R"({"arguments":"x","fileURLs":[],"createdAt":"2026-03-01T12:00:00Z"})");
    writeFile(dir.filePath("upper.JSON"), "kept too");
    // Not regular files of a request's size: never read, which would hang
    // on the FIFO and never end on the device.
    ASSERT_EQ(mkfifo(QFile::encodeName(dir.filePath("fifo.json")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", dir.filePath("zero.json")));
    writeFile(dir.filePath("huge.json"), QByteArray(2 << 20, ' '));

    const auto requests = DuplicateLaunchRequestStore::consumePending(config);
    ASSERT_EQ(requests.size(), 3) << "the stale one is dropped";
    EXPECT_EQ(requests[0].arguments, QStringList{"first"});
    EXPECT_EQ(requests[1].arguments, QStringList{"second"});
    EXPECT_EQ(requests[2].arguments, QStringList{"third"});
    EXPECT_EQ(dir.entryList(QDir::Files, QDir::Name), (QStringList{"notes.txt", "upper.JSON"}));
}

TEST(DuplicateLaunchRequestStore, AReaderNeverSeesAHalfWrittenRequest)
{
    TempTree t;
    const auto config = configIn(t);
    constexpr int total = 300;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        DuplicateLaunchRequest big = requestAt(0, QString(20000, u'x'));
        for (int i = 0; i < total; ++i)
            DuplicateLaunchRequestStore::post(big, config);
        done = true;
    });
    int consumed = 0;
    while (!done)
        consumed += int(DuplicateLaunchRequestStore::consumePending(config).size());
    writer.join();
    consumed += int(DuplicateLaunchRequestStore::consumePending(config).size());
    EXPECT_EQ(consumed, total) << "a request read mid-write would have been dropped as malformed";
}

// A request folder that is a link: nothing read or deleted in its target,
// nothing written there.
TEST(DuplicateLaunchRequestStore, ARequestFolderThatIsALinkIsRefused)
{
    TempTree t;
    const auto config = configIn(t);
    t.dir("elsewhere");
    writeFile(QString::fromStdString(t.path("elsewhere/precious.json")), "mine");
    QDir().mkpath(QFileInfo(config.duplicateLaunchRequestsURL()).path());
    ASSERT_TRUE(QFile::link(QString::fromStdString(t.path("elsewhere")), config.duplicateLaunchRequestsURL()));
    EXPECT_TRUE(DuplicateLaunchRequestStore::consumePending(config).isEmpty());
    EXPECT_THROW(DuplicateLaunchRequestStore::post(requestAt(0, "x"), config), RequestWriteError);
    EXPECT_EQ(QDir(QString::fromStdString(t.path("elsewhere"))).entryList(QDir::Files), QStringList{"precious.json"});
}

// The folders are the user's alone whatever the umask, and a request file
// of another user is not taken for this user's.
TEST(DuplicateLaunchRequestStore, FoldersArePrivateAndOnlyOwnRequestsCount)
{
    TempTree t;
    const auto config = configIn(t);
    const mode_t old = umask(0777);
    DuplicateLaunchRequestStore::post(requestAt(0, "mine"), config);
    umask(old);
    for (const QString &folder : {QFileInfo(config.duplicateLaunchRequestsURL()).path(), config.duplicateLaunchRequestsURL()}) {
        struct stat st;
        ASSERT_EQ(lstat(QFile::encodeName(folder).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << folder.toStdString();
    }
    if (geteuid() != 0)
        GTEST_SKIP() << "a file of another user needs root to make";
    const QString foreign = config.duplicateLaunchRequestsURL() + "/foreign.json";
    writeFile(foreign, requestAt(0, "theirs").toJson());
    ASSERT_EQ(chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
    const QList<DuplicateLaunchRequest> got = DuplicateLaunchRequestStore::consumePending(config);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got.first().arguments, QStringList{"mine"});
}
