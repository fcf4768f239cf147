// The chart panel rendered offscreen: geometry, hit tests, hover, clicks,
// the centre disc, stale layouts, and the pixels it paints.
#include "byte_count_text.h"
#include "node_color.h"
#include "sidebar_list_view.h"
#include "stable_scan_node_id.h"
#include "sunburst_canvas_view.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <cmath>

namespace {

ScanNodeRecord record(const QString &path, ScanNodeKind kind, qint64 size, qint64 childCount = 0)
{
    ScanNodeRecord r;
    r.url = FileUrl::fromPath(path, kind != ScanNodeKind::file);
    r.id = stableScanNodeID(path);
    const qsizetype slash = path.lastIndexOf('/');
    if (slash > 0)
        r.parentID = stableScanNodeID(path.left(slash));
    r.displayName = path.mid(slash + 1);
    r.kind = kind;
    r.allocatedSize = size;
    r.childCount = childCount;
    return r;
}

// /r (4): big (3, a folder holding one file of 3) and small (1, a package),
// then 40 tiny files that end up in the aggregate segment of /r.
ScanTree sampleTree()
{
    ScanTree tree;
    const QList<ScanNodeRecord> records{
        record("/r", ScanNodeKind::directory, 4000, 42), record("/r/big", ScanNodeKind::directory, 3000, 1),
        record("/r/big/inner", ScanNodeKind::file, 3000), record("/r/small", ScanNodeKind::package, 900)};
    for (const ScanNodeRecord &r : records)
        tree.insert(r);
    for (int i = 0; i < 40; ++i) {
        const ScanNodeRecord tiny = record(QString("/r/t%1").arg(i), ScanNodeKind::file, 2);
        tree.insert(tiny);
    }
    tree.rootID = records.first().id;
    return tree;
}

// A point at layout angle degrees and distance from the centre.
QPoint at(const SunburstCanvasView &view, double degrees, double distance)
{
    const auto g = SunburstCanvasView::geometry(view.size());
    const double a = (degrees - 90) * M_PI / 180;
    return QPointF(g.centre.x() + distance * std::cos(a), g.centre.y() + distance * std::sin(a)).toPoint();
}

struct ShownView {
    SunburstCanvasView view;
    explicit ShownView(const ScanTree &tree, QSize size = {400, 300})
    {
        view.resize(size);
        view.show(); // on the offscreen platform: pointer events reach it
        (void)QTest::qWaitForWindowExposed(&view);
        QSignalSpy laidOut(&view, &SunburstCanvasView::segmentsChanged);
        view.setInputs(tree, tree.rootID);
        laidOut.wait(5000);
    }
};

} // namespace

TEST(SunburstCanvasView, GeometryOfA400By300View)
{
    const auto g = SunburstCanvasView::geometry(QSizeF(400, 300));
    EXPECT_EQ(g.side, 300);
    EXPECT_EQ(g.chartRadius, 122);
    EXPECT_EQ(g.centreRadius, 36);
    EXPECT_NEAR(g.ringThickness, 17.2, 1e-9);
    EXPECT_EQ(g.centre, QPointF(200, 150));
    EXPECT_EQ(SunburstCanvasView::geometry(QSizeF(100, 100)).ringThickness, 10) << "rings never thinner";
}

TEST(SunburstCanvasView, HitTestBoundariesAndClicks)
{
    const ScanTree tree = sampleTree();
    ShownView shown(tree);
    SunburstCanvasView &view = shown.view;
    ASSERT_EQ(view.segments().size(), 4); // big, inner, small, other
    const QUuid big = stableScanNodeID(QStringLiteral("/r/big"));
    const QUuid inner = stableScanNodeID(QStringLiteral("/r/big/inner"));

    // The full band counts, and on a shared edge the later segment wins.
    EXPECT_EQ(view.hitTest(at(view, 90, 37))->backingNodeID, big);
    const auto g = SunburstCanvasView::geometry(view.size());
    {
        // A 288-point square has rings of exactly 16 from 36: the outer edge
        // of ring 1, at 52, is also the inner edge of ring 2.
        ShownView exact(tree, {288, 288});
        ASSERT_EQ(SunburstCanvasView::geometry(exact.view.size()).ringThickness, 16);
        EXPECT_EQ(exact.view.hitTest(QPointF(144 + 52, 144))->backingNodeID, inner);
        EXPECT_EQ(exact.view.hitTest(QPointF(144 + 51.5, 144))->backingNodeID, big);
    }
    EXPECT_FALSE(view.hitTest(at(view, 0, 45))) << "the opening at twelve o'clock";
    EXPECT_FALSE(view.hitTest(at(view, 5, 45)));
    EXPECT_FALSE(view.hitTest(g.centre + QPointF(10, 5))) << "the centre disc";
    const SunburstSegment &small = view.segments()[2];
    EXPECT_FALSE(view.hitTest(at(view, small.startDegrees - 0.6, 45))) << "a sibling gap";

    QList<QUuid> selected;
    view.setOnSelect([&](const QUuid &id) { selected.append(id); });
    QTest::mouseClick(&view, Qt::LeftButton, {}, at(view, 90, 45));
    const SunburstSegment &other = view.segments()[3];
    ASSERT_TRUE(other.kind.isOther());
    QTest::mouseClick(&view, Qt::LeftButton, {}, at(view, (other.startDegrees + other.endDegrees) / 2, 45));
    QTest::mouseClick(&view, Qt::LeftButton, {}, at(view, 0, 45));
    EXPECT_EQ(selected, QList<QUuid>{big}) << "aggregates and empty places select nothing";
}

TEST(SunburstCanvasView, EachSegmentsMidpointHitsThatSegment)
{
    ShownView shown(sampleTree());
    ASSERT_FALSE(shown.view.segments().isEmpty());
    for (const SunburstSegment &s : shown.view.segments())
        EXPECT_EQ(shown.view.hitTest(shown.view.segmentMidpoint(s)), s) << s.id.toStdString();
}

TEST(SunburstCanvasView, HoverCardsAndTheCentreDisc)
{
    const ScanTree tree = sampleTree();
    ShownView shown(tree);
    SunburstCanvasView &view = shown.view;
    EXPECT_EQ(view.centreTitle(), "r");
    EXPECT_EQ(view.centreSize(), byteCountText(4000));

    QTest::mouseMove(&view, at(view, 90, 45));
    EXPECT_EQ(view.hoverCardLines(), (QStringList{"big", byteCountText(3000), "1 children"}));
    QTest::mouseMove(&view, at(view, 90, 60));
    EXPECT_EQ(view.hoverCardLines().value(2), "File");
    const SunburstSegment small = view.segments()[2];
    QTest::mouseMove(&view, at(view, (small.startDegrees + small.endDegrees) / 2, 45));
    EXPECT_EQ(view.hoverCardLines().value(2), "Package");
    const SunburstSegment other = view.segments()[3];
    QTest::mouseMove(&view, at(view, (other.startDegrees + other.endDegrees) / 2, 45));
    EXPECT_EQ(view.hoveredSegment()->id, other.id) << "an aggregate is hovered";
    EXPECT_TRUE(view.hoverCardLines().isEmpty()) << "but has no card";
    QTest::mouseMove(&view, at(view, 0, 45));
    EXPECT_FALSE(view.hoveredSegment());

    // While the pointer rests, the card follows a newer tree, and goes with
    // its node.
    QTest::mouseMove(&view, at(view, 90, 60));
    ASSERT_EQ(view.shownCardLines().value(0), "inner");
    ScanTree grown = tree;
    grown.update(stableScanNodeID(QStringLiteral("/r/big/inner")), [](ScanNodeRecord &r) { r.allocatedSize = 5000; });
    view.setInputs(grown, grown.rootID);
    EXPECT_EQ(view.shownCardLines().value(1), byteCountText(5000));
    ScanTree shrunk;
    for (const char *path : {"/r", "/r/big", "/r/small"})
        shrunk.insert(*tree.node(stableScanNodeID(QString::fromLatin1(path))));
    shrunk.rootID = tree.rootID;
    view.setInputs(shrunk, shrunk.rootID);
    EXPECT_FALSE(view.hoveredSegment()) << "its node left the tree";

    // A focus that is gone from the tree.
    view.setInputs(tree, stableScanNodeID(QStringLiteral("/gone")));
    QSignalSpy laidOut(&view, &SunburstCanvasView::segmentsChanged);
    ASSERT_TRUE(laidOut.wait(5000));
    EXPECT_TRUE(view.segments().isEmpty());
    EXPECT_EQ(view.centreTitle(), "Folder");
    EXPECT_EQ(view.centreSize(), byteCountText(0));
}

// The disc is 1.85 c across; its size line is never cut and both lines stay
// inside it, at every size of the view; the hover card stays in the view.
TEST(SunburstCanvasView, TheCentreTextAndTheCardFitAtAnySize)
{
    const QString name = QString(40, u'W');
    for (const QSize size : {QSize(200, 160), QSize(330, 300), QSize(400, 300), QSize(560, 430), QSize(1600, 1000)}) {
        const auto g = SunburstCanvasView::geometry(size);
        for (const QString &bytes : {QStringLiteral("576.7 MB"), QStringLiteral("1,023.9 GB")}) {
            const auto l = SunburstCanvasView::centreLayout(g, name, bytes);
            EXPECT_DOUBLE_EQ(l.discRadius, g.centreRadius * 1.85 / 2);
            EXPECT_EQ(l.sizeText, bytes);
            EXPECT_LE(QFontMetricsF(l.sizeFont).horizontalAdvance(bytes), l.sizeRect.width()) << size.width();
            EXPECT_LE(QFontMetricsF(l.titleFont).horizontalAdvance(l.titleText), l.titleRect.width() + 0.5);
            EXPECT_TRUE(l.titleText.endsWith(u'…'));
            for (const QRectF &r : {l.titleRect, l.sizeRect}) {
                for (const QPointF &corner : {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()})
                    EXPECT_LE(QLineF(g.centre, corner).length(), l.discRadius) << size.width();
            }
        }
        const QRectF card = SunburstCanvasView::hoverCardRect(size.width(), {name, "576.7 MB", "File"});
        EXPECT_GE(card.left(), 24) << size.width();
    }
}

TEST(SunburstCanvasView, LayoutFollowsOnlyTheNewestKey)
{
    const ScanTree tree = sampleTree();
    SunburstCanvasView view;
    view.resize(400, 300);
    QSignalSpy laidOut(&view, &SunburstCanvasView::segmentsChanged);
    const QUuid big = stableScanNodeID(QStringLiteral("/r/big"));
    view.setInputs(tree, tree.rootID);
    view.setInputs(tree, big); // before the first layout is back
    ASSERT_TRUE(laidOut.wait(5000));
    QTest::qWait(100);
    EXPECT_EQ(laidOut.count(), 1) << "the result for the old focus is dropped";
    ASSERT_EQ(view.segments().size(), 1);
    EXPECT_EQ(view.segments().first().backingNodeID, stableScanNodeID(QStringLiteral("/r/big/inner")));

    // Another tree with the same count and focused size: the same key, so
    // no new layout; a changed count is laid out again.
    const QString key = view.segmentCacheKey();
    ScanTree same = tree;
    same.update(stableScanNodeID(QStringLiteral("/r/t0")), [](ScanNodeRecord &r) { r.allocatedSize = 1; });
    ASSERT_FALSE(same == tree);
    view.setInputs(same, big);
    EXPECT_EQ(view.segmentCacheKey(), key);
    ScanTree grown = same;
    grown.insert(record("/r/big/more", ScanNodeKind::file, 0));
    view.setInputs(grown, big);
    EXPECT_NE(view.segmentCacheKey(), key);
    ASSERT_TRUE(laidOut.wait(5000));
    EXPECT_EQ(laidOut.count(), 2) << "the same key laid nothing out; the grown tree did";
}

TEST(SunburstCanvasView, PaintsSegmentsInTheirColours)
{
    const ScanTree tree = sampleTree();
    ShownView shown(tree);
    const QImage image = shown.view.grab().toImage();
    const QColor drawn = image.pixelColor(at(shown.view, 90, 45));
    // From first principles, not the chart's own call: the hue of the
    // identifier's upper-case text, saturation 0.72, brightness 0.94.
    const QString text = stableScanNodeID(QStringLiteral("/r/big")).toString(QUuid::WithoutBraces).toUpper();
    const long long h = static_cast<int>(qHash(text));
    const QColor expected = QColor::fromHsvF(float(std::llabs(h % 360) / 360.0), 0.72f, 0.94f);
    EXPECT_NEAR(drawn.redF(), expected.redF(), 0.02);
    EXPECT_NEAR(drawn.greenF(), expected.greenF(), 0.02);
    EXPECT_NEAR(drawn.blueF(), expected.blueF(), 0.02);
    const QColor opening = image.pixelColor(at(shown.view, 0, 45));
    EXPECT_LT(opening.valueF(), 0.25) << "the dark background shows through the opening";

    // The list paints the node's dot in the colour of its segment.
    SidebarListView list;
    list.resize(380, 200);
    list.show();
    list.setNodes({*tree.node(stableScanNodeID(QStringLiteral("/r/big")))});
    const QRect row = list.visualRect(list.model()->index(0, 0));
    const QColor dot =
        list.viewport()->grab().toImage().pixelColor(row.left() + 19, row.adjusted(14, 12, -14, -12).center().y());
    EXPECT_NEAR(dot.redF(), drawn.redF(), 0.03);
    EXPECT_NEAR(dot.greenF(), drawn.greenF(), 0.03);
    EXPECT_NEAR(dot.blueF(), drawn.blueF(), 0.03);
}


// The arrow keys walk the rings (Left/Right along one, wrapping; Up out to
// a child, Down in to the parent), Enter focuses; a screen reader reads each
// segment with its name, size and share, finds it under a point, and is
// told which one the keys are on. So are the list's rows.
TEST(SunburstCanvasView, KeysAndAssistiveTechnologyReachEverySegment)
{
    const ScanTree tree = sampleTree();
    ShownView shown(tree);
    SunburstCanvasView &view = shown.view;
    ASSERT_EQ(view.segments().size(), 4);
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    view.setFocus();
    QList<QUuid> selected;
    view.setOnSelect([&](const QUuid &id) { selected.append(id); });
    auto on = [&](int key) {
        QTest::keyClick(&view, Qt::Key(key));
        return view.keySegment() ? view.keySegment()->id : QString("none");
    };
    const QString big = uuidText(stableScanNodeID(QStringLiteral("/r/big")));
    const QString small = uuidText(stableScanNodeID(QStringLiteral("/r/small")));
    const QString inner = uuidText(stableScanNodeID(QStringLiteral("/r/big/inner")));
    const QString other = view.segments()[3].id;
    EXPECT_EQ(on(Qt::Key_Right), big); // the first key lands on the first segment
    EXPECT_EQ(on(Qt::Key_Right), small);
    EXPECT_EQ(on(Qt::Key_Up), small) << "nothing outside a package without children";
    EXPECT_EQ(on(Qt::Key_Right), other);
    EXPECT_EQ(on(Qt::Key_Right), big) << "wraps round the ring";
    EXPECT_EQ(on(Qt::Key_Left), other);
    EXPECT_EQ(on(Qt::Key_Left), small);
    EXPECT_EQ(on(Qt::Key_Left), big);
    EXPECT_EQ(on(Qt::Key_Up), inner);
    EXPECT_EQ(view.hoverCardLines().value(0), "inner") << "the card follows the keys";
    EXPECT_EQ(on(Qt::Key_Down), big);
    EXPECT_EQ(on(Qt::Key_Down), big);
    on(Qt::Key_Return);
    EXPECT_EQ(selected, QList<QUuid>{stableScanNodeID(QStringLiteral("/r/big"))});

    QAccessibleInterface *chart = QAccessible::queryAccessibleInterface(&view);
    ASSERT_TRUE(chart);
    EXPECT_EQ(chart->role(), QAccessible::Chart);
    EXPECT_EQ(chart->text(QAccessible::Name), "Chart of r, " + byteCountText(4000));
    ASSERT_EQ(chart->childCount(), 4);
    QStringList names;
    for (int i = 0; i < chart->childCount(); ++i) {
        QAccessibleInterface *segment = chart->child(i);
        ASSERT_TRUE(segment && segment->isValid());
        EXPECT_EQ(chart->indexOfChild(segment), i);
        EXPECT_EQ(segment->parent(), chart);
        names << segment->text(QAccessible::Name);
        const QPoint middle = view.mapToGlobal(view.segmentMidpoint(view.segments()[i]).toPoint());
        EXPECT_TRUE(segment->rect().contains(middle));
        EXPECT_EQ(chart->childAt(middle.x(), middle.y()), segment);
    }
    EXPECT_EQ(names, (QStringList{"big, " + byteCountText(3000) + ", 75.0% of r",
                                  "inner, " + byteCountText(3000) + ", 100.0% of big",
                                  "small, " + byteCountText(900) + ", 22.5% of r", "40 smaller items"}));
    EXPECT_EQ(chart->focusChild(), chart->child(0)) << "the segment the keys are on";
    EXPECT_TRUE(chart->child(0)->state().focused);
    EXPECT_FALSE(chart->child(2)->state().focused);

    // A newer layout without a segment: its interface is no longer valid.
    QAccessibleInterface *innerSegment = chart->child(1);
    const QAccessible::Id innerID = QAccessible::uniqueId(innerSegment);
    ScanTree smaller = tree;
    smaller.update(stableScanNodeID(QStringLiteral("/r")), [](ScanNodeRecord &r) { r.allocatedSize = 3900; });
    smaller.setChildren(stableScanNodeID(QStringLiteral("/r/big")), {});
    QSignalSpy laidOut(&view, &SunburstCanvasView::segmentsChanged);
    view.setInputs(smaller, smaller.rootID);
    ASSERT_TRUE(laidOut.wait(5000));
    EXPECT_EQ(chart->childCount(), 3);
    EXPECT_EQ(QAccessible::accessibleInterface(innerID), nullptr);

    SidebarListView list;
    list.setNodes(tree.children(tree.rootID).mid(0, 2));
    QAccessibleInterface *rows = QAccessible::queryAccessibleInterface(&list);
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->text(QAccessible::Name), "Largest items");
    ASSERT_GE(rows->childCount(), 2);
    QStringList rowNames;
    for (int i = 0; i < rows->childCount(); ++i)
        rowNames << rows->child(i)->text(QAccessible::Name);
    EXPECT_TRUE(rowNames.contains("big, " + byteCountText(3000))) << rowNames.join(" | ").toStdString();
}
