// The per-user lock, contended by real processes.
#include "instance_lock.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using bltest::TempTree;

namespace {

QString helperSays(const QStringList &arguments, qint64 *pid = nullptr)
{
    QProcess helper;
    helper.start(QStringLiteral(INSTANCE_HELPER), arguments);
    helper.waitForStarted();
    if (pid)
        *pid = helper.processId();
    helper.waitForFinished(30000);
    return QString::fromUtf8(helper.readAllStandardOutput()).trimmed();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

TEST(InstanceLock, HeldAgainstOtherProcessesAndReleased)
{
    TempTree t;
    const QString path = QString::fromStdString(t.path("a/b/c/app.lock"));
    {
        const auto lock = InstanceLock::acquire(path);
        EXPECT_EQ(lock->lockURL(), path);
        struct stat st;
        ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0) << "the directory chain is made";
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        const QByteArray mine = QByteArray::number(qint64(getpid())) + "\n";
        EXPECT_EQ(contents(path), mine);

        EXPECT_EQ(helperSays({"lock", path}), "lock-error 2 0") << "alreadyRunning";
        EXPECT_EQ(contents(path), mine) << "the loser leaves the holder's identifier";
    }
    // Released: a longer stale identifier leaves no trailing digits behind.
    QFile stale(path);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly | QIODevice::Truncate));
    stale.write("123456789012345\n");
    stale.close();
    qint64 pid = 0;
    EXPECT_EQ(helperSays({"lock", path}, &pid), "held");
    EXPECT_EQ(contents(path), QByteArray::number(pid) + "\n");
}

TEST(InstanceLock, UnwritableLocationsAreErrors)
{
    {
        // A link at the lock's path: refused, its target untouched.
        TempTree t;
        { std::FILE *f = std::fopen(t.path("target").c_str(), "w"); std::fputs("keep me", f); std::fclose(f); }
        ASSERT_EQ(symlink(t.path("target").c_str(), t.path("app.lock").c_str()), 0);
        EXPECT_THROW(InstanceLock::acquire(QString::fromStdString(t.path("app.lock"))), InstanceLockError);
        EXPECT_EQ(contents(QString::fromStdString(t.path("target"))), "keep me");
    }
    EXPECT_EQ(InstanceLockError::openFailed(13), InstanceLockError::openFailed(13));
    EXPECT_FALSE(InstanceLockError::openFailed(13) == InstanceLockError::lockFailed(13));
    EXPECT_FALSE(InstanceLockError::openFailed(13) == InstanceLockError::openFailed(2));

    TempTree t;
    t.dir("readonly", 0555);
    t.dir("readonly/existing", 0555);
    const auto answer = bltest::inUnprivilegedChild([&] {
        std::string out;
        for (const char *lock : {"readonly/new/app.lock", "readonly/existing/app.lock"}) {
            try {
                InstanceLock::acquire(QString::fromStdString(t.path(lock)));
                out += "held;";
            } catch (const DirectoryCreationError &e) {
                out += "directory " + std::to_string(e.code().value()) + ";";
            } catch (const InstanceLockError &e) {
                out += "lock " + std::to_string(int(e.kind())) + " " + std::to_string(e.error()) + ";";
            }
        }
        return out;
    });
    if (!answer)
        GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
    EXPECT_EQ(*answer, "directory 13;lock 0 13;") << "EACCES from mkdir, then from open";
}
