// The fast engine's tree on a tree of over 100,000 objects: built on two
// threads, again and again, and streamed live while the scan runs. Also run
// under ThreadSanitizer.
#include "fast_scan_engine.h"
#include "stable_scan_node_id.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QSet>
#include <map>
#include <numeric>
#include <random>
#include <thread>
#include <cerrno>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class LargeTree : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        tree_ = new bltest::TempTree(bltest::fastScratch());
        tree_->wide("w", 1000, 100); // 101,017 objects
    }
    static void TearDownTestSuite()
    {
        delete tree_;
        tree_ = nullptr;
    }
    static const std::string &root() { return tree_->root(); }

private:
    static bltest::TempTree *tree_;
};

bltest::TempTree *LargeTree::tree_ = nullptr;

[[maybe_unused]] long virtualKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0)
            return std::stol(line.substr(7));
    return -1;
}

QByteArray parentPath(const QByteArray &path)
{
    return path.left(std::max<qsizetype>(path.lastIndexOf('/'), 1));
}

} // namespace

TEST_F(LargeTree, EveryRecordHasItsParentOnEveryBuild)
{
    bltest::ScanRun scan(root());
    ASSERT_EQ(scan.status, 0);
    ASSERT_GE(scan.result.node_count, 100000);
    const FileUrl rootURL = FileUrl::fromPath(QString::fromStdString(root()), true);
    for (int build = 0; build < 4; ++build) {
        const std::optional<ScanTree> tree = FastScanEngine::buildTree(scan.result, rootURL);
        ASSERT_TRUE(tree);
        ASSERT_EQ(tree->size(), scan.result.node_count);
        qsizetype wrong = 0, cut = 0;
        for (const ScanNodeRecord &r : tree->records()) {
            if (r.id == tree->rootID)
                continue;
            const QUuid expected = stableScanNodeIDOfBytes(parentPath(r.url.nativeFilePath()));
            wrong += !r.parentID || *r.parentID != expected;
            const QList<ScanNodeRecord> path = tree->path(r.id);
            cut += path.isEmpty() || path.front().id != tree->rootID;
        }
        ASSERT_EQ(wrong, 0) << "records whose parent identifier is not their parent's, build " << build;
        ASSERT_EQ(cut, 0) << "paths that stop short of the root, build " << build;
    }
}

// A scan appends each folder's children together, and the tree is placed
// from those runs; records that are not so still make the same tree.
TEST_F(LargeTree, RecordsOutOfTheirFoldersRunMakeTheSameTree)
{
    bltest::ScanRun scan(root());
    ASSERT_EQ(scan.status, 0);
    const FileUrl rootURL = FileUrl::fromPath(QString::fromStdString(root()), true);
    const std::optional<ScanTree> straight = FastScanEngine::buildTree(scan.result, rootURL);
    ASSERT_TRUE(straight);
    bl_flat_node_t *nodes = scan.result.nodes;
    int32_t i = 1;
    while (i + 1 < scan.result.node_count &&
           !(nodes[i].parent_index != nodes[i + 1].parent_index && nodes[i].obj_type == BL_OBJ_FILE &&
             nodes[i + 1].obj_type == BL_OBJ_FILE))
        ++i;
    ASSERT_LT(i + 1, scan.result.node_count);
    std::swap(nodes[i], nodes[i + 1]); // each folder's children keep their order
    const std::optional<ScanTree> swapped = FastScanEngine::buildTree(scan.result, rootURL);
    ASSERT_TRUE(swapped);
    EXPECT_TRUE(*swapped == *straight);
}

// Under an address-space limit the node array cannot grow: the scan ends
// failed, never as a finished scan of a part of the tree.
TEST_F(LargeTree, AScanThatCannotHoldItsTreeFails)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve address space of their own";
#else
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const rlim_t limit = rlim_t(virtualKilobytes() + 10 * 1024) * 1024;
        const struct rlimit r{limit, limit};
        setrlimit(RLIMIT_AS, &r);
        bl_scan_result_t result{};
        int32_t cancel = 0;
        bl_scan_options_t options{};
        options.threads = 1;
        const int status = bl_full_scan_opts(root().c_str(), &result, &cancel, &options);
        const std::string answer = std::to_string(status) + " " + std::to_string(options.error) + " " +
                                   std::to_string(result.node_count);
        if (write(fds[1], answer.data(), answer.size()) < 0)
            _exit(2);
        _exit(0);
    }
    close(fds[1]);
    char buffer[64] = {};
    const ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer), "-1 " + std::to_string(ENOMEM) + " 0");
#endif
}

TEST_F(LargeTree, PartialTreesCarryWhatWasFoundSoFar)
{
    FastScanEngine engine(1);
    std::vector<ScanUpdate> updates;
    auto stream = engine.startScan(FileUrl::fromPath(QString::fromStdString(root()), true));
    while (auto u = stream->next())
        updates.push_back(std::move(*u));
    ASSERT_EQ(updates.back().kind(), ScanUpdate::Kind::finished);
    const qint64 finalTotal = updates.back().get<ScanUpdate::Finished>().tree.rootNode()->allocatedSize;

    qint64 last = -1;
    QSet<qint64> fullSnapshotTotals; // of partial trees that hold the whole cap
    for (const ScanUpdate &u : updates) {
        if (u.kind() != ScanUpdate::Kind::intermediateTree)
            continue;
        const ScanTree &partial = u.get<ScanUpdate::IntermediateTree>().tree;
        ASSERT_LE(partial.size(), FastScanEngine::kSnapshotCap);
        const qint64 total = partial.rootNode()->allocatedSize;
        EXPECT_GE(total, last) << "a partial total never falls";
        EXPECT_LE(total, finalTotal) << "nor passes the final one";
        last = total;
        if (partial.size() == FastScanEngine::kSnapshotCap)
            fullSnapshotTotals.insert(total);
    }
    ASSERT_GE(last, 0) << "no partial tree at all";
    EXPECT_GE(fullSnapshotTotals.size(), 2)
        << "once the snapshot is full, partial trees still follow the growing totals";
}

// The fast engine fills its nodes where they fall, on several threads, in
// no order: 300,000 nodes set so, in a random order on two threads, make
// the very tree that adding them one by one in order makes.
TEST(TreeBuilder, NodesSetInAnyOrderMakeTheTreeAddedInOrder)
{
    struct Node {
        QUuid id;
        qint32 parent;
        QByteArray name;
        ScanTree::NodeFacts facts;
    };
    std::vector<Node> nodes;
    std::mt19937 random(29);
    ScanTree::NodeFacts folder;
    folder.kind = ScanNodeKind::directory;
    folder.childCount = -1; // a filled builder is told no counts: as many as are listed
    nodes.push_back({stableScanNodeID(QStringLiteral("/r")), -1, {}, folder});
    // Breadth first, as a scan numbers them: each folder's children after it.
    for (qint32 at = 0; nodes.size() < 300000; ++at) {
        if (nodes[size_t(at)].facts.kind != ScanNodeKind::directory)
            continue;
        const int children = 1 + int(random() % 60);
        for (int c = 0; c < children; ++c) {
            Node n;
            n.parent = at;
            n.facts.childCount = -1;
            n.name = (c % 7 == 0 ? "d" : "f") + QByteArray::number(c) + (c % 11 == 0 ? "\xff\xfe" : ".txt");
            n.facts.kind = c % 7 == 0 ? ScanNodeKind::directory : ScanNodeKind::file;
            n.facts.isReadable = true;
            n.facts.allocatedSize = qint64(random() % 5000) * 4096;
            n.facts.logicalSize = qint64(random() % 20000000);
            n.facts.modifiedAt = 1600000000 + qint64(random() % 200000000);
            n.facts.linkCount = c % 13 == 1 ? 2 : 0;
            n.facts.mark = c % 97 == 0 ? ScanNodeMark::excluded : ScanNodeMark::none;
            n.id = stableScanNodeIDOfBytes("/r/" + QByteArray::number(nodes.size()));
            nodes.push_back(n);
        }
    }
    const FileUrl root = FileUrl::fromPath(QStringLiteral("/r"), true);

    // Added as an import adds, with the pages ahead faulted in on another
    // thread, and past the room it was made with.
    ScanTree::Builder inOrder(root, qsizetype(nodes.size()) - 100000, 4 << 20);
    inOrder.faultAhead();
    for (const Node &n : nodes)
        inOrder.add(n.id, n.parent, n.name, n.facts);
    const ScanTree expected = inOrder.finish();

    ScanTree::Builder anyOrder(root);
    std::vector<quint32> nameStarts;
    quint32 end = 0;
    for (const Node &n : nodes) {
        nameStarts.push_back(end);
        end += quint32(n.name.size());
    }
    anyOrder.allocate(qsizetype(nodes.size()), end);
    std::vector<qint32> order(nodes.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    const auto fill = [&](size_t from, size_t to) {
        for (size_t k = from; k < to; ++k) {
            const Node &n = nodes[size_t(order[k])];
            anyOrder.setNode(order[k], nameStarts[size_t(order[k])], n.id, n.parent, n.name, n.facts);
        }
    };
    std::thread other(fill, 0, order.size() / 2);
    fill(order.size() / 2, order.size());
    other.join();
    for (size_t k = 0; k < nodes.size(); ++k) // on one thread, afterwards, as a scan tells them
        if (nodes[k].facts.linkCount > 0)
            anyOrder.setLinkCount(qint32(k), nodes[k].facts.linkCount);
    const ScanTree got = anyOrder.finish();

    ASSERT_EQ(got.size(), expected.size());
    qsizetype differing = 0;
    expected.forEachNode([&](const ScanNodeRecord &want) {
        const std::optional<ScanNodeRecord> have = got.node(want.id);
        if (!have || *have != want || got.childIDs(want.id) != expected.childIDs(want.id))
            ++differing;
    });
    EXPECT_EQ(differing, 0);
    EXPECT_TRUE(got == expected);
}

TEST(TreeBuilder, OfRepeatedIdentifiersTheLastIsFoundAndTheFirstRepeatIsTold)
{
    // Indexed on two threads, the second reaching its copies of one
    // identifier before the first reaches the original.
    const qint32 n = 200000;
    const std::map<qint32, qint32> copies{{100005, 99990}, {100010, 99990}, {160000, 100}}; // copy -> original
    const auto build = [&](qsizetype *duplicateAt) {
        ScanTree::Builder b(FileUrl::fromPath(QStringLiteral("/r"), true));
        ScanTree::NodeFacts folder;
        folder.kind = ScanNodeKind::directory;
        b.add(stableScanNodeIDOfBytes("/r"), -1, {}, folder);
        for (qint32 i = 1; i < n; ++i) {
            const auto copy = copies.find(i);
            const qint32 named = copy == copies.end() ? i : copy->second;
            b.add(stableScanNodeIDOfBytes("/r/" + QByteArray::number(named)), 0, "n" + QByteArray::number(i), {});
        }
        return b.finish(duplicateAt);
    };
    qsizetype duplicateAt = -1;
    EXPECT_TRUE(build(&duplicateAt).isEmpty());
    EXPECT_EQ(duplicateAt, 100005);
    const ScanTree tree = build(nullptr);
    EXPECT_EQ(tree.ref(stableScanNodeIDOfBytes("/r/99990")).nativeName(), "n100010");
    EXPECT_EQ(tree.ref(stableScanNodeIDOfBytes("/r/100")).nativeName(), "n160000");
    EXPECT_EQ(tree.ref(stableScanNodeIDOfBytes("/r/7")).nativeName(), "n7");
}
