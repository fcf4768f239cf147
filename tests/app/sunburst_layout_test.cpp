// The sunburst layout: the worked examples, the edges that catch real
// faults, and properties over many generated trees.
#include "stable_scan_node_id.h"
#include "sunburst_layout_service.h"

#include <gtest/gtest.h>

#include <QMap>
#include <QSet>
#include <random>

namespace {

// A tree built by hand: add(parent path, name, size) with directories sized
// as given (the layout reads sizes, not how they came about).
class TreeBuilder {
public:
    explicit TreeBuilder(qint64 rootSize)
    {
        tree.rootID = add(QString(), "/r", rootSize);
    }

    QUuid add(const QString &parentPath, const QString &name, qint64 size)
    {
        const QString path = parentPath.isEmpty() ? name : parentPath + "/" + name;
        ScanNodeRecord r;
        r.url = FileUrl::fromPath(path, true);
        r.id = stableScanNodeID(path);
        r.displayName = name;
        r.kind = ScanNodeKind::directory;
        r.allocatedSize = size;
        if (!parentPath.isEmpty())
            r.parentID = stableScanNodeID(parentPath);
        tree.insert(r);
        return r.id;
    }

    ScanTree tree;
};

QList<SunburstSegment> layout(const ScanTree &tree, const QUuid &focus)
{
    return SunburstLayoutService().makeSegments(tree, focus);
}

void expectRange(const SunburstSegment &s, double start, double end)
{
    EXPECT_NEAR(s.startDegrees, start, 1e-9) << s.id.toStdString();
    EXPECT_NEAR(s.endDegrees, end, 1e-9) << s.id.toStdString();
}

} // namespace

TEST(SunburstLayout, WorkedExamples)
{
    {
        TreeBuilder b(4);
        const QUuid big = b.add("/r", "big", 3);
        b.add("/r", "small", 1);
        const auto s = layout(b.tree, b.tree.rootID);
        ASSERT_EQ(s.size(), 2);
        EXPECT_EQ(s[0].id, uuidText(big));
        EXPECT_EQ(s[0].backingNodeID, big);
        EXPECT_EQ(s[0].ringIndex, 1);
        expectRange(s[0], 12.0, 262.9875);
        expectRange(s[1], 264.3375, 348.0);
    }
    {
        TreeBuilder b(25);
        for (int i = 24; i >= 0; --i) // stored order is not name order
            b.add("/r", QString("c%1").arg(i, 2, 10, QChar('0')), 1);
        const auto s = layout(b.tree, b.tree.rootID);
        ASSERT_EQ(s.size(), 19);
        EXPECT_EQ(s[0].backingNodeID, stableScanNodeID(QStringLiteral("/r/c00")));
        expectRange(s[0], 12.0, 24.468);
        EXPECT_EQ(s[17].backingNodeID, stableScanNodeID(QStringLiteral("/r/c17")));
        expectRange(s[17], 246.906, 259.374);
        EXPECT_EQ(s[18].id, uuidText(b.tree.rootID) + "-other-1");
        EXPECT_FALSE(s[18].backingNodeID);
        EXPECT_EQ(s[18].kind, SunburstSegment::Kind::aggregatedOther(7));
        expectRange(s[18], 260.724, 348.0);
    }
    {
        TreeBuilder b(1000);
        b.add("/r", "large", 990);
        for (int i = 0; i < 10; ++i)
            b.add("/r", QString("tiny%1").arg(i), 1);
        const auto s = layout(b.tree, b.tree.rootID);
        ASSERT_EQ(s.size(), 2);
        expectRange(s[0], 12.0, 343.3035);
        expectRange(s[1], 344.6535, 348.0);
        EXPECT_EQ(s[1].kind.itemCount, 10);
    }
}

TEST(SunburstLayout, EdgesThatCatchRealFaults)
{
    TreeBuilder b(100);
    const QUuid empty = b.add("/r", "empty", 0);
    const QUuid zeros = b.add("/r", "zeros", 50);
    b.add("/r/zeros", "z1", 0);
    b.add("/r/zeros", "z2", 0);
    const QUuid sole = b.add("/r", "sole", 50);
    b.add("/r/sole", "only", 50);
    EXPECT_TRUE(layout(b.tree, stableScanNodeID(QStringLiteral("/nowhere"))).isEmpty());
    EXPECT_TRUE(layout(b.tree, empty).isEmpty()) << "a focus of size 0";
    EXPECT_TRUE(layout(b.tree, zeros).isEmpty()) << "children all empty: not even an aggregate";
    const auto soleSegments = layout(b.tree, sole);
    ASSERT_EQ(soleSegments.size(), 1);
    expectRange(soleSegments[0], 12.0, 348.0);

    // Sizes near 2^63 (sparse files reach them): their sum saturates, and
    // the chart still shows them in proportion.
    TreeBuilder huge(INT64_MAX);
    huge.add("/r", "a", INT64_MAX - 10);
    huge.add("/r", "b", INT64_MAX / 2);
    huge.add("/r", "c", INT64_MAX / 200);
    const auto hugeSegments = layout(huge.tree, huge.tree.rootID);
    ASSERT_EQ(hugeSegments.size(), 3) << "a and b shown, c gathered";
    EXPECT_TRUE(hugeSegments[2].kind.isOther());
    EXPECT_GT(hugeSegments[0].endDegrees - hugeSegments[0].startDegrees, 200.0);

    // Equal sizes order by name, ignoring case; the nineteenth is hidden
    // although it is large enough.
    TreeBuilder named(3);
    for (const char *name : {"gamma", "Beta", "alpha"})
        named.add("/r", name, 1);
    const auto s = layout(named.tree, named.tree.rootID);
    ASSERT_EQ(s.size(), 3);
    EXPECT_EQ(s[0].backingNodeID, stableScanNodeID(QStringLiteral("/r/alpha")));
    EXPECT_EQ(s[1].backingNodeID, stableScanNodeID(QStringLiteral("/r/Beta")));

    TreeBuilder many(19);
    for (int i = 0; i < 19; ++i)
        many.add("/r", QString("n%1").arg(i, 2, 10, QChar('0')), 1);
    const auto capped = layout(many.tree, many.tree.rootID);
    ASSERT_EQ(capped.size(), 19);
    EXPECT_EQ(capped.back().kind.itemCount, 1);

    // Children larger than their parent: the gaps exceed a narrow span.
    TreeBuilder odd(1000);
    odd.add("/r", "wide", 980);
    const QUuid narrow = odd.add("/r", "narrow", 20);
    for (int i = 0; i < 300; ++i)
        odd.add("/r/narrow", QString("x%1").arg(i, 3, 10, QChar('0')), 1000);
    const auto squeezed = layout(odd.tree, odd.tree.rootID);
    int zeroWidth = 0;
    for (const SunburstSegment &seg : squeezed) {
        EXPECT_LE(seg.startDegrees, seg.endDegrees) << seg.id.toStdString();
        zeroWidth += seg.ringIndex == 2 && seg.startDegrees == seg.endDegrees;
    }
    EXPECT_EQ(zeroWidth, 19) << "18 visible of no width and an aggregate past the end";
    EXPECT_EQ(squeezed.back().id, uuidText(narrow) + "-other-2");

    // Nothing beyond ring 5.
    TreeBuilder deep(10);
    QString path = "/r";
    for (int level = 0; level < 8; ++level) {
        deep.add(path, "d", 10);
        path += "/d";
    }
    const auto rings = layout(deep.tree, deep.tree.rootID);
    ASSERT_EQ(rings.size(), 5);
    EXPECT_EQ(rings.back().ringIndex, 5);
}

TEST(SunburstLayout, PropertiesOverGeneratedTrees)
{
    std::mt19937 random(20261206);
    for (int round = 0; round < 200; ++round) {
        // Sizes are summed bottom-up, like a real scan's.
        TreeBuilder b(0);
        QList<QPair<QString, int>> frontier{{"/r", 0}};
        QMap<QString, qint64> sizes;
        QMap<QString, QString> parentOf;
        int made = 0;
        while (!frontier.isEmpty() && made < 400) {
            const auto [path, depth] = frontier.takeFirst();
            const int kids = depth > 6 ? 0 : int(random() % 30);
            for (int k = 0; k < kids; ++k, ++made) {
                const QString child = path + "/k" + QString::number(k);
                const bool folder = random() % 3 == 0;
                const qint64 size = folder ? 0 : qint64(random() % 5 == 0 ? 0 : random() % 100000);
                b.add(path, "k" + QString::number(k), size);
                sizes[child] = size;
                parentOf[child] = path;
                if (folder)
                    frontier.append({child, depth + 1});
            }
        }
        // Fold sizes up, deepest paths first.
        QStringList paths = sizes.keys();
        std::sort(paths.begin(), paths.end(), [](const QString &x, const QString &y) {
            return x.count('/') > y.count('/');
        });
        qint64 rootSize = 0;
        for (const QString &p : paths) {
            if (parentOf[p] == "/r")
                rootSize += sizes[p];
            else
                sizes[parentOf[p]] += sizes[p];
        }
        for (const QString &p : paths)
            b.tree.update(stableScanNodeID(p), [&](ScanNodeRecord &r) { r.allocatedSize = sizes[p]; });
        b.tree.update(b.tree.rootID, [&](ScanNodeRecord &r) { r.allocatedSize = rootSize; });

        const auto segments = layout(b.tree, b.tree.rootID);
        QMap<int, const SunburstSegment *> openParent; // ring -> last node segment
        QMap<QString, int> visiblePerParent;
        QSet<QString> others;
        for (const SunburstSegment &s : segments) {
            ASSERT_LE(s.startDegrees, s.endDegrees + 1e-9);
            ASSERT_GE(s.ringIndex, 1);
            ASSERT_LE(s.ringIndex, 5);
            ASSERT_GE(s.startDegrees, 12.0 - 1e-9);
            ASSERT_LE(s.endDegrees, 348.0 + 1e-9);
            // Pre-order: a ring-n segment nests in the latest ring-(n-1) node segment.
            if (s.ringIndex > 1) {
                const SunburstSegment *parent = openParent.value(int(s.ringIndex - 1));
                ASSERT_NE(parent, nullptr);
                ASSERT_GE(s.startDegrees, parent->startDegrees - 1e-9);
                ASSERT_LE(s.endDegrees, parent->endDegrees + 1e-9);
            }
            if (s.kind.isOther()) {
                ASSERT_FALSE(others.contains(s.id)) << "one aggregate per parent";
                others.insert(s.id);
            } else {
                const auto record = b.tree.node(s.backingNodeID);
                ASSERT_TRUE(record);
                const QString parentKey = uuidText(*record->parentID);
                ASSERT_LE(++visiblePerParent[parentKey], 18);
                openParent[int(s.ringIndex)] = &s;
            }
        }
    }
}
