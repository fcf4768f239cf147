// Identifiers, URLs and tree look-ups of the scan model.
#include "scan_failure.h"
#include "scan_tree.h"
#include "size_order.h"
#include "stable_scan_node_id.h"

#include <gtest/gtest.h>

#include <QCollator>
#include <algorithm>

namespace {

QString text(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

ScanNodeRecord record(const QString &path, std::optional<QUuid> parent, ScanNodeKind kind)
{
    ScanNodeRecord r;
    r.url = FileUrl::fromPath(path, kind != ScanNodeKind::file);
    r.id = stableScanNodeID(r.url);
    r.parentID = parent;
    r.displayName = r.url.lastPathComponent();
    r.kind = kind;
    return r;
}

} // namespace

TEST(StableScanNodeID, WorkedExamplesAndPathForms)
{
    EXPECT_EQ(text(stableScanNodeID(QStringLiteral("abc"))), "E71FA219-0541-5748-92DE-9CB39E1BF45C");
    EXPECT_EQ(text(stableScanNodeID(QString())), "AF63A24C-8601-59FF-97BD-445E7CE79FD7");
    EXPECT_EQ(text(stableScanNodeID(QStringLiteral("/"))), "AF63A24C-8601-59FF-97BD-445E7CE79FD7");

    const QUuid plain = stableScanNodeID(FileUrl::fromPath("/tmp/a/b", true));
    EXPECT_EQ(stableScanNodeID(FileUrl::fromPath("/tmp/a/b/", true)), plain);
    EXPECT_EQ(stableScanNodeID(FileUrl::fromPath("/tmp/./a/c/../b", true)), plain);
    EXPECT_EQ(stableScanNodeID(FileUrl::fromPath("/", true)), stableScanNodeID(QStringLiteral("/")));
    EXPECT_NE(stableScanNodeID(QStringLiteral("/tmp/a")), plain);

    // Non-ASCII text hashes its UTF-8 bytes: the same path, however built.
    const QString accented = QString::fromUtf8("/tmp/caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(stableScanNodeID(accented), stableScanNodeID(QString(accented)));
    EXPECT_NE(stableScanNodeID(accented), stableScanNodeID(QStringLiteral("/tmp/cafe/")));
    EXPECT_EQ(stableScanNodeID(accented).version(), QUuid::Sha1);
    EXPECT_EQ(stableScanNodeID(accented).variant(), QUuid::DCE);
}

TEST(FileUrl, ComponentsAndStandardizing)
{
    const FileUrl dir = FileUrl::fromPath("/home/me/", true);
    EXPECT_EQ(dir.path(), "/home/me");
    EXPECT_EQ(dir.rawPath(), "/home/me/");
    EXPECT_EQ(dir.appending("x", true).appending("y", false).rawPath(), "/home/me/x/y");
    EXPECT_EQ(dir.lastPathComponent(), "me");
    const FileUrl child = dir.appending("notes.txt", false);
    EXPECT_EQ(child.path(), "/home/me/notes.txt");
    EXPECT_FALSE(child.isDirectory());
    EXPECT_EQ(FileUrl::fromPath("/", true).lastPathComponent(), "/");
    EXPECT_EQ(FileUrl::fromPath("/a/./b/../../c/", true).standardized().rawPath(), "/c/");
    EXPECT_EQ(FileUrl::fromPath("/..", true).standardized().path(), "/");
}

TEST(ScanFailure, Messages)
{
    const FileUrl url = FileUrl::fromPath("/srv/data folder/", true);
    EXPECT_EQ(ScanFailure::rootInaccessible(url).message(), "Could not access folder: /srv/data folder");
    EXPECT_EQ(ScanFailure::ioError(url).message(),
              "An I/O error occurred while scanning: /srv/data folder");
    EXPECT_EQ(ScanFailure::bookmarkResolutionFailed().message(),
              "Stored folder access could not be restored.");
}

TEST(ScanTree, LookupsPathsAndCycles)
{
    ScanTree tree;
    const ScanNodeRecord root = record("/r", std::nullopt, ScanNodeKind::directory);
    const ScanNodeRecord sub = record("/r/sub", root.id, ScanNodeKind::directory);
    const ScanNodeRecord file = record("/r/sub/f", sub.id, ScanNodeKind::file);
    tree.rootID = root.id;
    for (const auto &r : {root, sub, file})
        tree.insert(r);
    const QUuid missing = stableScanNodeID(QStringLiteral("/r/gone"));
    tree.setChildren(root.id, {missing, sub.id});
    tree.setChildren(sub.id, {file.id});

    EXPECT_EQ(tree.rootNode()->id, root.id);
    EXPECT_FALSE(tree.node(std::nullopt));
    EXPECT_FALSE(tree.node(missing));
    ASSERT_EQ(tree.children(root.id).size(), 1) << "ids without a record are skipped";
    EXPECT_EQ(tree.children(root.id).front().id, sub.id);
    EXPECT_TRUE(tree.children(file.id).isEmpty());
    EXPECT_TRUE(tree.children(missing).isEmpty());

    const auto toFile = tree.path(file.id);
    ASSERT_EQ(toFile.size(), 3);
    EXPECT_EQ(toFile.front().id, root.id);
    EXPECT_EQ(toFile.back().id, file.id);
    EXPECT_EQ(tree.path(root.id).size(), 1);
    EXPECT_TRUE(tree.path(missing).isEmpty());

    ScanTree backwards; // children put in before their parents
    backwards.rootID = root.id;
    for (const auto &r : {file, sub, root})
        backwards.insert(r);
    EXPECT_EQ(backwards.path(file.id).size(), 3);
    EXPECT_EQ(backwards.ref(file.id).parent().id(), sub.id);

    ScanTree copy = tree; // shares its tables until one side writes
    EXPECT_EQ(copy, tree);
    copy.update(root.id, [&](ScanNodeRecord &r) { r.parentID = file.id; }); // a cycle: root -> file -> sub -> root
    EXPECT_EQ(copy.path(file.id).size(), 3);
    EXPECT_NE(copy, tree);
    EXPECT_FALSE(tree.node(root.id)->parentID) << "the original is untouched";
}

namespace {

// A built tree: /r with folders a and b, each holding "x" (a folder with
// a file "f"), and two names that are not UTF-8 in /r.
struct BuiltTree {
    ScanTree tree;
    QUuid ax, bx, axf, odd1, odd2;

    BuiltTree()
    {
        ScanTree::Builder b(FileUrl::fromPath("/r", true));
        const auto dir = [](qint64 size) {
            ScanTree::NodeFacts f;
            f.kind = ScanNodeKind::directory;
            f.allocatedSize = size;
            f.childCount = -1;
            return f;
        };
        const auto file = [](qint64 size) {
            ScanTree::NodeFacts f;
            f.allocatedSize = f.logicalSize = size;
            return f;
        };
        b.add(stableScanNodeID(QStringLiteral("/r")), -1, {}, dir(40));
        const qint32 a = b.add(stableScanNodeID(QStringLiteral("/r/a")), 0, "a", dir(10));
        const qint32 bb = b.add(stableScanNodeID(QStringLiteral("/r/b")), 0, "b", dir(20));
        odd1 = stableScanNodeIDOfBytes("/r/n\xff");
        odd2 = stableScanNodeIDOfBytes("/r/n\xfe");
        b.add(odd1, 0, "n\xff", file(4));
        b.add(odd2, 0, "n\xfe", file(6));
        ax = stableScanNodeID(QStringLiteral("/r/a/x"));
        bx = stableScanNodeID(QStringLiteral("/r/b/x"));
        const qint32 x = b.add(ax, a, "x", dir(10));
        b.add(bx, bb, "x", dir(20));
        axf = stableScanNodeID(QStringLiteral("/r/a/x/f"));
        b.add(axf, x, "f", file(10));
        tree = b.finish();
    }
};

} // namespace

TEST(ScanTree, BuiltTreesMakeTheirRecordsFromColumns)
{
    const BuiltTree t;
    const ScanTree &tree = t.tree;
    ASSERT_EQ(tree.size(), 8);
    EXPECT_EQ(tree.rootID, stableScanNodeID(QStringLiteral("/r")));

    // One name in two folders: two nodes, each below its own parent.
    EXPECT_NE(t.ax, t.bx);
    EXPECT_EQ(tree.node(t.ax)->url.path(), "/r/a/x");
    EXPECT_EQ(tree.node(t.bx)->url.path(), "/r/b/x");
    EXPECT_EQ(tree.node(t.bx)->parentID, stableScanNodeID(QStringLiteral("/r/b")));
    EXPECT_EQ(tree.node(t.bx)->allocatedSize, 20);
    const auto path = tree.path(t.axf);
    ASSERT_EQ(path.size(), 4);
    EXPECT_EQ(path[1].displayName, "a");
    EXPECT_EQ(path[3].url, FileUrl::fromPath("/r/a/x/f"));
    EXPECT_EQ(tree.childIDs(tree.rootID).size(), 4) << "children in the order they were added";
    EXPECT_EQ(tree.node(tree.rootID)->childCount, 4);

    // Names that are bytes: each keeps its own record, shown repaired.
    const auto odd1 = tree.node(t.odd1), odd2 = tree.node(t.odd2);
    ASSERT_TRUE(odd1 && odd2);
    EXPECT_EQ(odd1->url.nativePath(), QByteArray("/r/n\xff"));
    EXPECT_EQ(odd2->url.nativePath(), QByteArray("/r/n\xfe"));
    EXPECT_EQ(odd1->displayName, odd2->displayName);
    EXPECT_NE(odd1->url, odd2->url);
    EXPECT_EQ(tree.ref(t.odd1).nativeName(), QByteArray("n\xff"));
    EXPECT_EQ(stableScanNodeID(odd1->url), t.odd1);

    // The same records inserted by hand make an equal tree.
    ScanTree byHand;
    byHand.rootID = tree.rootID;
    tree.forEachNode([&](const ScanNodeRecord &r) { byHand.insert(r); });
    EXPECT_TRUE(byHand == tree);
    byHand.update(t.odd2, [](ScanNodeRecord &r) { r.allocatedSize = 7; });
    EXPECT_FALSE(byHand == tree);
}

// Sizes and times come back as they went in, however they are kept: the
// common file sizes as a code beside the logical size, the rest (folders'
// totals, odd files, sums near 2^63) as numbers; times to the second.
TEST(ScanTree, EverySizeAndTimeReadsBackAsGiven)
{
    const FileUrl root = FileUrl::fromPath(QStringLiteral("/r"), true);
    ScanTree::Builder builder(root, 8);
    ScanTree::NodeFacts folder;
    folder.kind = ScanNodeKind::directory;
    folder.modifiedAt = 1700000000;
    builder.add(stableScanNodeID(QStringLiteral("/r")), -1, {}, folder);
    const std::pair<qint64, qint64> files[] = {{0, 0},     {4096, 1},  {8192, 4097}, {0, 1 << 20},
                                               {4096, 99999}, {12345, 10}, {INT64_MAX, INT64_MAX}};
    const qint64 times[] = {0, -5, 1, 1700000000, 4102444800, qint64(1) << 40, 86400};
    for (size_t k = 0; k < std::size(files); ++k) {
        ScanTree::NodeFacts f;
        f.allocatedSize = files[k].first;
        f.logicalSize = files[k].second;
        f.modifiedAt = times[k];
        builder.add(stableScanNodeID(QStringLiteral("/r/f%1").arg(k)), 0, QByteArray("f") + QByteArray::number(qint64(k)), f);
    }
    builder.addSizes(0, 5000, 6000);
    builder.addSizes(1, 4096, 4096); // a file that grows into another code
    const ScanTree tree = builder.finish();
    EXPECT_EQ(tree.rootNode()->allocatedSize, 5000);
    EXPECT_EQ(tree.rootNode()->modifiedAt, 1700000000);
    for (size_t k = 0; k < std::size(files); ++k) {
        const auto r = tree.node(stableScanNodeID(QStringLiteral("/r/f%1").arg(k)));
        ASSERT_TRUE(r) << k;
        EXPECT_EQ(r->allocatedSize, files[k].first + (k == 0 ? 4096 : 0)) << k;
        EXPECT_EQ(r->logicalSize, files[k].second + (k == 0 ? 4096 : 0)) << k;
        const qint64 kept = times[k] < 0 ? 1 : std::min<qint64>(times[k], 0xffffffffLL);
        EXPECT_EQ(r->modifiedAt, kept) << "unknown stays unknown, 32 bits of seconds; " << k;
    }
}

TEST(ScanTree, CopiesShareUntilOneChanges)
{
    const BuiltTree t;
    ScanTree copy = t.tree;
    EXPECT_TRUE(copy.sharesStorageWith(t.tree));

    copy.update(t.ax, [](ScanNodeRecord &r) { r.allocatedSize = 99; });
    ScanNodeRecord added = *copy.node(t.axf);
    added.url = FileUrl::fromPath("/r/a/x/g");
    added.id = stableScanNodeID(added.url);
    added.displayName = "g";
    copy.insert(added);
    EXPECT_FALSE(copy.sharesStorageWith(t.tree));

    EXPECT_EQ(copy.node(t.ax)->allocatedSize, 99);
    EXPECT_EQ(t.tree.node(t.ax)->allocatedSize, 10) << "the original is untouched";
    EXPECT_EQ(copy.childIDs(t.ax).size(), 2);
    EXPECT_EQ(t.tree.childIDs(t.ax).size(), 1);
    EXPECT_FALSE(t.tree.contains(added.id));
    // Every other look-up of the copy still finds what the original does.
    t.tree.forEachNode([&](const ScanNodeRecord &r) {
        const auto there = copy.node(r.id);
        ASSERT_TRUE(there) << r.url.path().toStdString();
        EXPECT_EQ(there->url, r.url);
        EXPECT_EQ(copy.childIDs(r.id).size() - (r.id == t.ax), t.tree.childIDs(r.id).size());
    });
}

TEST(ScanTree, AMillionNodesFitInTheirColumnsAndCopyForNothing)
{
    // /big/dNNN/fNNNN: 1,000 folders of 999 files.
    constexpr int kFolders = 1000, kFiles = 999;
    ScanTree::Builder b(FileUrl::fromPath("/big", true), 1 + kFolders * (kFiles + 1));
    ScanTree::NodeFacts folder;
    folder.kind = ScanNodeKind::directory;
    folder.childCount = -1;
    ScanTree::NodeFacts file;
    file.allocatedSize = 4096;
    b.add(stableScanNodeID(QStringLiteral("/big")), -1, {}, folder);
    for (int d = 0; d < kFolders; ++d) {
        const QByteArray dir = "d" + QByteArray::number(d);
        const qint32 at = b.add(stableScanNodeID("/big", dir), 0, dir, folder);
        const QByteArray parent = "/big/" + dir;
        for (int f = 0; f < kFiles; ++f) {
            const QByteArray name = "f" + QByteArray::number(f);
            b.add(stableScanNodeID(parent, name), at, name, file);
        }
    }
    const ScanTree tree = b.finish();
    ASSERT_EQ(tree.size(), 1 + kFolders * (kFiles + 1));
    EXPECT_LE(tree.memoryUse(), 80 * tree.size()) << "bytes of the columns and the index";

    std::vector<ScanTree> copies(8, tree);
    for (const ScanTree &c : copies)
        EXPECT_TRUE(c.sharesStorageWith(tree));
    const QUuid last = stableScanNodeIDOfBytes("/big/d999/f998");
    const auto found = copies.back().node(last);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->url.path(), "/big/d999/f998");
    EXPECT_EQ(found->allocatedSize, 4096);
    EXPECT_EQ(copies.back().path(last).size(), 3);
    EXPECT_EQ(copies.back().children(stableScanNodeIDOfBytes("/big/d500")).size(), kFiles);
    EXPECT_FALSE(copies.back().contains(stableScanNodeIDOfBytes("/big/d1000")));
    EXPECT_TRUE(copies.back().sharesStorageWith(tree)) << "reading never copies";
}

// A long list of children is made on two threads: every record
// is there, in list order, with its own name and sizes.
TEST(ScanTree, ChildrenOfAWideFolderAreMadeWholeAndInOrder)
{
    constexpr int kFiles = 70000;
    ScanTree::Builder b(FileUrl::fromPath("/wide", true), 1 + kFiles);
    ScanTree::NodeFacts folder;
    folder.kind = ScanNodeKind::directory;
    folder.childCount = -1;
    b.add(stableScanNodeID(QStringLiteral("/wide")), -1, {}, folder);
    ScanTree::NodeFacts file;
    for (int f = 0; f < kFiles; ++f) {
        const QByteArray name = "f" + QByteArray::number(f);
        file.logicalSize = f;
        b.add(stableScanNodeID("/wide", name), 0, name, file);
    }
    const ScanTree tree = b.finish();
    // As they lie, and largest first: the reverse of how they lie.
    for (const bool bySize : {false, true}) {
        const QList<ScanNodeRecord> children =
            bySize ? sortedChildren(tree, tree.rootID, SizeMeasure::logical) : tree.children(tree.rootID);
        ASSERT_EQ(children.size(), kFiles);
        int wrong = 0;
        for (int k = 0; k < kFiles; ++k) {
            const int f = bySize ? kFiles - 1 - k : k;
            const QByteArray name = "f" + QByteArray::number(f);
            const ScanNodeRecord &r = children[k];
            wrong += r.id != stableScanNodeID("/wide", name) || r.url.path() != "/wide/" + QString::fromLatin1(name) ||
                     r.logicalSize != f;
        }
        EXPECT_EQ(wrong, 0) << "children missing, out of order or not their own" << (bySize ? " (by size)" : "");
    }
}

// Ties are ordered as the locale's case-insensitive QCollator compares the
// names, whether a run is short or keyed on two threads; ties beyond the
// name as they came.
TEST(SizeOrder, TiesInTheCollatorsOrderForEveryRunLength)
{
    const QStringList stems{"alpha", "Beta", "beta", "ÉCOLE", "ecole", "zeta", "10", "9", "_x", "Straße",
                            "ǅx", "😀a", "Å", "aa", "ab", "cs", "cz", "a b", "a~"};
    // Danish and Hungarian contract plain letters ("aa", "cs").
    for (const char *name : {"C", "en_US", "sv_SE", "de_DE", "da_DK", "hu_HU"}) {
        QLocale::setDefault(QLocale(QString::fromLatin1(name)));
        QCollator collator;
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        QList<ScanNodeRecord> records;
        for (int i = 0; i < 70000; ++i) {
            ScanNodeRecord r;
            r.id = QUuid::createUuid();
            r.displayName = stems[i % stems.size()] + QString::number(i % 5000);
            // a long run of 0, runs of 2 and 3 (with equal names), singles
            r.allocatedSize = i % 97 == 0 ? 4096 : i % 89 == 0 ? i / 3 : 0;
            records.append(r);
        }
        QList<ScanNodeRecord> expected = records;
        std::stable_sort(expected.begin(), expected.end(), [&](const ScanNodeRecord &a, const ScanNodeRecord &b) {
            return a.allocatedSize != b.allocatedSize ? a.allocatedSize > b.allocatedSize
                                                      : collator.compare(a.displayName, b.displayName) < 0;
        });
        ScanTree::Builder b(FileUrl::fromPath("/t", true));
        ScanTree::NodeFacts folder;
        folder.kind = ScanNodeKind::directory;
        const qint32 root = b.add(QUuid::createUuid(), -1, {}, folder);
        for (const ScanNodeRecord &r : records) {
            ScanTree::NodeFacts facts;
            facts.allocatedSize = r.allocatedSize;
            b.add(r.id, root, r.displayName.toUtf8(), facts);
        }
        const ScanTree tree = b.finish();
        const QList<ScanNodeRecord> children = sortedChildren(tree, tree.rootID);
        ASSERT_EQ(children.size(), expected.size());
        qsizetype differing = 0;
        for (qsizetype i = 0; i < children.size(); ++i)
            differing += children[i].id != expected[i].id || children[i].displayName != expected[i].displayName;
        EXPECT_EQ(differing, 0) << name;
    }
    QLocale::setDefault(QLocale::system());
}
