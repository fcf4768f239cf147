// readme_screens OUTDIR: renders each screen of the window offscreen from the
// real widgets and writes landing.png, progress.png, workspace.png (with a
// hover card), shelf.png, trash.png, no-trash.png, from-file.png, failed.png,
// queued.png, drop.png and preferences.png for the README. The folders are real
// (empty) directories; their trees come from a staged engine, so the
// pictures are the same on every machine.
#include "content_view.h"
#include "file_analysis_view.h"
#include "results_shelf_view.h"
#include "scan_file_io.h"
#include "scan_workspace_view.h"
#include "stable_scan_node_id.h"
#include "sunburst_canvas_view.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>

namespace {

void spin(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// A made-up home folder: the same names and sizes every time.
ScanTree stagedTree(const QString &root, quint32 seed = 7)
{
    ScanTree tree;
    QRandomGenerator random(seed); // another seed: the same folder some weeks before
    std::function<qint64(const QString &, const std::optional<QUuid> &, int, qint64)> add =
        [&](const QString &path, const std::optional<QUuid> &parent, int depth, qint64 budget) -> qint64 {
        static const QStringList top{"Videos", "Pictures", "Projects", "Music", "Documents", "Downloads", ".cache", "Games"};
        static const QStringList inner{"2024", "2025", "archive", "raw", "exports", "src", "build", "assets", "backup"};
        ScanNodeRecord r;
        r.url = FileUrl::fromPath(path, true);
        r.id = stableScanNodeID(path);
        r.parentID = parent;
        r.displayName = r.url.lastPathComponent();
        r.kind = ScanNodeKind::directory;
        r.isReadable = true;
        qint64 total = 0;
        QList<QUuid> children;
        const QStringList &names = depth == 0 ? top : inner;
        const int count = depth == 0 ? int(names.size()) : depth < 3 ? 3 + int(random.bounded(4)) : 0;
        for (int i = 0; i < count; ++i) {
            const qint64 share = qint64(double(budget) * std::pow(0.55, i + 1) * (0.7 + random.generateDouble() * 0.6));
            const QString child = path + u'/' + names[i % names.size()] + (depth > 0 && i >= names.size() ? QString::number(i) : QString());
            total += add(child, r.id, depth + 1, share);
            children << stableScanNodeID(child);
        }
        // Each top folder's kind of files, so that types and ages have something to show.
        static const QHash<QString, QStringList> kinds{
            {"Videos", {"mp4", "mkv", "mov"}}, {"Pictures", {"jpg", "png", "raw"}}, {"Projects", {"cpp", "py", "o", "tar.gz"}},
            {"Music", {"flac", "mp3"}},        {"Documents", {"pdf", "docx", "txt"}}, {"Downloads", {"iso", "zip", "deb"}},
            {".cache", {"bin", "db"}},         {"Games", {"pak", "so"}}};
        const QString topFolder = path.section(u'/', root.count(u'/') + 1, root.count(u'/') + 1);
        const QStringList extensions = kinds.value(topFolder, {QStringLiteral("bin")});
        for (int i = 0; i < (depth == 0 ? 2 : 4); ++i) {
            ScanNodeRecord f;
            f.url = FileUrl::fromPath(path + QStringLiteral("/file-%1.%2").arg(i).arg(extensions[i % extensions.size()]));
            f.modifiedAt = QDateTime::currentSecsSinceEpoch() - qint64(random.bounded(6 * 365)) * 86400 * (i + 1) / 4;
            f.id = stableScanNodeID(f.url.path());
            f.parentID = r.id;
            f.displayName = f.url.lastPathComponent();
            f.isReadable = true;
            f.allocatedSize = f.logicalSize = qint64(double(budget) * 0.04 * random.generateDouble()) + 4096;
            total += f.allocatedSize;
            tree.insert(f);
            children << f.id;
        }
        r.allocatedSize = r.logicalSize = total;
        r.childCount = children.size();
        tree.insert(r);
        tree.setChildren(r.id, children);
        return total;
    };
    tree.rootID = stableScanNodeID(root);
    add(root, std::nullopt, 0, 412LL * 1000 * 1000 * 1000);
    return tree;
}

// Scans nothing: each folder gets what the pictures need.
class StagedEngine : public ScanEngineProviding {
public:
    std::shared_ptr<UpdateStream> startScan(const FileUrl &rootURL) override
    {
        auto stream = UpdateStream::create();
        const QString name = rootURL.lastPathComponent();
        ProgressSnapshot progress;
        progress.itemsScanned = 48213;
        progress.directoriesScanned = 3920;
        progress.filesScanned = 44293;
        progress.currentURL = FileUrl::fromPath(rootURL.path() + "/Projects/burrow/assets/textures/terrain/moss_03.png");
        stream->yield(ScanUpdate::progress(progress));
        if (name == u"broken") {
            stream->yield(ScanUpdate::failed(ScanFailure::rootInaccessible(rootURL)));
            stream->finish();
        } else if (name != u"slow") {
            const ScanTree tree = stagedTree(rootURL.path());
            ScanSummary summary;
            summary.isPartial = name == u"stopped";
            summary.rootURL = rootURL;
            summary.startedAt = QDateTime::currentDateTimeUtc();
            summary.finishedAt = summary.startedAt.addMSecs(2840);
            summary.itemsScanned = tree.size();
            summary.directoriesScanned = 0;
            tree.forEachNode([&](const ScanNodeRecord &r) { summary.directoriesScanned += r.kind == ScanNodeKind::directory; });
            summary.filesScanned = summary.itemsScanned - summary.directoriesScanned;
            summary.totalAllocatedSize = tree.rootNode()->allocatedSize;
            stream->yield(ScanUpdate::finished(tree, summary));
            stream->finish();
        }
        streams_.push_back(stream); // "slow" stays open: a scan that never ends
        return stream;
    }

private:
    std::vector<std::shared_ptr<UpdateStream>> streams_;
};

class NoActivation : public AppActivationService {
public:
    void bringToFront() const override {}
};

// A Trash that, as on a stick without one, is not there.
class NoTrash : public TrashService {
public:
    void moveToTrash(const TrashTarget &, Completion done) const override
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), [done] {
            done({TrashOutcome::Kind::noTrash, QStringLiteral("/media/stick (vfat)")});
        }, Qt::QueuedConnection);
    }
};

bool save(const QImage &image, const QString &path)
{
    if (!image.save(path)) {
        std::fprintf(stderr, "readme_screens: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Hovers the largest first-ring segment, for its card.
void hoverFirstRing(SunburstCanvasView *chart)
{
    for (const SunburstSegment &segment : chart->segments()) {
        if (segment.ringIndex != 1 || segment.kind.isOther())
            continue;
        const QPointF at = chart->segmentMidpoint(segment);
        QMouseEvent move(QEvent::MouseMove, at, chart->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(chart, &move);
        return;
    }
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // A size other than the README's, to look at the window small or large.
    QSize size(1100, 720);
    if (argc == 3) {
        const QList<QByteArray> wh = QByteArray(argv[2]).split('x');
        if (wh.size() == 2)
            size = QSize(wh[0].toInt(), wh[1].toInt());
    }
    if ((argc != 2 && argc != 3) || size.isEmpty()) {
        std::fprintf(stderr, "usage: readme_screens OUTDIR [WIDTHxHEIGHT]\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(out.path());
    QTemporaryDir folders;
    for (const char *name : {"home", "slow", "broken", "Media", "stopped", "usr/share", "local/share"})
        QDir(folders.path()).mkpath(name);
    auto url = [&](const char *name) { return QUrl::fromLocalFile(folders.filePath(name)); };

    ScanSessionServices services;
    services.appActivation = std::make_shared<NoActivation>();
    services.trashService = std::make_shared<NoTrash>();
    ScanSessionStore store(std::make_shared<StagedEngine>(), services);
    ContentView window(store);
    window.setWindowTitle("Burrowlens");
    window.resize(size);
    window.show();
    // A screen change may grow the window; each picture is taken at one size.
    auto shoot = [&](const char *name) {
        spin(200);
        window.resize(size);
        spin(50);
        return save(window.grab().toImage(), out.filePath(QString::fromLatin1(name)));
    };
    bool ok = shoot("landing.png");
    {
        QMimeData mime;
        mime.setUrls({url("home")});
        QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        ok &= shoot("drop.png");
        QDragLeaveEvent leave;
        QApplication::sendEvent(&window, &leave);
    }

    store.acceptIncoming({url("slow")});
    spin(100);
    ok &= shoot("progress.png");
    store.removeResult(*store.activeResultID());

    store.acceptIncoming({url("home")});
    spin(400);
    window.shelf()->setExpanded(false);
    window.refresh();
    SunburstCanvasView *chart = window.workspace()->chart();
    spin(300);
    hoverFirstRing(chart);
    spin(400);
    ok &= save(window.grab().toImage(), out.filePath("workspace.png"));

    // The views of what the folder is made of, each with one row chosen.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(chart, &leave);
    store.setAnalysisView(AnalysisView::largestFiles);
    ok &= shoot("files.png");
    store.setAnalysisView(AnalysisView::types);
    spin(200);
    {
        QTreeWidget *types = window.workspace()->analysisView()->typesTree();
        for (int k = 0; k < types->topLevelItemCount(); ++k) {
            if (types->topLevelItem(k)->text(0) == fileCategoryName(FileCategory::video))
                types->setCurrentItem(types->topLevelItem(k));
        }
    }
    ok &= shoot("types.png");
    store.setAnalysisView(AnalysisView::ages);
    spin(200);
    window.workspace()->analysisView()->agesList()->setCurrentRow(int(FileAge::year));
    ok &= shoot("ages.png");
    // What changed since a scan of some weeks before.
    {
        ScanTree before = stagedTree(folders.filePath("home"), 11);
        ScanSummary then;
        then.rootURL = FileUrl::fromPath(folders.filePath("home"), true);
        then.finishedAt = QDateTime::currentDateTimeUtc().addDays(-23);
        QString error;
        saveScanFile(before, then, folders.filePath("home-before.json"), &error);
        store.compareActiveWith(folders.filePath("home-before.json"));
        store.setAnalysisView(AnalysisView::changes);
        spin(400);
        hoverFirstRing(chart);
        ok &= shoot("changes.png");
        QApplication::sendEvent(chart, &leave);
    }
    store.setAnalysisView(AnalysisView::folders);

    window.shelf()->setExpanded(true);
    store.acceptIncoming({url("usr/share"), url("local/share"), url("stopped"), url("broken"), url("Media"), url("slow")});
    spin(200);
    store.acceptIncoming({url("Media")}); // a second drop only activates
    store.activateResult(store.results().first().id);
    window.refresh();
    spin(300);
    ok &= shoot("shelf.png");

    // A failed folder, and one waiting behind the running scan.
    window.shelf()->setExpanded(false);
    for (const ScanResultState &r : store.results()) {
        if (r.phase == ScanResultPhase::failed)
            store.activateResult(r.id);
    }
    ok &= shoot("failed.png");
    store.activateResult(store.results().first().id);
    store.rescanActiveResult(); // queued behind "slow"
    ok &= shoot("queued.png");
    store.removeResult(store.results().first().id);
    store.acceptIncoming({url("home")});
    store.removeResult(*store.currentScanningResultID());
    spin(300);

    // The alert is its own window; it is drawn onto the window's picture.
    for (const ScanResultState &r : store.results()) {
        if (r.rootURL.lastPathComponent() == u"home")
            store.activateResult(r.id);
    }
    spin(200);
    const QList<ScanNodeRecord> children = store.focusedChildren();
    if (!children.isEmpty())
        store.requestTrashForNode(children.first().id);
    spin(200);
    window.resize(size);
    spin(50);
    // A dialog is its own window; it is drawn onto the window's picture.
    auto withDialog = [&](QWidget *dialog) {
        QImage picture = window.grab().toImage();
        if (dialog) {
            const QImage box = dialog->grab().toImage();
            QPainter p(&picture);
            p.fillRect(picture.rect(), QColor(0, 0, 0, 90));
            p.drawImage((picture.width() - box.width()) / 2, (picture.height() - box.height()) / 3, box);
        }
        return picture;
    };
    ok &= save(withDialog(window.trashAlert()), out.filePath("trash.png"));
    // Its file system has no Trash: the offer to delete it for good.
    store.confirmTrashRequest();
    spin(300);
    window.resize(size);
    spin(50);
    ok &= save(withDialog(window.deletionAlert()), out.filePath("no-trash.png"));
    store.cancelPendingDeletion();
    spin(100);

    // A scan read from a file: for looking, and it says so.
    {
        QFile file(folders.filePath("server.json"));
        file.open(QIODevice::WriteOnly);
        QByteArray json = "[1,2,{\"progname\":\"burrowlens\",\"timestamp\":1764700000},\n[{\"name\":\"/var/log\"}";
        const char *names[] = {"journal", "nginx", "postgresql", "apt", "installer"};
        for (int i = 0; i < 5; ++i)
            json += ",\n[{\"name\":\"" + QByteArray(names[i]) + "\"},{\"name\":\"current.log\",\"asize\":" +
                    QByteArray::number(qint64(4e9) >> i) + ",\"dsize\":" + QByteArray::number(qint64(4e9) >> i) + "}]";
        file.write(json + ",\n{\"name\":\"syslog\",\"asize\":90000000,\"dsize\":90000000}]]\n");
    }
    store.acceptIncoming({QUrl::fromLocalFile(folders.filePath("server.json"))});
    window.shelf()->setExpanded(false);
    ok &= shoot("from-file.png");

    // Preferences as a user who leaves out build output and caches sees them.
    const QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    WindowPreferences chosen;
    chosen.scan.excludePatterns = {"node_modules", "*.o"};
    chosen.scan.excludeCaches = true;
    chosen.units = ByteUnits::binary;
    chosen.save("screens", "preferences");
    window.setPreferencesLocation("screens", "preferences");
    window.showPreferences();
    spin(200);
    ok &= save(withDialog(window.preferencesDialog()), out.filePath("preferences.png"));
    return ok ? 0 : 1;
}
