// Both scan engines on real trees, consumed through their update streams.
#include "fast_scan_engine.h"
#include "local_file_system_provider.h"
#include "scan_engine.h"
#include "stable_scan_node_id.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QSet>
#include <sstream>

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
    for (const ScanNodeRecord &r : tree.nodesByID) {
        EXPECT_EQ(r.id, stableScanNodeID(r.url.path())) << r.url.path().toStdString();
        if (r.id == tree.rootID)
            continue;
        ASSERT_TRUE(r.parentID);
        ASSERT_TRUE(tree.nodesByID.contains(*r.parentID));
        EXPECT_TRUE(tree.childIDsByParentID.value(*r.parentID).contains(r.id));
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
    EXPECT_EQ(tree.nodesByID.size(), walk.items);
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

TEST(FastScanEngine, PartialTreesStopAtTheSnapshotCap)
{
    TempTree t;
    t.wide("w", 300, 20); // 6,318 objects, more than one snapshot holds
    FastScanEngine engine(1);
    // A small scan may end before the first poll; a few tries see one.
    std::vector<ScanUpdate> updates;
    qsizetype partials = 0;
    for (int attempt = 0; attempt < 20 && partials == 0; ++attempt) {
        updates = scanWith(engine, t.root());
        ASSERT_EQ(updates.back().kind(), ScanUpdate::Kind::finished);
        qint64 lastItems = 0;
        qsizetype lastPartialSize = 0;
        for (const ScanUpdate &u : updates) {
            if (u.kind() == ScanUpdate::Kind::progress) {
                EXPECT_GE(u.get<ProgressSnapshot>().itemsScanned, lastItems) << "counters only rise";
                lastItems = u.get<ProgressSnapshot>().itemsScanned;
            } else if (u.kind() == ScanUpdate::Kind::intermediateTree) {
                const ScanTree &partial = u.get<ScanUpdate::IntermediateTree>().tree;
                expectWellFormed(partial);
                EXPECT_LE(partial.nodesByID.size(), FastScanEngine::kSnapshotCap);
                EXPECT_NE(partial.nodesByID.size(), lastPartialSize) << "sent only when the count changed";
                lastPartialSize = partial.nodesByID.size();
                ++partials;
            }
        }
    }
    EXPECT_GT(partials, 0);
    EXPECT_EQ(finishedOf(updates).tree.nodesByID.size(), bltest::independentWalk(t.root()).items);
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
    EXPECT_EQ(rootTree.nodesByID.size(), 1);
    EXPECT_EQ(rootTree.rootNode()->kind, ScanNodeKind::package);
    EXPECT_EQ(summary.totalAllocatedSize, qint64(inside.allocated));
}

TEST(FastScanEngine, FailuresAndEarlyStops)
{
    TempTree t;
    t.file("plain", 10);
    t.wide("w", 200, 10);
    for (const std::string &bad : {t.path("plain"), t.path("missing")}) {
        const auto updates = scanWith(fastEngine(), bad);
        ASSERT_EQ(updates.size(), 2u);
        ASSERT_EQ(updates.back().kind(), ScanUpdate::Kind::failed);
        EXPECT_EQ(updates.back().get<ScanFailure>().message(),
                  "Could not access folder: " + QString::fromStdString(bad));
    }

    // A consumer that walks away right after "started": the engine stops and
    // is free for the next scan.
    auto stream = fastEngine().startScan(FileUrl::fromPath(QString::fromStdString(t.root()), true));
    ASSERT_EQ(stream->next()->kind(), ScanUpdate::Kind::started);
    stream->abandon();
    EXPECT_FALSE(stream->next());
    EXPECT_EQ(scanWith(fastEngine(), t.root()).back().kind(), ScanUpdate::Kind::finished);

    // A root that cannot be listed finishes with one node and one unreadable.
    t.dir("locked");
    t.chmod("locked", 0);
    const auto answer = bltest::inUnprivilegedChild([&] {
        FastScanEngine engine;
        const auto updates = scanWith(engine, t.path("locked"));
        if (updates.back().kind() != ScanUpdate::Kind::finished)
            return std::string("not finished");
        const auto &[tree, summary] = finishedOf(updates);
        std::ostringstream out;
        out << tree.nodesByID.size() << ' ' << summary.unreadableCount;
        return out.str();
    });
    if (answer) {
        EXPECT_EQ(*answer, "1 1");
    }
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

    EXPECT_EQ(slow.tree.rootID, fast.tree.rootID);
    ASSERT_EQ(slow.tree.nodesByID.size(), fast.tree.nodesByID.size());
    for (const ScanNodeRecord &f : fast.tree.nodesByID) {
        const auto s = slow.tree.node(f.id);
        ASSERT_TRUE(s) << f.url.path().toStdString();
        EXPECT_EQ(s->kind, f.kind) << f.displayName.toStdString();
        EXPECT_EQ(s->allocatedSize, f.allocatedSize) << f.displayName.toStdString();
        EXPECT_EQ(s->logicalSize, f.logicalSize) << f.displayName.toStdString();
        EXPECT_EQ(s->childCount, f.childCount) << f.displayName.toStdString();
        EXPECT_EQ(s->displayName, f.displayName);
        const auto kids = [](const ScanTree &tree, const QUuid &id) {
            const QList<QUuid> list = tree.childIDsByParentID.value(id);
            return QSet<QUuid>(list.begin(), list.end());
        };
        EXPECT_EQ(kids(slow.tree, f.id), kids(fast.tree, f.id));
    }
    EXPECT_EQ(slow.summary.itemsScanned, fast.summary.itemsScanned);
    EXPECT_EQ(slow.summary.directoriesScanned, fast.summary.directoriesScanned);
    EXPECT_EQ(slow.summary.filesScanned, fast.summary.filesScanned);

    const QUuid empty = stableScanNodeID(QString::fromStdString(t.path("empty")));
    EXPECT_TRUE(slow.tree.childIDsByParentID.contains(empty)) << "an empty folder has an empty list";
    EXPECT_TRUE(slow.tree.childIDsByParentID.value(empty).isEmpty());
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
    EXPECT_EQ(packageRoot.tree.nodesByID.size(), 1);
    EXPECT_EQ(packageRoot.tree.rootNode()->kind, ScanNodeKind::package);
    const auto missing = scanWith(recursiveEngine(), t.path("missing"));
    EXPECT_EQ(missing.back().get<ScanFailure>().kind, ScanFailure::Kind::ioError);

    const auto answer = bltest::inUnprivilegedChild([&] {
        ScanEngine engine(std::make_shared<LocalFileSystemProvider>());
        std::ostringstream out;
        const auto locked = scanWith(engine, t.path("locked"));
        // started, progress (root recorded), progress (listing failed), failed
        out << locked.size() << ' ' << int(locked[2].kind()) << ' '
            << locked.back().get<ScanFailure>().message().toStdString() << '|';
        const auto tree = scanWith(engine, t.path("tree"));
        const auto &[result, summary] = finishedOf(tree);
        out << result.nodesByID.size() << ' ' << summary.itemsScanned << ' ' << summary.unreadableCount;
        return out.str();
    });
    if (!answer)
        GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
    EXPECT_EQ(*answer, "4 1 An I/O error occurred while scanning: " + t.path("locked") + "|2 3 1");
}
