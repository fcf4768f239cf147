// The Trash on real folders: what is moved is what the scan saw, from the
// folder that was checked, never from where a link swapped in leads; where
// a file system has no Trash, a deletion below the checked folder.
#include "trash_service.h"

#include "event_loop_wait.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

void writeFile(const QString &path, int bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(bytes, 'x'));
}

std::optional<FileIdentity> identityOf(const QString &path)
{
    return fileIdentityOf(QFile::encodeName(path).constData(), true);
}

TrashTarget targetOf(const QString &root, const QString &path, ScanNodeKind kind, qint64 size)
{
    return TrashTarget{FileUrl::fromPath(path, kind != ScanNodeKind::file), FileUrl::fromPath(root, true),
                       identityOf(root), kind, false, size, std::nullopt};
}

TrashOutcome run(bool permanently, const TrashTarget &target)
{
    std::optional<TrashOutcome> outcome;
    const TrashService service;
    const auto done = [&](const TrashOutcome &o) { outcome = o; };
    permanently ? service.deletePermanently(target, done) : service.moveToTrash(target, done);
    EXPECT_TRUE(spinUntil([&] { return outcome.has_value(); }));
    return outcome.value_or(TrashOutcome{TrashOutcome::Kind::failed, "no answer"});
}

// A home of the test's own, on the folders' file system.
struct Home {
    Home()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path() + "/home/.local/share"));
        QDir().mkpath(dir.path() + "/home/.local/share");
    }
    QString path(const QString &relative) const { return dir.path() + '/' + relative; }
    QTemporaryDir dir;
};

} // namespace

// What the scan saw is compared with what is there when the user confirms:
// a file replaced by a folder of fifty files is not taken for it.
TEST(TrashService, OnlyWhatTheScanSawGoes)
{
    Home h;
    writeFile(h.path("root/report.txt"), 10);
    const TrashTarget asScanned = targetOf(h.path("root"), h.path("root/report.txt"), ScanNodeKind::file, 10);
    ASSERT_TRUE(QFile::remove(h.path("root/report.txt")));
    for (int i = 0; i < 50; ++i)
        writeFile(h.path("root/report.txt/f%1").arg(i), 100);
    const TrashOutcome refused = run(false, asScanned);
    EXPECT_EQ(refused.kind, TrashOutcome::Kind::failed);
    EXPECT_EQ(refused.reason, "It is no longer the item that was scanned.");
    EXPECT_EQ(QDir(h.path("root/report.txt")).entryList(QDir::Files).size(), 50);

    // A file of another size under the name: refused too; the same file goes.
    writeFile(h.path("root/notes.txt"), 20);
    EXPECT_EQ(run(false, targetOf(h.path("root"), h.path("root/notes.txt"), ScanNodeKind::file, 10)).kind,
              TrashOutcome::Kind::failed);
    EXPECT_EQ(run(false, targetOf(h.path("root"), h.path("root/notes.txt"), ScanNodeKind::file, 20)).kind,
              TrashOutcome::Kind::done);
    EXPECT_FALSE(QFile::exists(h.path("root/notes.txt")));
    EXPECT_TRUE(QFile::exists(h.path("home/.local/share/Trash/files/notes.txt")));
    QFile info(h.path("home/.local/share/Trash/info/notes.txt.trashinfo"));
    ASSERT_TRUE(info.open(QIODevice::ReadOnly));
    EXPECT_TRUE(info.readAll().startsWith("[Trash Info]\nPath=" + QFile::encodeName(h.path("root/notes.txt")).toPercentEncoding("/")));
}

// A folder on the way swapped, again and again, for a link to a folder
// outside the scanned one while its files go to the Trash one by one: not
// one file of the outside goes.
TEST(TrashService, ALinkSwappedInWhileMovingTakesNothingOutside)
{
    Home h;
    constexpr int kFiles = 300;
    for (int i = 0; i < kFiles; ++i) {
        writeFile(h.path("root/docs/f%1").arg(i), 10);
        writeFile(h.path("outside/docs/f%1").arg(i), 10);
    }
    const QByteArray docs = QFile::encodeName(h.path("root/docs"));
    const QByteArray aside = QFile::encodeName(h.path("root/docs.real"));
    const QByteArray outside = QFile::encodeName(h.path("outside/docs"));
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done) {
            if (::rename(docs.constData(), aside.constData()) == 0) {
                ::symlink(outside.constData(), docs.constData());
                ::unlink(docs.constData());
                ::rename(aside.constData(), docs.constData());
            }
        }
    });
    for (int i = 0; i < kFiles; ++i)
        run(false, targetOf(h.path("root"), h.path("root/docs/f%1").arg(i), ScanNodeKind::file, 10));
    done = true;
    swapper.join();
    EXPECT_EQ(QDir(h.path("outside/docs")).entryList(QDir::Files).size(), kFiles) << "nothing outside went";
    const qsizetype left = QDir(h.path("root/docs")).entryList(QDir::Files).size();
    EXPECT_EQ(QDir(h.path("home/.local/share/Trash/files")).entryList(QDir::Files).size(), kFiles - left);
}

// A file system without a Trash (a tmpfs) says so and which it is; the
// deletion instead goes below the checked folder, takes a link as the link,
// and says what is left when a part cannot go.
TEST(TrashService, WithoutATrashADeletionBelowTheCheckedFolder)
{
    Home h;
    QDir().mkpath(h.path("mnt"));
    if (::mount("none", QFile::encodeName(h.path("mnt")).constData(), "tmpfs", 0, nullptr) != 0)
        GTEST_SKIP() << "mount is not permitted here";
    const auto unmount = qScopeGuard([&] {
        ::umount2(QFile::encodeName(h.path("mnt/d/busy")).constData(), MNT_DETACH);
        ::umount2(QFile::encodeName(h.path("mnt")).constData(), MNT_DETACH);
    });
    writeFile(h.path("mnt/d/a/b/c"), 100);
    writeFile(h.path("mnt/d/x"), 10);
    writeFile(h.path("outside/keep"), 10);
    ASSERT_TRUE(QFile::link(h.path("outside"), h.path("mnt/d/link")));
    const TrashTarget folder = targetOf(h.path("mnt"), h.path("mnt/d"), ScanNodeKind::directory, 0);
    const TrashOutcome none = run(false, folder);
    EXPECT_EQ(none.kind, TrashOutcome::Kind::noTrash);
    EXPECT_TRUE(none.reason.contains(h.path("mnt")) && none.reason.contains("tmpfs")) << none.reason.toStdString();
    EXPECT_TRUE(QFile::exists(h.path("mnt/d/x"))) << "nothing moved";

    // A mount inside cannot go: the rest does, and what is left is said.
    QDir().mkpath(h.path("mnt/d/busy"));
    ASSERT_EQ(::mount("none", QFile::encodeName(h.path("mnt/d/busy")).constData(), "tmpfs", 0, nullptr), 0);
    const TrashOutcome partly = run(true, folder);
    EXPECT_EQ(partly.kind, TrashOutcome::Kind::failed);
    EXPECT_TRUE(partly.reason.contains("1 item could not be deleted")) << partly.reason.toStdString();
    EXPECT_TRUE(partly.reason.contains(h.path("mnt/d"))) << partly.reason.toStdString();
    EXPECT_FALSE(QFile::exists(h.path("mnt/d/x")));
    EXPECT_FALSE(QFile::exists(h.path("mnt/d/a")));
    EXPECT_TRUE(QFile::exists(h.path("outside/keep"))) << "the link went, not its target";
    ::umount2(QFile::encodeName(h.path("mnt/d/busy")).constData(), MNT_DETACH);
    EXPECT_EQ(run(true, folder).kind, TrashOutcome::Kind::done);
    EXPECT_FALSE(QFile::exists(h.path("mnt/d")));
}
