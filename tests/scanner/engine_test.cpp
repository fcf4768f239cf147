// Both scan engines on real trees, consumed through their update streams.
#include "fast_scan_engine.h"
#include "name_arena.h"
#include "local_file_system_provider.h"
#include "scan_engine.h"
#include "stable_scan_node_id.h"
#include "temp_tree.h"
#include "bl_scan_internal.h"

#include <gtest/gtest.h>

#include <QSet>
#include <QDir>
#include <QSettings>
#include <fstream>
#include <limits>
#include <sstream>
#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

using bltest::TempTree;

namespace {

std::vector<ScanUpdate> drain(const std::shared_ptr<UpdateStream> &stream)
{
    std::vector<ScanUpdate> updates;
    while (auto u = stream->next())
        updates.push_back(std::move(*u));
    return updates;
}

std::vector<ScanUpdate> scanWith(ScanEngineProviding &engine, const std::string &path)
{
    return drain(engine.startScan(FileUrl::fromPath(QString::fromStdString(path), true)));
}

FastScanEngine &fastEngine()
{
    static FastScanEngine engine;
    return engine;
}

ScanEngine &recursiveEngine()
{
    static ScanEngine engine(std::make_shared<LocalFileSystemProvider>());
    return engine;
}

const ScanUpdate::Finished &finishedOf(const std::vector<ScanUpdate> &updates)
{
    return updates.back().get<ScanUpdate::Finished>();
}

void buildTree(const TempTree &t)
{
    t.dir("docs");
    t.dir("docs/deep");
    t.dir("empty");
    t.file("docs/a.txt", 5000);
    t.file("docs/deep/b.bin", 70000);
    t.file("top", 123);
    t.file(".dot", 9);
    t.symlink("docs", "link");
    t.fifo("pipe");
}

// Every record's identifier is the one of its path; parents and child lists agree.
void expectWellFormed(const ScanTree &tree)
{
    ASSERT_TRUE(tree.rootNode());
    EXPECT_FALSE(tree.rootNode()->parentID);
    for (const ScanNodeRecord &r : tree.records()) {
        EXPECT_EQ(r.id, stableScanNodeID(r.url.path())) << r.url.path().toStdString();
        if (r.id == tree.rootID)
            continue;
        ASSERT_TRUE(r.parentID);
        ASSERT_TRUE(tree.contains(*r.parentID));
        EXPECT_TRUE(tree.childIDs(*r.parentID).contains(r.id));
    }
}

} // namespace

TEST(FastScanEngine, UpdateOrderAndFinishedTree)
{
    TempTree t;
    buildTree(t);
    const auto updates = scanWith(fastEngine(), t.root() + "/");
    ASSERT_GE(updates.size(), 3u);
    EXPECT_EQ(updates.front().kind(), ScanUpdate::Kind::started);
    const auto &last = updates[updates.size() - 2];
    ASSERT_EQ(last.kind(), ScanUpdate::Kind::progress);
    ASSERT_EQ(updates.back().kind(), ScanUpdate::Kind::finished);
    EXPECT_EQ(last.get<ProgressSnapshot>().currentURL->path(), QString::fromStdString(t.root()));

    const auto &[tree, summary] = finishedOf(updates);
    expectWellFormed(tree);
    const bltest::WalkTotals walk = bltest::independentWalk(t.root());
    EXPECT_EQ(tree.size(), walk.items);
    EXPECT_EQ(summary.itemsScanned, walk.items);
    EXPECT_EQ(summary.directoriesScanned, walk.dirs);
    EXPECT_EQ(summary.filesScanned, walk.files);
    EXPECT_EQ(summary.totalAllocatedSize, qint64(walk.allocated));
    EXPECT_EQ(tree.rootNode()->logicalSize, qint64(walk.logical));
    EXPECT_EQ(tree.rootID, stableScanNodeID(QString::fromStdString(t.root())))
        << "the trailing slash does not change the identifier";
    EXPECT_EQ(tree.rootNode()->displayName, QString::fromStdString(t.root()).section('/', -1))
        << "an empty root name shows the last path component";
    EXPECT_FALSE(summary.finishedAt < summary.startedAt);
}

TEST(FastScanEngine, TakesOverAWalkOfTheSameFolderWithNoChoicesOnly)
{
    TempTree t, other;
    buildTree(t);
    other.file("x", 10);
    const auto walked = [](const std::string &folder) {
        std::unique_ptr<bl::StartedScan> walk = bl::StartedScan::start(folder);
        int32_t error = 0;
        EXPECT_EQ(walk->wait(&error), 0);
        return walk;
    };
    const auto walkedBefore = [&](const std::string &folder, ScanOptions options) {
        std::unique_ptr<bl::StartedScan> walk = walked(folder);
        std::ofstream(t.path("late")) << "written after the walk";
        FastScanEngine engine(FastScanEngine::kPollIntervalMs, 0, [options] { return options; });
        engine.takeStartedScan(std::move(walk));
        const ScanTree tree = finishedOf(scanWith(engine, t.root())).tree;
        std::remove(t.path("late").c_str());
        return tree.contains(stableScanNodeID(QString::fromStdString(t.path("late"))));
    };
    EXPECT_FALSE(walkedBefore(t.root(), {})) << "the walk is the scan";
    EXPECT_TRUE(walkedBefore(other.root(), {})) << "another folder's walk is discarded";
    ScanOptions caches;
    caches.excludeCaches = true;
    EXPECT_TRUE(walkedBefore(t.root(), caches)) << "a walk without the choices asked for is discarded";

    // A walk that cannot begin returns at once with the reason.
    std::unique_ptr<bl::StartedScan> missing = bl::StartedScan::start(t.path("missing"));
    int32_t error = 0;
    EXPECT_EQ(missing->wait(&error), -1);
    EXPECT_EQ(error, ENOENT);
}

TEST(FastScanEngine, PackagesAreMeasuredIntoEveryAncestor)
{
    TempTree t;
    t.dir("a");
    t.dir("a/b");
    t.file("a/b/plain", 3000);
    t.dir("a/b/Tool.app");
    t.dir("a/b/Tool.app/Contents");
    t.file("a/b/Tool.app/Contents/binary", 200000);
    t.file("a/b/Tool.app/.hidden", 7000);
    const auto inside = bltest::independentWalk(t.path("a/b/Tool.app"));
    const auto outside = bltest::independentWalk(t.root());

    const auto updates = scanWith(fastEngine(), t.root());
    const auto &tree = finishedOf(updates).tree;
    const auto package = tree.node(stableScanNodeID(QString::fromStdString(t.path("a/b/Tool.app"))));
    ASSERT_TRUE(package);
    EXPECT_EQ(package->kind, ScanNodeKind::package);
    EXPECT_EQ(package->allocatedSize, qint64(inside.allocated));
    EXPECT_EQ(package->logicalSize, qint64(inside.logical));
    for (const char *ancestor : {"a/b", "a"}) {
        const auto r = tree.node(stableScanNodeID(QString::fromStdString(t.path(ancestor))));
        EXPECT_EQ(r->allocatedSize - qint64(inside.allocated),
                  qint64(bltest::independentWalk(t.path(ancestor)).allocated))
            << ancestor;
    }
    EXPECT_EQ(tree.rootNode()->allocatedSize, qint64(outside.allocated + inside.allocated));
    EXPECT_EQ(tree.rootNode()->logicalSize, qint64(outside.logical + inside.logical));

    // A package root is one node, sized by measuring it.
    const auto rootUpdates = scanWith(fastEngine(), t.path("a/b/Tool.app"));
    const auto &[rootTree, summary] = finishedOf(rootUpdates);
    EXPECT_EQ(rootTree.size(), 1);
    EXPECT_EQ(rootTree.rootNode()->kind, ScanNodeKind::package);
    EXPECT_EQ(summary.totalAllocatedSize, qint64(inside.allocated));
}

TEST(FastScanEngine, FailuresAndEarlyStops)
{
    TempTree t;
    t.file("plain", 10);
    t.wide("w", 200, 10);
    for (const auto &[bad, reason] : {std::pair{t.path("plain"), "Not a directory"},
                                      std::pair{t.path("missing"), "No such file or directory"}}) {
        const auto updates = scanWith(fastEngine(), bad);
        ASSERT_EQ(updates.size(), 2u);
        ASSERT_EQ(updates.back().kind(), ScanUpdate::Kind::failed);
        EXPECT_EQ(updates.back().get<ScanFailure>().message(),
                  QStringLiteral("Could not access folder: %1 (%2)").arg(QString::fromStdString(bad), reason));
    }

    // A consumer that walks away right after "started": the engine stops
    // that scan (it ends cancelled, not finished) and is free for the next.
    const int cancelledBefore = fastEngine().cancelledScans();
    auto stream = fastEngine().startScan(FileUrl::fromPath(QString::fromStdString(t.root()), true));
    ASSERT_EQ(stream->next()->kind(), ScanUpdate::Kind::started);
    stream->abandon();
    EXPECT_FALSE(stream->next());
    EXPECT_EQ(scanWith(fastEngine(), t.root()).back().kind(), ScanUpdate::Kind::finished);
    EXPECT_EQ(fastEngine().cancelledScans(), cancelledBefore + 1);

}

// Names are bytes: siblings that differ only in bytes that are not UTF-8,
// or that repair to the same text, stay distinct, sized and reachable.
TEST(ScanEngines, NamesThatAreNotUtf8KeepTheirOwnIdentity)
{
    TempTree t;
    t.dir("a\xff");
    t.file("a\xff/one", 1000);
    t.dir("a\xfe");
    t.file("a\xfe/two", 2000);
    t.file("a\xfe/three", 3000);
    t.file("report\xe2\x82", 40000); // a cut multibyte sequence
    t.file("report", 15);
    t.file("big\xff.iso", 3000);
    t.file("big\xef\xbf\xbd.iso", 5000); // the repaired text of the name above
    t.file("line\nbreak\x1b[31m", 70); // shown with the pictures of its control characters
    const bltest::WalkTotals walk = bltest::independentWalk(t.root());

    std::optional<ScanTree> fastTree;
    for (ScanEngineProviding *engine : {static_cast<ScanEngineProviding *>(&fastEngine()),
                                        static_cast<ScanEngineProviding *>(&recursiveEngine())}) {
        const auto updates = scanWith(*engine, t.root());
        ASSERT_EQ(updates.back().kind(), ScanUpdate::Kind::finished);
        const ScanTree &tree = finishedOf(updates).tree;
        EXPECT_EQ(tree.size(), walk.items);
        EXPECT_EQ(tree.rootNode()->allocatedSize, qint64(walk.allocated));
        QSet<QUuid> ids;
        for (const ScanNodeRecord &r : tree.records()) {
            ids.insert(r.id);
            const QByteArray native = r.url.nativeFilePath();
            EXPECT_EQ(r.id, stableScanNodeIDOfBytes(native));
            if (r.url.path().toUtf8() == native) {
                EXPECT_EQ(r.id, stableScanNodeID(r.url.path())) << "paths that are their text keep its identifier";
            }
            // What goes back to the disk reaches this very object.
            struct stat st;
            ASSERT_EQ(lstat(native.constData(), &st), 0) << native.toStdString();
            if (r.kind == ScanNodeKind::file)
                EXPECT_EQ(qint64(st.st_blocks) * 512, r.allocatedSize) << native.toStdString();
            else
                EXPECT_EQ(r.allocatedSize, qint64(bltest::independentWalk(native.toStdString()).allocated));
        }
        EXPECT_EQ(ids.size(), tree.size()) << "one identifier per object";
        const auto cut = tree.node(stableScanNodeIDOfBytes(QByteArray::fromStdString(t.path("report\xe2\x82"))));
        ASSERT_TRUE(cut);
        EXPECT_TRUE(cut->displayName.startsWith(u"report\uFFFD")) << "repaired, not cut";
        const auto control = tree.node(stableScanNodeIDOfBytes(QByteArray::fromStdString(t.path("line\nbreak\x1b[31m"))));
        ASSERT_TRUE(control);
        EXPECT_EQ(control->displayName, u"line\u2424break\u241B[31m");
        if (fastTree)
            EXPECT_EQ(tree, *fastTree) << "both engines give the same tree";
        else
            fastTree = tree;
    }
}

// A stop keeps what was found: a finished tree, marked partial, whose every
// node is in its parent and whose totals are those of the files in it.
TEST(ScanEngines, AStoppedScanFinishesWithWhatItFound)
{
    TempTree t(bltest::fastScratch());
    t.wide("w", 300, 20);
    for (ScanEngineProviding *engine : {static_cast<ScanEngineProviding *>(&fastEngine()),
                                        static_cast<ScanEngineProviding *>(&recursiveEngine())}) {
        // A stop that comes after the walk's end (this thread was slow) is
        // none: try again.
        std::optional<ScanUpdate> last;
        for (int attempt = 0; attempt < 20 && !(last && last->get<ScanUpdate::Finished>().summary.isPartial); ++attempt) {
            auto stream = engine->startScan(FileUrl::fromPath(QString::fromStdString(t.root()), true));
            stream->requestStop();
            while (auto update = stream->next())
                last = std::move(update);
            ASSERT_TRUE(last && last->kind() == ScanUpdate::Kind::finished);
        }
        const auto &[tree, summary] = last->get<ScanUpdate::Finished>();
        ASSERT_TRUE(summary.isPartial);
        EXPECT_LT(tree.size(), 1 + 2 + 300 + 6000) << "stopped at the start, not at the end";
        qint64 files = 0;
        tree.forEachNode([&](const ScanNodeRecord &r) {
            if (r.parentID) {
                EXPECT_TRUE(tree.childIDs(*r.parentID).contains(r.id));
            }
            if (r.kind == ScanNodeKind::file)
                files += r.allocatedSize;
        });
        EXPECT_EQ(tree.rootNode()->allocatedSize, files);
        // The next scan is whole again.
        EXPECT_FALSE(finishedOf(scanWith(*engine, t.root())).summary.isPartial);
    }
}

// Deeper than the call stack of a recursive walk would allow.
TEST(ScanEngines, ChainsOfAnyDepth)
{
    TempTree t(bltest::fastScratch());
    constexpr int kLevels = 16000;
    t.chain("c", kLevels);
    for (ScanEngineProviding *engine : {static_cast<ScanEngineProviding *>(&fastEngine()),
                                        static_cast<ScanEngineProviding *>(&recursiveEngine())}) {
        const auto updates = scanWith(*engine, t.path("c"));
        ASSERT_EQ(updates.back().kind(), ScanUpdate::Kind::finished);
        const auto &[tree, summary] = finishedOf(updates);
        EXPECT_EQ(summary.itemsScanned, 2 * kLevels + 1);
        EXPECT_EQ(summary.unreadableCount, 0);
        EXPECT_EQ(tree.rootNode()->logicalSize, 100 * kLevels);
        // Every folder's and file's identifier is that of its whole path
        // (sampled: children of nested small folders are identified together).
        std::string deepest = t.path("c");
        for (int i = 0; i < kLevels; ++i) {
            const bool sampled = i % 97 == 0 || i > kLevels - 20;
            if (sampled) {
                EXPECT_TRUE(tree.contains(stableScanNodeIDOfBytes(QByteArray::fromStdString(deepest + "/f")))) << i;
            }
            deepest += "/d";
            if (sampled) {
                EXPECT_TRUE(tree.contains(stableScanNodeIDOfBytes(QByteArray::fromStdString(deepest)))) << i;
            }
        }
        const auto bottom = tree.node(stableScanNodeIDOfBytes(QByteArray::fromStdString(deepest)));
        ASSERT_TRUE(bottom);
        EXPECT_EQ(tree.path(bottom->id).size(), kLevels + 1);
    }
}

// The headless report runs at the priority it was started with; only the
// window asks the engine to yield.
TEST(FastScanEngine, ScansKeepTheirCallersPriority)
{
    TempTree t;
    t.wide("w", 20, 5);
    FastScanEngine engine;
    ASSERT_EQ(scanWith(engine, t.root()).back().kind(), ScanUpdate::Kind::finished);
    const int own = getpriority(PRIO_PROCESS, 0);
    QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, id_t(task.toInt()));
        if (errno == 0) {
            EXPECT_EQ(nice, own) << "thread " << task.toStdString();
        }
    }
}

// Totals that would pass 2^63 - 1 stay there instead of turning negative.
TEST(FastScanEngine, SizesSaturate)
{
    bl_flat_node_t nodes[3] = {};
    bl::NameArena names;
    nodes[0].parent_index = -1;
    nodes[0].obj_type = BL_OBJ_DIRECTORY;
    nodes[0].name_offset = names.add("x", 1);
    for (int i = 1; i < 3; ++i) {
        nodes[i].parent_index = 0;
        nodes[i].obj_type = BL_OBJ_FILE;
        nodes[i].allocated_size = nodes[i].logical_size = uint64_t(1) << 63;
        const std::string name = "f" + std::to_string(i);
        nodes[i].name_offset = names.add(name.data(), name.size());
        nodes[i].name_length = uint8_t(name.size());
    }
    bl_scan_result_t result{};
    result.nodes = nodes;
    result.node_count = 3;
    result._names = &names;
    bl_accumulate_sizes(&result);
    EXPECT_EQ(nodes[0].allocated_size, UINT64_MAX);
    const auto tree = FastScanEngine::buildSnapshotTree(nodes, 3, result, FileUrl::fromPath("/x", true));
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->rootNode()->allocatedSize, std::numeric_limits<qint64>::max());
    for (const ScanNodeRecord &r : tree->records())
        EXPECT_GE(r.allocatedSize, 0);
}

TEST(ScanEngine, MatchesTheFastEngine)
{
    TempTree t;
    buildTree(t);
    t.wide("w", 30, 4);
    const auto fastUpdates = scanWith(fastEngine(), t.root());
    const auto &fast = finishedOf(fastUpdates);
    const auto recursiveUpdates = scanWith(recursiveEngine(), t.root());
    ASSERT_EQ(recursiveUpdates.back().kind(), ScanUpdate::Kind::finished);
    const auto &slow = finishedOf(recursiveUpdates);
    expectWellFormed(slow.tree);
    expectWellFormed(fast.tree);

    EXPECT_EQ(slow.tree.rootID, fast.tree.rootID);
    ASSERT_EQ(slow.tree.size(), fast.tree.size());
    for (const ScanNodeRecord &f : fast.tree.records()) {
        const auto s = slow.tree.node(f.id);
        ASSERT_TRUE(s) << f.url.path().toStdString();
        EXPECT_EQ(s->kind, f.kind) << f.displayName.toStdString();
        EXPECT_EQ(s->allocatedSize, f.allocatedSize) << f.displayName.toStdString();
        EXPECT_EQ(s->logicalSize, f.logicalSize) << f.displayName.toStdString();
        EXPECT_EQ(s->childCount, f.childCount) << f.displayName.toStdString();
        EXPECT_EQ(s->displayName, f.displayName);
        const auto kids = [](const ScanTree &tree, const QUuid &id) {
            const QList<QUuid> list = tree.childIDs(id);
            return QSet<QUuid>(list.begin(), list.end());
        };
        EXPECT_EQ(kids(slow.tree, f.id), kids(fast.tree, f.id));
    }
    EXPECT_EQ(slow.summary.itemsScanned, fast.summary.itemsScanned);
    EXPECT_EQ(slow.summary.directoriesScanned, fast.summary.directoriesScanned);
    EXPECT_EQ(slow.summary.filesScanned, fast.summary.filesScanned);

    const QUuid empty = stableScanNodeID(QString::fromStdString(t.path("empty")));
    EXPECT_EQ(slow.tree.node(empty)->kind, ScanNodeKind::directory) << "an empty folder is listed";
    EXPECT_TRUE(slow.tree.childIDs(empty).isEmpty());
}

TEST(ScanEngine, UnreadableRootsAndFiles)
{
    TempTree t;
    t.dir("locked");
    t.chmod("locked", 0);
    t.dir("tree");
    t.file("tree/open", 100);
    t.file("tree/secret", 100);
    t.chmod("tree/secret", 0);
    t.dir("Thing.bundle");
    t.file("Thing.bundle/x", 100);

    const auto packageUpdates = scanWith(recursiveEngine(), t.path("Thing.bundle"));
    const auto &packageRoot = finishedOf(packageUpdates);
    EXPECT_EQ(packageRoot.tree.size(), 1);
    EXPECT_EQ(packageRoot.tree.rootNode()->kind, ScanNodeKind::package);
    const auto missing = scanWith(recursiveEngine(), t.path("missing"));
    EXPECT_EQ(missing.back().get<ScanFailure>().message(),
              QStringLiteral("Could not access folder: %1 (No such file or directory)").arg(QString::fromStdString(t.path("missing"))));

    // A root whose parent may be passed through but not listed.
    t.dir("guarded", 0711);
    t.dir("guarded/inner");
    t.file("guarded/inner/f", 3000);
    t.chmod("tree", 0755);

    const auto answer = bltest::inUnprivilegedChild([&] {
        ScanEngine engine(std::make_shared<LocalFileSystemProvider>());
        std::ostringstream out;
        const auto locked = scanWith(engine, t.path("locked"));
        // started, progress (root recorded), progress (listing failed), failed
        out << locked.size() << ' ' << int(locked[2].kind()) << ' '
            << locked.back().get<ScanFailure>().message().toStdString() << '|';
        // A file the user may examine but not read still counts, with its size.
        const auto tree = scanWith(engine, t.path("tree"));
        const auto &[result, summary] = finishedOf(tree);
        out << result.size() << ' ' << summary.itemsScanned << ' ' << summary.unreadableCount << ' '
            << result.rootNode()->allocatedSize << '|';
        const auto inner = scanWith(engine, t.path("guarded/inner"));
        out << int(inner.back().kind());
        if (inner.back().kind() == ScanUpdate::Kind::finished)
            out << ' ' << finishedOf(inner).tree.size();
        return out.str();
    });
    if (!answer)
        GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
    EXPECT_EQ(*answer, "4 1 Could not access folder: " + t.path("locked") + " (Permission denied)|3 3 0 " +
                           std::to_string(bltest::independentWalk(t.path("tree")).allocated) + "|" +
                           std::to_string(int(ScanUpdate::Kind::finished)) + " 2");
}

// A folder that may be listed but not searched, or not even listed: both
// engines mark the folder itself (as ncdu does), count it once, and list
// it; a root that cannot be read fails with the reason, on either engine.
TEST(ScanEngines, FoldersThatCannotBeReadReadAlike)
{
    TempTree t;
    t.dir("tree");
    t.dir("tree/listonly");
    for (const char *name : {"a", "b", "c", "d", "e"})
        t.file(std::string("tree/listonly/") + name, 100);
    t.chmod("tree/listonly", 0444);
    t.dir("tree/locked", 0);
    t.file("tree/open", 100);
    t.dir("root-locked", 0);
    t.dir("root-listonly");
    t.file("root-listonly/x", 10);
    t.chmod("root-listonly", 0444);
    const auto answer = bltest::inUnprivilegedChild([&] {
        std::ostringstream out;
        FastScanEngine fast;
        ScanEngine recursive(std::make_shared<LocalFileSystemProvider>());
        for (ScanEngineProviding *engine : std::initializer_list<ScanEngineProviding *>{&fast, &recursive}) {
            const auto updates = scanWith(*engine, t.path("tree"));
            const auto &[tree, summary] = finishedOf(updates);
            out << summary.filesScanned << ' ' << summary.directoriesScanned << ' ' << summary.unreadableCount;
            for (const ScanNodeRecord &r : tree.marked(ScanNodeMark::unreadable))
                out << ' ' << r.url.lastPathComponent().toStdString() << ':' << r.childCount;
            for (const char *root : {"root-locked", "root-listonly"})
                out << ' ' << scanWith(*engine, t.path(root)).back().get<ScanFailure>().message().toStdString();
            out << '|';
        }
        return out.str();
    });
    if (!answer)
        GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
    const std::string each = "1 3 2 listonly:0 locked:0 Could not access folder: " + t.path("root-locked") +
                             " (Permission denied) Could not access folder: " + t.path("root-listonly") +
                             " (Permission denied)|";
    EXPECT_EQ(*answer, each + each);
}

// A tree that holds other file systems and hard links: a mount point is an
// entry of its own, a kernel one is never entered, and a file is counted
// once in every folder above any of its links, on every scan alike.
TEST(ScanEngines, MountsAndHardLinksCountOnce)
{
    TempTree t;
    for (const char *d : {"data", "a", "b", "c", "tmp", "bound", "proc"})
        t.dir(d);
    t.file("data/big", 300000);
    for (const char *name : {"a/one", "b/two", "c/three", "c/four"})
        ASSERT_EQ(::link(t.path("data/big").c_str(), t.path(name).c_str()), 0);
    struct Mounts {
        std::vector<std::string> points;
        ~Mounts()
        {
            for (auto it = points.rbegin(); it != points.rend(); ++it)
                umount2(it->c_str(), MNT_DETACH);
        }
        bool add(const char *source, const std::string &at, const char *type, unsigned long flags)
        {
            if (mount(source, at.c_str(), type, flags, nullptr) != 0)
                return false;
            points.push_back(at);
            return true;
        }
    } mounts;
    if (!mounts.add("none", t.path("tmp"), "tmpfs", 0))
        GTEST_SKIP() << "mount is not permitted here (" << std::strerror(errno) << "); file-system boundaries untested";
    t.file("tmp/inside", 50000);
    ASSERT_TRUE(mounts.add(t.path("data").c_str(), t.path("bound"), nullptr, MS_BIND));
    ASSERT_TRUE(mounts.add("proc", t.path("proc"), "proc", 0));
    const bltest::WalkTotals walk = bltest::independentWalk(t.root());
    struct stat big;
    ASSERT_EQ(stat(t.path("data/big").c_str(), &big), 0);
    const qint64 once = qint64(big.st_blocks) * 512;
    ASSERT_EQ(walk.allocated, uint64_t(once));

    const auto nodeAt = [&](const ScanTree &tree, const char *relative) {
        return tree.node(stableScanNodeID(QString::fromStdString(t.path(relative)))).value_or(ScanNodeRecord{});
    };
    QHash<QUuid, qint64> firstTotals;
    for (ScanEngineProviding *engine : {static_cast<ScanEngineProviding *>(&fastEngine()),
                                        static_cast<ScanEngineProviding *>(&recursiveEngine())}) {
        for (int run = 0; run < 20; ++run) {
            const auto updates = scanWith(*engine, t.root());
            ASSERT_EQ(updates.back().kind(), ScanUpdate::Kind::finished);
            const ScanTree &tree = finishedOf(updates).tree;
            EXPECT_EQ(finishedOf(updates).summary.itemsScanned, walk.items);
            EXPECT_EQ(tree.rootNode()->allocatedSize, once);
            EXPECT_EQ(tree.rootNode()->logicalSize, qint64(walk.logical));
            for (const char *folder : {"a", "b", "c", "data"})
                EXPECT_EQ(nodeAt(tree, folder).allocatedSize, once) << folder;
            EXPECT_EQ(nodeAt(tree, "c/four").allocatedSize, once);
            EXPECT_EQ(nodeAt(tree, "c/four").linkCount, 5u);
            EXPECT_EQ(scanNodeMarkText(nodeAt(tree, "c/four")), QStringLiteral("Hard link \u2022 5 links"));
            for (const char *point : {"tmp", "bound"}) {
                EXPECT_EQ(nodeAt(tree, point).mark, ScanNodeMark::otherFileSystem) << point;
                EXPECT_EQ(nodeAt(tree, point).allocatedSize, 0) << point;
                EXPECT_EQ(nodeAt(tree, point).childCount, 0) << point;
            }
            EXPECT_EQ(scanNodeMarkText(nodeAt(tree, "proc")), QStringLiteral("Kernel file system"));
            for (const ScanNodeRecord &r : tree.records()) {
                const qint64 first = firstTotals.contains(r.id) ? firstTotals[r.id] : (firstTotals[r.id] = r.allocatedSize);
                EXPECT_EQ(first, r.allocatedSize) << r.url.path().toStdString() << " differs between scans";
            }
        }
    }

    // Crossing file systems enters tmpfs and the bind mount, never proc.
    FastScanEngine crossing(FastScanEngine::kPollIntervalMs, 0, [] {
        ScanOptions o;
        o.crossFileSystems = true;
        return o;
    });
    ScanEngine crossingRecursive(std::make_shared<LocalFileSystemProvider>(), {}, [] {
        ScanOptions o;
        o.crossFileSystems = true;
        return o;
    });
    struct stat inside;
    ASSERT_EQ(stat(t.path("tmp/inside").c_str(), &inside), 0);
    for (ScanEngineProviding *engine : {static_cast<ScanEngineProviding *>(&crossing),
                                        static_cast<ScanEngineProviding *>(&crossingRecursive)}) {
        const ScanTree tree = finishedOf(scanWith(*engine, t.root())).tree;
        EXPECT_EQ(tree.rootNode()->allocatedSize, once + qint64(inside.st_blocks) * 512);
        EXPECT_EQ(nodeAt(tree, "bound").allocatedSize, once);
        EXPECT_EQ(nodeAt(tree, "proc").mark, ScanNodeMark::kernelFileSystem);
        EXPECT_EQ(nodeAt(tree, "proc").childCount, 0);
    }
}

// The window's scans leave out what the user defaults say, read at the start
// of each scan, and both engines leave out the same entries.
TEST(ScanEngines, UserDefaultsChooseWhatIsLeftOut)
{
    TempTree t;
    const TempTree config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(config.root()));
    for (const char *d : {"src", "src/node_modules", "build", "cache"})
        t.dir(d);
    t.file("src/main.c", 3000);
    t.file("src/node_modules/pack", 90000);
    t.file("build/a.o", 40000);
    t.file("cache/blob", 50000);
    std::ofstream(t.path("cache/CACHEDIR.TAG")) << "Signature: 8a477f597d28d172789f06886806bc55";
    const auto source = [] { return ScanOptions::fromUserDefaults("bltest", "exclusions"); };
    FastScanEngine fast(FastScanEngine::kPollIntervalMs, 0, source);
    ScanEngine recursive(std::make_shared<LocalFileSystemProvider>(), {}, source);
    const auto markOf = [&](const ScanTree &tree, const char *relative) {
        return tree.node(stableScanNodeID(QString::fromStdString(t.path(relative))))->mark;
    };
    for (bool excluding : {false, true}) {
        {
            QSettings settings("bltest", "exclusions");
            settings.setValue("excludePatterns", excluding ? QStringList{"node_modules", "build/*.o"} : QStringList{});
            settings.setValue("excludeCaches", excluding);
        }
        std::optional<ScanTree> first;
        for (ScanEngineProviding *engine : {static_cast<ScanEngineProviding *>(&fast),
                                            static_cast<ScanEngineProviding *>(&recursive)}) {
            const ScanTree tree = finishedOf(scanWith(*engine, t.root())).tree;
            const ScanNodeMark expected = excluding ? ScanNodeMark::excluded : ScanNodeMark::none;
            for (const char *left : {"src/node_modules", "build/a.o", "cache"})
                EXPECT_EQ(markOf(tree, left), expected) << left;
            EXPECT_EQ(markOf(tree, "src/main.c"), ScanNodeMark::none);
            EXPECT_EQ(tree.rootNode()->logicalSize, excluding ? 3000 : 3000 + 90000 + 40000 + 50000 + 43);
            if (first)
                EXPECT_EQ(tree, *first) << "both engines leave out the same";
            else
                first = tree;
        }
    }
}
