// The session store with its real parts: the fast engine on real folders,
// the user's Trash (in a temporary data home), and a file manager on the
// session bus.
#include "content_view.h"
#include "fast_scan_engine.h"
#include "preferences_dialog.h"
#include "scan_file.h"
#include "scan_file_io.h"
#include "scan_history.h"
#include "scan_workspace_view.h"
#include "sidebar_list_view.h"
#include "stable_scan_node_id.h"
#include "view_style.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDirIterator>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QTest>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using namespace storetest;

namespace {

void writeFile(const QString &path, int bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(bytes, 'x'));
}

std::unique_ptr<ScanSessionStore> realStore(ScanSessionServices services = {})
{
    services.appActivation = std::make_shared<RecordingActivation>();
    return std::make_unique<ScanSessionStore>(std::make_shared<FastScanEngine>(20), services);
}

// Why each failed action failed, as the window's alert would say it.
void collectFailureReasons(ScanSessionStore &store, QStringList &reasons)
{
    QObject::connect(&store, &ScanSessionStore::actionFailed,
                     [&reasons](const QString &, const QString &reason) { reasons << reason; });
}

bool allReady(const ScanSessionStore &store)
{
    for (const ScanResultState &r : store.results()) {
        if (r.phase != ScanResultPhase::ready)
            return false;
    }
    return !store.currentScanningResultID();
}

// Stands in for the desktop's file manager on the test's private bus.
class FileManagerStub : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;

public slots:
    void ShowItems(const QStringList &uris, const QString &) { shown << uris; }
};

// A desktop whose only applications are in f: this program as the default
// handler of folders and, when withFileManager, a file manager that writes
// the URIs it is given to the file "shown".
void setUpDesktop(const Folders &f, bool withFileManager)
{
    QDir().mkpath(f.path("share/applications"));
    QDir().mkpath(f.path("config"));
    const auto write = [](const QString &path, const QByteArray &text) {
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(text);
    };
    write(f.path("share/applications/com.quillfen.burrowlens.desktop"),
          "[Desktop Entry]\nType=Application\nName=Burrowlens\nExec=/bin/true %U\nMimeType=inode/directory;\n");
    if (withFileManager) {
        write(f.path("fm.sh"), "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$(dirname \"$0\")/shown\"\n");
        QFile::setPermissions(f.path("fm.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        write(f.path("share/applications/files.desktop"), "[Desktop Entry]\nType=Application\nName=Files\nExec=" +
                                                                QFile::encodeName(f.path("fm.sh")) +
                                                                " %U\nMimeType=inode/directory;\n");
    }
    // GIO finds handlers of a type through the folder's index.
    write(f.path("share/applications/mimeinfo.cache"),
          QByteArray("[MIME Cache]\ninode/directory=com.quillfen.burrowlens.desktop;") +
              (withFileManager ? "files.desktop;" : "") + "\n");
    write(f.path("config/mimeapps.list"), "[Default Applications]\ninode/directory=com.quillfen.burrowlens.desktop;\n");
    qputenv("XDG_DATA_HOME", QFile::encodeName(f.path("share")));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(f.path("none")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(f.path("config")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(f.path("none")));
}

} // namespace

TEST(ScanSessionStoreSystem, ThreeFoldersDroppedAtOnceAllReachReady)
{
    Folders f{"one", "two", "three"};
    for (const char *name : {"one", "two", "three"}) {
        for (int i = 0; i < 20; ++i)
            writeFile(f.path(name) + QString("/sub%1/file%2").arg(i % 4).arg(i), 1000 * (i + 1));
    }
    auto store = realStore();
    store->acceptIncoming({f.url("one"), f.url("two"), f.url("three")});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }, 30000));
    ASSERT_EQ(store->results().size(), 3);
    for (const ScanResultState &r : store->results()) {
        ASSERT_TRUE(r.tree && r.summary);
        EXPECT_EQ(r.tree->size(), 1 + 4 + 20) << r.rootURL.path().toStdString();
        EXPECT_EQ(r.summary->filesScanned, 20);
        EXPECT_EQ(r.focusedNodeID, r.tree->rootID);
    }
    EXPECT_EQ(store->activeResultID(), store->results().last().id);
}

TEST(ScanSessionStoreSystem, ADeletedFocusedFolderHandsTheFocusToItsParent)
{
    Folders f{"root"};
    writeFile(f.path("root/a/b/c/deep.bin"), 5000);
    writeFile(f.path("root/a/keep.bin"), 100);
    auto store = realStore();
    store->acceptIncoming({f.url("root")});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    store->focusNode(idOf(f.path("root/a/b/c")));
    ASSERT_EQ(store->activeResult()->focusedNodeID, idOf(f.path("root/a/b/c")));

    ASSERT_TRUE(QDir(f.path("root/a/b")).removeRecursively());
    store->rescanActiveResult();
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    EXPECT_EQ(store->activeResult()->focusedNodeID, idOf(f.path("root/a")));
    ASSERT_TRUE(spinUntil([&] { return store->focusedChildren().size() == 1; }));
    EXPECT_EQ(store->focusedChildren().first().displayName, "keep.bin");
}

TEST(ScanSessionStoreSystem, ConfirmedTrashMovesTheItemAndRescans)
{
    Folders f{"root", "home/.local/share"};
    // The home on the folders' file system, wherever the temporary folder is:
    // GIO puts the Trash of another one at its top. GLib reads both once per
    // process; ctest runs each test in its own.
    qputenv("HOME", QFile::encodeName(f.path("home")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(f.path("home/.local/share")));
    writeFile(f.path("root/docs/report.txt"), 3000);
    writeFile(f.path("root/docs/notes.txt"), 10);
    auto store = realStore();
    store->acceptIncoming({f.url("root")});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    store->focusNode(idOf(f.path("root/docs")));
    store->requestTrashForNode(idOf(f.path("root/docs/report.txt")));
    store->confirmTrashRequest();
    ASSERT_TRUE(spinUntil([&] { return !QFile::exists(f.path("root/docs/report.txt")); }));
    ASSERT_TRUE(spinUntil([&] {
        return allReady(*store) && store->activeResult()->tree &&
               !store->activeResult()->tree->contains(idOf(f.path("root/docs/report.txt")));
    }));
    EXPECT_EQ(store->activeResult()->focusedNodeID, idOf(f.path("root/docs")));

    const QString trash = f.path("home/.local/share/Trash");
    EXPECT_TRUE(QFile::exists(trash + "/files/report.txt"));
    QFile info(trash + "/info/report.txt.trashinfo");
    ASSERT_TRUE(info.open(QIODevice::ReadOnly));
    EXPECT_TRUE(info.readAll().contains("Path="));

    // A name that is not UTF-8 beside the text it repairs to: the Trash
    // takes the very file that was chosen, by its own bytes.
    const QByteArray odd = QFile::encodeName(f.path("root/docs")) + "/report\xe2\x82";
    const QByteArray look = QFile::encodeName(f.path("root/docs")) + "/report\xef\xbf\xbd";
    for (const QByteArray &path : {odd, look}) {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, path.constData(), size_t(path.size())), path.size());
        ::close(fd);
    }
    store->rescanActiveResult();
    ASSERT_TRUE(spinUntil([&] {
        return allReady(*store) && store->activeResult()->tree &&
               store->activeResult()->tree->contains(stableScanNodeIDOfBytes(odd));
    }));
    store->requestTrashForNode(stableScanNodeIDOfBytes(odd));
    store->confirmTrashRequest();
    struct stat st;
    ASSERT_TRUE(spinUntil([&] { return ::lstat(odd.constData(), &st) != 0; }));
    EXPECT_EQ(::lstat(look.constData(), &st), 0) << "its look-alike stays";
    QByteArray recorded; // the info files' names are bytes too
    const QByteArray infoDir = QFile::encodeName(trash + "/info");
    if (DIR *d = ::opendir(infoDir.constData())) {
        while (const dirent *e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream in((infoDir + '/' + e->d_name).toStdString());
            recorded += QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(in), {}));
        }
        ::closedir(d);
    }
    EXPECT_TRUE(recorded.contains("report%E2%82")) << recorded.toStdString();
    // QTemporaryDir cannot remove names that are not UTF-8.
    ::unlink((QFile::encodeName(trash) + "/files/report\xe2\x82").constData());
    ::unlink((infoDir + "/report\xe2\x82.trashinfo").constData());
    ASSERT_TRUE(spinUntil([&] {
        return allReady(*store) && !store->activeResult()->tree->contains(stableScanNodeIDOfBytes(odd));
    }));

    // An item gone by the time of the move: the store's message and a
    // rescan that drops its row.
    // (The rescan may end, clearing the result's message, before a poll
    // sees it: the signal is what the alert shows.)
    QStringList failures;
    QObject::connect(store.get(), &ScanSessionStore::actionFailed,
                     [&failures](const QString &failure, const QString &) { failures << failure; });
    store->requestTrashForNode(idOf(f.path("root/docs/notes.txt")));
    QFile::remove(f.path("root/docs/notes.txt"));
    store->confirmTrashRequest();
    ASSERT_TRUE(spinUntil([&] { return !failures.isEmpty(); }));
    EXPECT_EQ(failures, QStringList{"Could not move item to Trash."});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    EXPECT_FALSE(store->activeResult()->tree->contains(idOf(f.path("root/docs/notes.txt"))));
}

// The Trash takes only what was scanned: not what a link swapped in on the
// way put there, not another file under the same name, and a link as the link.
TEST(ScanSessionStoreSystem, TheTrashRefusesWhatIsNoLongerTheScannedItem)
{
    Folders f{"root", "outside/docs", "home/.local/share"};
    qputenv("HOME", QFile::encodeName(f.path("home")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(f.path("home/.local/share")));
    writeFile(f.path("root/docs/a.txt"), 10);
    writeFile(f.path("root/b.txt"), 10);
    writeFile(f.path("outside/docs/a.txt"), 10);
    ASSERT_TRUE(QFile::link(f.path("outside/docs/a.txt"), f.path("root/link")));
    auto store = realStore();
    QStringList reasons;
    collectFailureReasons(*store, reasons);
    store->acceptIncoming({f.url("root")});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    const int startsBefore = int(store->results().size());

    const auto trashAndWait = [&](const QString &path) {
        const qsizetype told = reasons.size();
        store->requestTrashForNode(idOf(path));
        EXPECT_TRUE(store->pendingTrashNode()) << path.toStdString();
        return told;
    };
    // A folder on the way replaced by a link to another one.
    qsizetype told = trashAndWait(f.path("root/docs/a.txt"));
    ASSERT_TRUE(QDir(f.path("root")).rename("docs", "docs.old"));
    ASSERT_TRUE(QFile::link(f.path("outside/docs"), f.path("root/docs")));
    store->confirmTrashRequest();
    ASSERT_TRUE(spinUntil([&] { return reasons.size() > told && allReady(*store); })) << reasons.join('|').toStdString();
    EXPECT_EQ(reasons.last(), "It is no longer the item that was scanned.");
    EXPECT_TRUE(QFile::exists(f.path("outside/docs/a.txt")));
    EXPECT_FALSE(store->activeResult()->tree->contains(idOf(f.path("root/docs/a.txt"))))
        << "rescanned: the link is a file now";

    // Another file moved over the name after the user was asked.
    told = trashAndWait(f.path("root/b.txt"));
    writeFile(f.path("root/b.new"), 20);
    ASSERT_EQ(::rename(QFile::encodeName(f.path("root/b.new")), QFile::encodeName(f.path("root/b.txt"))), 0);
    store->confirmTrashRequest();
    ASSERT_TRUE(spinUntil([&] { return reasons.size() > told && allReady(*store); }));
    EXPECT_TRUE(QFile::exists(f.path("root/b.txt")));

    // A link goes as the link; its target stays.
    store->requestTrashForNode(idOf(f.path("root/link")));
    store->confirmTrashRequest();
    struct stat st;
    ASSERT_TRUE(spinUntil([&] { return ::lstat(QFile::encodeName(f.path("root/link")), &st) != 0; })) << reasons.join(" | ").toStdString();
    EXPECT_TRUE(QFile::exists(f.path("outside/docs/a.txt")));
    EXPECT_EQ(reasons.size(), 2);
    EXPECT_EQ(int(store->results().size()), startsBefore);
}

TEST(ScanSessionStoreSystem, RevealAsksTheFileManagerOnTheSessionBus)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        GTEST_SKIP() << "no session bus (the suite runs under dbus-run-session)";
    FileManagerStub fileManager;
    ASSERT_TRUE(bus.registerObject("/org/freedesktop/FileManager1", &fileManager, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(bus.registerService("org.freedesktop.FileManager1"));

    Folders f{"root"};
    writeFile(f.path("root/with space/item.bin"), 10);
    auto store = realStore();
    store->revealFocusedNode(); // nothing active: nothing asked
    store->acceptIncoming({f.url("root")});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    store->focusNode(idOf(f.path("root/with space")));
    store->revealFocusedNode();
    ASSERT_TRUE(spinUntil([&] { return !fileManager.shown.isEmpty(); }));
    EXPECT_EQ(fileManager.shown, (QList<QStringList>{{QUrl::fromLocalFile(f.path("root/with space")).toString(QUrl::FullyEncoded)}}));
    EXPECT_TRUE(fileManager.shown.first().first().contains("with%20space"));

    // A name that is not UTF-8 reaches the file manager as its own bytes.
    const QByteArray odd = QFile::encodeName(f.path("root")) + "/odd\xff";
    ASSERT_EQ(::mkdir(odd.constData(), 0755), 0);
    store->rescanActiveResult();
    ASSERT_TRUE(spinUntil([&] {
        return allReady(*store) && store->activeResult()->tree->contains(stableScanNodeIDOfBytes(odd));
    }));
    store->focusNode(stableScanNodeIDOfBytes(odd));
    store->revealFocusedNode();
    ASSERT_TRUE(spinUntil([&] { return fileManager.shown.size() == 2; }));
    EXPECT_TRUE(fileManager.shown.last().first().endsWith("/odd%FF")) << fileManager.shown.last().first().toStdString();
    ::rmdir(odd.constData());
    bus.unregisterService("org.freedesktop.FileManager1");
    bus.unregisterObject("/org/freedesktop/FileManager1");
}

// Without a file manager on the bus, the item's folder opens in the
// desktop's handler of folders, never in this program (the default here);
// with none but this program, the user is told. GLib reads the desktop's
// folders once per process, so each case is a test of its own.
class RevealWithoutABus : public ::testing::TestWithParam<bool> {};

TEST_P(RevealWithoutABus, NeverOpensThisProgram)
{
    const bool withFileManager = GetParam();
    Folders f{"root/docs"};
    writeFile(f.path("root/docs/item.bin"), 10);
    setUpDesktop(f, withFileManager);
    auto store = realStore();
    QStringList reasons;
    collectFailureReasons(*store, reasons);
    store->acceptIncoming({f.url("root")});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    store->focusNode(idOf(f.path("root/docs/item.bin")));
    store->revealFocusedNode();
    if (!withFileManager) {
        ASSERT_TRUE(spinUntil([&] { return !reasons.isEmpty(); }));
        EXPECT_EQ(reasons.first(), "No file manager is set up to open folders.");
        return;
    }
    QFile shown(f.path("shown"));
    ASSERT_TRUE(spinUntil([&] { return shown.exists() && shown.size() > 0; })) << reasons.join(' ').toStdString();
    ASSERT_TRUE(shown.open(QIODevice::ReadOnly));
    const QByteArray given = shown.readAll().trimmed(); // GIO hands a local folder as a path
    EXPECT_TRUE(given == QFile::encodeName(f.path("root/docs")) || given == QUrl::fromLocalFile(f.path("root/docs")).toEncoded())
        << given.toStdString();
    EXPECT_TRUE(reasons.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(ScanSessionStoreSystem, RevealWithoutABus, ::testing::Bool());

#include "scan_session_store_system_test.moc"

// A scan file opens as a result: its tree as written, for looking only (no
// Trash, Open or Reveal, though its folder and a file of the same name are
// here), Rescan scanning its folder here as a new result; a file that is not
// an export fails with the reader's message.
TEST(ScanSessionStoreSystem, ScanFilesOpenAsResults)
{
    Folders f{"here", "files"};
    writeFile(f.path("here/kept.bin"), 3000);
    {
        QFile file(f.path("files/scan.json"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[1,2,{\"progname\":\"ncdu\",\"timestamp\":1700000000},\n"
                                  "[{\"name\":\"%1\"},{\"name\":\"kept.bin\",\"asize\":3000,\"dsize\":4096},"
                                  "{\"name\":\"away.bin\",\"asize\":9000,\"dsize\":12288}]]")
                       .arg(f.path("here"))
                       .toUtf8());
        QFile bad(f.path("files/notes.txt"));
        ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
        bad.write("shopping list");
    }
    ScanSessionServices services;
    auto panel = std::make_shared<ScriptedOpenPanel>();
    auto reveal = std::make_shared<RecordingReveal>();
    auto trash = std::make_shared<ScriptedTrash>();
    services.openPanel = panel;
    services.finderRevealService = reveal;
    services.trashService = trash;
    auto store = realStore(services);
    panel->answer = f.path("files/scan.json"); // the open panel takes scan files too
    store->chooseFolder();
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    const ScanResultState *opened = store->activeResult();
    ASSERT_TRUE(opened && opened->tree && opened->sourceFile);
    EXPECT_EQ(opened->rootURL.path(), f.path("here"));
    EXPECT_EQ(opened->summary->totalAllocatedSize, 4096 + 12288);
    EXPECT_EQ(opened->summary->finishedAt, QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));

    // Nothing is acted on, not even kept.bin, which is here too (its size
    // in the file may be another file's); the list says why.
    const ScanWorkspaceView workspace(*store);
    for (const char *name : {"here/away.bin", "here/kept.bin"}) {
        EXPECT_FALSE(workspace.sidebar()->offersTrash(*opened->tree->node(idOf(f.path(name)))));
        store->focusNode(idOf(f.path(name)));
        EXPECT_FALSE(store->canTrashActiveSelection()) << name;
        store->requestTrashForNode(idOf(f.path(name)));
        EXPECT_FALSE(store->pendingTrashNode()) << name;
        store->openNode(idOf(f.path(name)));
        store->revealFocusedNode();
    }
    settle();
    EXPECT_TRUE(reveal->asked.isEmpty());
    EXPECT_TRUE(trash->moved.empty());
    EXPECT_TRUE(workspace.fromFileNote()->isVisibleTo(&workspace));
    EXPECT_EQ(workspace.fromFileNote()->text(), "Read from a file: scan this folder here to act on it");
    EXPECT_FALSE(workspace.revealButton()->isEnabled());

    // Saved again, as the file it came from says.
    QStringList saved;
    QObject::connect(store.get(), &ScanSessionStore::scanSaved, [&](const QString &path, const QString &error) {
        saved << path << error;
    });
    panel->saveAnswer = f.path("files/again.json");
    store->saveActiveResult();
    ASSERT_TRUE(spinUntil([&] { return !saved.isEmpty(); }));
    EXPECT_EQ(saved, (QStringList{f.path("files/again.json"), QString()}));
    EXPECT_EQ(panel->suggested, "here.json");
    QFile again(f.path("files/again.json"));
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    QString error;
    const auto reread = readScanFile(again.readAll(), &error);
    ASSERT_TRUE(reread) << error.toStdString();
    EXPECT_TRUE(reread->tree == *store->activeResult()->tree);
    saved.clear();
    panel->saveAnswer = f.path("files/no/such/folder/x.json");
    store->saveActiveResult();
    ASSERT_TRUE(spinUntil([&] { return !saved.isEmpty(); }));
    EXPECT_FALSE(saved.value(1).isEmpty()) << "a save that fails says so";

    const QUuid fromFile = store->activeResultID().value();
    store->rescanActiveResult(); // the folder is here: scanned on this machine, as a new result
    ASSERT_TRUE(spinUntil([&] { return allReady(*store) && !store->activeResult()->sourceFile; }));
    EXPECT_EQ(store->activeResult()->summary->totalAllocatedSize, 4096);
    ASSERT_EQ(store->results().size(), 2);
    EXPECT_EQ(store->result(fromFile)->summary->totalAllocatedSize, 4096 + 12288) << "the file's result stays";
    const QUuid scannedHere = store->activeResultID().value();
    store->activateResult(fromFile);
    writeFile(f.path("here/new.bin"), 5000);
    store->rescanActiveResult(); // again: the result scanned here comes forward and is scanned again
    EXPECT_EQ(store->activeResultID(), scannedHere);
    ASSERT_TRUE(spinUntil([&] { return allReady(*store) && store->activeResult()->summary->filesScanned == 2; }));
    EXPECT_EQ(store->results().size(), 2);

    store->acceptIncoming({QUrl::fromLocalFile(f.path("files/notes.txt"))});
    ASSERT_TRUE(spinUntil([&] { return store->activeResult()->phase == ScanResultPhase::failed; }));
    EXPECT_TRUE(store->activeResult()->errorMessage->startsWith("Could not open the scan file: ")) << store->activeResult()->errorMessage->toStdString();
}

// Preferences through the window's own shortcut: what is chosen is written
// to the user defaults, reaches the next scan once the offered rescan is
// taken, and the figures follow the size and units at once; Cancel and a
// change of display alone neither write scan settings nor offer a rescan.
TEST(ScanSessionStoreSystem, PreferencesReachTheNextScanAndEveryView)
{
    Folders f{"r", "data"};
    qputenv("XDG_DATA_HOME", QFile::encodeName(f.path("data"))); // where kept scans go
    writeFile(f.path("r/keep/a.bin"), 5000);
    writeFile(f.path("r/drop.log"), 9000);
    writeFile(f.path("r/cache/blob"), 7000);
    {
        QFile tag(f.path("r/cache/CACHEDIR.TAG"));
        ASSERT_TRUE(tag.open(QIODevice::WriteOnly));
        tag.write("Signature: 8a477f597d28d172789f06886806bc55");
    }
    const QTemporaryDir config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    const auto source = [] { return ScanOptions::fromUserDefaults("bltest", "preferences"); };
    ScanSessionServices services;
    services.appActivation = std::make_shared<RecordingActivation>();
    ScanSessionStore store(std::make_shared<FastScanEngine>(20, 0, source), services);
    ContentView window(store);
    window.setPreferencesLocation("bltest", "preferences");
    window.resize(860, 580);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto restore = qScopeGuard([] { setByteUnits(ByteUnits::decimal); });
    store.acceptIncoming({f.url("r")});
    ASSERT_TRUE(spinUntil([&] { return allReady(store); }));
    const auto mark = [&](const char *relative) { return store.activeTreeNode(idOf(f.path(relative)))->mark; };
    ASSERT_EQ(mark("r/drop.log"), ScanNodeMark::none);
    const qint64 scans = store.activeResult()->summary->startedAt.toMSecsSinceEpoch();

    const auto open = [&] {
        window.activateWindow(); // as the desktop does once a dialog closed
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        QTest::keyClick(&window, Qt::Key_Comma, Qt::ControlModifier);
        return spinUntil([&] { return window.preferencesDialog() && window.preferencesDialog()->isVisible(); });
    };
    ASSERT_TRUE(open());
    PreferencesDialog *dialog = window.preferencesDialog();
    EXPECT_TRUE(dialog->oneFileSystemBox()->isChecked()) << "one file system is the default";
    EXPECT_FALSE(dialog->cachesBox()->isChecked());
    EXPECT_TRUE(dialog->patternsField()->toPlainText().isEmpty());
    dialog->cachesBox()->setChecked(true);
    dialog->patternsField()->setPlainText("*.log\n\n  nothing-like-it  ");
    dialog->reject();
    ASSERT_TRUE(spinUntil([&] { return !window.preferencesDialog(); }));
    EXPECT_EQ(WindowPreferences::load("bltest", "preferences"), WindowPreferences()) << "Cancel writes nothing";
    EXPECT_FALSE(window.rescanOffer());

    ASSERT_TRUE(open());
    dialog = window.preferencesDialog();
    EXPECT_FALSE(dialog->cachesBox()->isChecked()) << "a cancelled choice is not kept";
    dialog->cachesBox()->setChecked(true);
    dialog->patternsField()->setPlainText("*.log\n\n  nothing-like-it  ");
    dialog->oneFileSystemBox()->setChecked(false);
    dialog->sizeShownBox()->setCurrentIndex(dialog->sizeShownBox()->findText("Apparent size"));
    dialog->unitsBox()->setCurrentIndex(dialog->unitsBox()->findText("Binary (KiB, MiB, GiB)"));
    EXPECT_TRUE(dialog->keepHistoryBox()->isChecked()) << "scans are kept unless turned off";
    dialog->keepHistoryBox()->setChecked(false);
    QTest::keyClick(dialog, Qt::Key_Return);
    ASSERT_TRUE(spinUntil([&] { return window.rescanOffer() && window.rescanOffer()->isVisible(); }));
    const WindowPreferences saved = WindowPreferences::load("bltest", "preferences");
    EXPECT_TRUE(saved.scan.crossFileSystems);
    EXPECT_TRUE(saved.scan.excludeCaches);
    EXPECT_EQ(saved.scan.excludePatterns, (QList<QByteArray>{"*.log", "nothing-like-it"}));
    EXPECT_EQ(saved.sizeShown, SizeMeasure::logical);
    EXPECT_EQ(byteUnits(), ByteUnits::binary);
    EXPECT_EQ(store.sizeMeasure(), SizeMeasure::logical);
    EXPECT_FALSE(saved.keepHistory);
    EXPECT_TRUE(store.historySettings().folder.isEmpty()) << "nothing kept from now on";
    window.refresh();
    EXPECT_TRUE(window.workspace()->subtitleLabel()->fullText().contains("KiB selected"))
        << window.workspace()->subtitleLabel()->fullText().toStdString();
    EXPECT_EQ(mark("r/drop.log"), ScanNodeMark::none) << "the shown scan is as it was until the rescan";

    QPushButton *rescan = nullptr;
    for (QAbstractButton *b : window.rescanOffer()->buttons())
        rescan = b->text() == "Rescan" ? static_cast<QPushButton *>(b) : rescan;
    ASSERT_TRUE(rescan);
    rescan->click();
    ASSERT_TRUE(spinUntil([&] {
        return allReady(store) && store.activeResult()->summary->startedAt.toMSecsSinceEpoch() != scans;
    }));
    EXPECT_EQ(mark("r/drop.log"), ScanNodeMark::excluded);
    EXPECT_EQ(mark("r/cache"), ScanNodeMark::excluded);
    EXPECT_EQ(mark("r/keep/a.bin"), ScanNodeMark::none);
    EXPECT_EQ(store.results().size(), 1) << "the same result, scanned again";

    // Display alone: applied, no rescan offered.
    ASSERT_TRUE(open());
    window.preferencesDialog()->unitsBox()->setCurrentIndex(0);
    window.preferencesDialog()->accept();
    ASSERT_TRUE(spinUntil([&] { return byteUnits() == ByteUnits::decimal; }));
    QTest::qWait(50);
    EXPECT_FALSE(window.rescanOffer());
    EXPECT_EQ(WindowPreferences::load("bltest", "preferences").scan, saved.scan);
}

TEST(ScanSessionStoreSystem, TheFocusedFoldersFilesByTypeAndAgeComeFromTheBackground)
{
    Folders f{"home"};
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const struct {
        const char *name;
        int bytes;
        qint64 age; // seconds
    } files[] = {{"home/pics/a.JPG", 7000, 3600},         {"home/pics/b.png", 2500, 40 * 86400},
                 {"home/pics/old/c.tar.GZ", 9000, 800 * 86400}, {"home/notes", 500, 3600},
                 {"home/d.txt", 1500, 3 * 86400}};
    for (const auto &file : files) {
        writeFile(f.path(file.name), file.bytes);
        const struct timeval times[2] = {{time_t(now - file.age), 0}, {time_t(now - file.age), 0}};
        ASSERT_EQ(utimes(QFile::encodeName(f.path(file.name)).constData(), times), 0);
    }
    auto store = realStore();
    store->setSizeMeasure(SizeMeasure::logical);
    store->acceptIncoming({QUrl::fromLocalFile(f.path("home"))});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));

    int published = 0;
    QObject::connect(store.get(), &ScanSessionStore::analysisChanged, [&] { ++published; });
    const auto tables = [&](AnalysisView view) {
        store->setAnalysisView(view);
        EXPECT_FALSE(store->analysis().ready); // made on the pool, not here
        EXPECT_TRUE(spinUntil([&] { return store->analysis().ready; }));
        return store->analysis();
    };
    const FileAnalysis largest = tables(AnalysisView::largestFiles);
    ASSERT_EQ(largest.largestFiles.size(), 5);
    EXPECT_EQ(largest.largestPaths.first(), "pics/old/c.tar.GZ");
    EXPECT_EQ(largest.largestFiles.last().url.path(), f.path("home/notes"));

    const FileAnalysis types = tables(AnalysisView::types);
    const QList<FileTypeRow> expectedTypes = {{"tar.gz", FileCategory::archives, 9000, 1},
                                              {"jpg", FileCategory::pictures, 7000, 1},
                                              {"png", FileCategory::pictures, 2500, 1},
                                              {"txt", FileCategory::documents, 1500, 1},
                                              {"", FileCategory::other, 500, 1}};
    EXPECT_EQ(types.types, expectedTypes);
    EXPECT_EQ(types.categories.first().category, FileCategory::pictures);
    EXPECT_EQ(types.categories.first().size, 9500);
    // The chart's folders carry their mix: pics holds pictures and archives.
    ASSERT_TRUE(types.folderMix);
    const FolderMix pics = types.folderMix->value(idOf(f.path("home/pics")));
    EXPECT_EQ(pics[size_t(FileCategory::pictures)], 9500);
    EXPECT_EQ(pics[size_t(FileCategory::archives)], 9000);

    // A chosen type lists its own files; a new focus makes new tables.
    FileFilter pictures;
    pictures.kind = FileFilter::Kind::category;
    pictures.category = FileCategory::pictures;
    store->setAnalysisHighlight(pictures);
    ASSERT_TRUE(spinUntil([&] { return store->analysis().ready && store->analysis().highlight == pictures; }));
    ASSERT_EQ(store->analysis().largestPaths, (QList<QByteArray>{"pics/a.JPG", "pics/b.png"}));
    store->focusNode(idOf(f.path("home/pics/old")));
    ASSERT_TRUE(spinUntil([&] { return store->analysis().ready && store->analysis().focusedNodeID == idOf(f.path("home/pics/old")); }));
    EXPECT_TRUE(store->analysis().largestFiles.isEmpty()); // no pictures in it
    EXPECT_EQ(store->analysis().types.size(), 1);

    store->focusNode(idOf(f.path("home")));
    const FileAnalysis ages = tables(AnalysisView::ages);
    EXPECT_EQ(ages.ages[size_t(FileAge::day)].size, 7000 + 500);
    EXPECT_EQ(ages.ages[size_t(FileAge::week)].size, 1500);
    EXPECT_EQ(ages.ages[size_t(FileAge::threeMonths)].size, 2500);
    EXPECT_EQ(ages.ages[size_t(FileAge::fiveYears)].size, 9000);
    EXPECT_EQ(ages.ages[size_t(FileAge::unknown)].count, 0);

    // The folder view needs nothing made; asking again makes nothing.
    const int before = published;
    store->setAnalysisView(AnalysisView::ages);
    settle();
    EXPECT_EQ(published, before);
    store->setAnalysisView(AnalysisView::folders);
    EXPECT_TRUE(store->analysis().ready);
}

// Each whole scan is kept and compared with the one before it; any scan
// file may stand for "before", and one of another folder is refused.
TEST(ScanSessionStoreSystem, FinishedScansAreKeptAndComparedWithTheOneBefore)
{
    Folders f{"home", "history", "elsewhere"};
    writeFile(f.path("home/docs/a.txt"), 5000);
    writeFile(f.path("home/gone/b.bin"), 9000);
    auto store = realStore();
    store->setHistorySettings({f.path("history"), 10, qint64(1) << 30});
    QStringList failures;
    QObject::connect(store.get(), &ScanSessionStore::actionFailed,
                     [&failures](const QString &failure, const QString &why) { failures << failure + ' ' + why; });
    store->setSizeMeasure(SizeMeasure::logical);
    store->acceptIncoming({f.url("home")});
    ASSERT_TRUE(spinUntil([&] { return allReady(*store) && ScanHistory(f.path("history")).scansOf(FileUrl::fromPath(f.path("home"), true)).size() == 1; }));
    settle();
    EXPECT_FALSE(store->activeComparison()) << "the first scan has nothing before it";

    writeFile(f.path("home/docs/a.txt"), 25000);
    writeFile(f.path("home/new.txt"), 100);
    QDir(f.path("home/gone")).removeRecursively();
    store->rescanActiveResult();
    ASSERT_TRUE(spinUntil([&] { return store->activeComparison().has_value(); }));
    std::optional<ResultComparison> c = store->activeComparison();
    const ScanTree &tree = *store->activeResult()->tree;
    EXPECT_EQ(c->comparison->change(tree.ref(idOf(f.path("home/docs"))), SizeMeasure::logical), 20000);
    EXPECT_TRUE(c->comparison->isNew(tree.ref(idOf(f.path("home/new.txt")))));
    ASSERT_EQ(c->comparison->removed.size(), 1u);
    EXPECT_EQ(c->comparison->removed[0].path, "gone");
    EXPECT_EQ(ScanHistory(f.path("history")).scansOf(FileUrl::fromPath(f.path("home"), true)).size(), 2);
    EXPECT_TRUE(failures.isEmpty()) << failures.join('\n').toStdString();

    // A scan file of another folder is refused, and the comparison stays.
    {
        ScanTree::Builder b(FileUrl::fromPath(f.path("elsewhere"), true));
        ScanTree::NodeFacts folder;
        folder.kind = ScanNodeKind::directory;
        b.add(idOf(f.path("elsewhere")), -1, {}, folder);
        QString error;
        ASSERT_TRUE(saveScanFile(b.finish(), {}, f.path("elsewhere.json"), &error));
    }
    store->compareActiveWith(f.path("elsewhere.json"));
    ASSERT_TRUE(spinUntil([&] { return !failures.isEmpty(); }));
    EXPECT_TRUE(failures.first().contains(f.path("elsewhere"))) << failures.first().toStdString();
    EXPECT_EQ(store->activeComparison()->olderFile, c->olderFile);

    // With the history off, nothing more is kept.
    store->setHistorySettings({});
    store->rescanActiveResult();
    ASSERT_TRUE(spinUntil([&] { return allReady(*store); }));
    settle();
    EXPECT_EQ(ScanHistory(f.path("history")).scansOf(FileUrl::fromPath(f.path("home"), true)).size(), 2);
    EXPECT_FALSE(store->activeComparison()) << "a new tree: the old comparison is of another";
}
