// The window's views, rendered offscreen over a store driven by a scripted
// engine: the texts they derive, which screen shows when, the shelf, the
// sidebar, the breadcrumb, drops and the Trash confirmation.
#include "breadcrumb_bar.h"
#include "content_view.h"
#include "change_view.h"
#include "file_analysis_view.h"
#include "scan_file_io.h"
#include "scan_history.h"
#include "node_color.h"
#include "landing_view.h"
#include "results_shelf_view.h"
#include "scan_progress_view.h"
#include "scan_workspace_view.h"
#include "sidebar_list_view.h"
#include "byte_count_text.h"
#include "sunburst_canvas_view.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QTextDocument>
#include <QTest>

using namespace storetest;

namespace {

ScanSummary summaryOf(qint64 items, double seconds, qint64 bytes)
{
    ScanSummary s;
    s.startedAt = QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC);
    s.finishedAt = s.startedAt.addMSecs(qint64(seconds * 1000));
    s.itemsScanned = items;
    s.totalAllocatedSize = bytes;
    return s;
}

ScanNodeRecord nodeOf(const QString &name, ScanNodeKind kind, qint64 childCount = 0)
{
    ScanNodeRecord r;
    r.id = QUuid::createUuid();
    r.displayName = name;
    r.kind = kind;
    r.childCount = childCount;
    r.allocatedSize = 1000;
    return r;
}

struct Window {
    Window()
    {
        ScanSessionServices services;
        services.appActivation = activation;
        services.trashService = trash;
        store = std::make_unique<ScanSessionStore>(engine, services);
        view = std::make_unique<ContentView>(*store);
        view->resize(1000, 700);
        view->show();
    }
    void deliver(const ScanUpdate &update)
    {
        engine->last()->yield(update);
        spinUntil([&] { return engine->last()->pendingCount() == 0; });
        QCoreApplication::processEvents();
    }
    void sync() { QCoreApplication::processEvents(); }
    // Shortcuts reach only the active window.
    bool activate()
    {
        view->activateWindow();
        return QTest::qWaitForWindowActive(view.get());
    }

    std::shared_ptr<ScriptedEngine> engine = std::make_shared<ScriptedEngine>();
    std::shared_ptr<RecordingActivation> activation = std::make_shared<RecordingActivation>();
    std::shared_ptr<ScriptedTrash> trash = std::make_shared<ScriptedTrash>();
    std::unique_ptr<ScanSessionStore> store;
    std::unique_ptr<ContentView> view;
};

} // namespace

// A scan stopped early says so wherever its figures show: the shelf, the
// header; while it runs, Stop stands where Rescan was.
TEST(WindowTexts, AStoppedScanReadsPartialWhereverItsFiguresShow)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Window w;
    w.store->acceptIncoming({f.url("r")});
    w.deliver(ScanUpdate::intermediateTree(makeTree(r, {{"a", 5}})));
    w.sync();
    EXPECT_TRUE(w.view->workspace()->stopButton()->isVisibleTo(w.view.get()));
    EXPECT_FALSE(w.view->workspace()->rescanButton()->isVisibleTo(w.view.get()));
    ScanSummary partial = summaryOf(2, 0.5, 5);
    partial.rootURL = FileUrl::fromPath(r, true);
    partial.isPartial = true;
    w.deliver(ScanUpdate::finished(makeTree(r, {{"a", 5}}), partial));
    w.sync();
    EXPECT_TRUE(ResultsShelfView::statusText(*w.store->activeResult()).endsWith(u"Stopped \u2014 partial"));
    EXPECT_TRUE(w.view->workspace()->subtitleLabel()->fullText().endsWith(u"Stopped \u2014 partial"));
    EXPECT_FALSE(w.view->workspace()->stopButton()->isVisibleTo(w.view.get()));
    EXPECT_TRUE(w.view->workspace()->rescanButton()->isVisibleTo(w.view.get()));
}

TEST(WindowTexts, DurationsSummariesAndProgressLines)
{
    const std::pair<double, const char *> durations[] = {
        {0.0004, "0ms"},   {0.2504, "250ms"},  {0.9996, "1000ms"}, {1.0, "1.0s"},    {12.34, "12.3s"},
        {59.94, "59.9s"},  {59.97, "60.0s"},   {60, "1m 0s"},      {125.9, "2m 5s"}, {3600, "60m 0s"}};
    for (const auto &[seconds, text] : durations)
        EXPECT_EQ(ScanWorkspaceView::scanDuration(seconds), text) << seconds;

    const ScanSummary summary = summaryOf(1234, 0.4, 5'000'000);
    ScanNodeRecord root = nodeOf("root", ScanNodeKind::directory);
    root.allocatedSize = 2'000'000;
    EXPECT_EQ(ScanWorkspaceView::summaryText(summary), u"5.0 MB \u2022 1234 items \u2022 scanned in 400ms");
    EXPECT_EQ(ScanWorkspaceView::detailText(summary, root), u"2.0 MB selected \u2022 1234 items total \u2022 scanned in 400ms");
    // A scan opened from a file says when it was made, not "scanned in 0ms".
    EXPECT_EQ(ScanWorkspaceView::summaryText(summary, true),
              QStringLiteral("5.0 MB \u2022 1234 items \u2022 scanned ") +
                  QLocale().toString(summary.finishedAt.toLocalTime(), QLocale::ShortFormat));

    ProgressSnapshot p;
    p.itemsScanned = 1200;
    p.directoriesScanned = 80;
    p.filesScanned = 1120;
    EXPECT_EQ(ScanProgressView::progressSummary(p), u"1200 items \u2022 80 folders \u2022 1120 files");
    EXPECT_EQ(ScanProgressView::compactProgressPath(FileUrl::fromPath("/Volumes/Data/photos")), "/Volumes/Data/photos");
    EXPECT_EQ(ScanProgressView::compactProgressPath(FileUrl::fromPath("/a/b/c/d/e")), "/a/b/c/d/e");
    EXPECT_EQ(ScanProgressView::compactProgressPath(FileUrl::fromPath("/Volumes/Work/Projects/app/src/main/res")),
              u"\u2026/Projects/app/src/main/res");
    EXPECT_EQ(ScanProgressView::compactProgressPath(FileUrl::fromPath("/")), "/");

    ScanResultState result;
    result.rootURL = FileUrl::fromPath("/home/ada/Music", true);
    EXPECT_EQ(ScanProgressView::titleText(&result, ScanProgressView::Mode::scanning), "Scanning Music");
    EXPECT_EQ(ScanProgressView::titleText(&result, ScanProgressView::Mode::queued), "Queued Music");
    EXPECT_EQ(ScanProgressView::titleText(nullptr, ScanProgressView::Mode::queued), "Queued Folder");

    // The shelf's status line for each phase.
    result.phase = ScanResultPhase::queued;
    EXPECT_EQ(ResultsShelfView::statusText(result), "Queued");
    result.phase = ScanResultPhase::scanning;
    EXPECT_EQ(ResultsShelfView::statusText(result), u"Scanning\u2026");
    ProgressSnapshot progress;
    progress.itemsScanned = 1500;
    result.progressSnapshot = progress;
    EXPECT_EQ(ResultsShelfView::statusText(result), u"1500 items \u2022 scanning");
    result.phase = ScanResultPhase::ready;
    EXPECT_EQ(ResultsShelfView::statusText(result), "Ready");
    result.summary = summaryOf(1, 1, 1000);
    EXPECT_EQ(ResultsShelfView::statusText(result), u"1.0 kB \u2022 1 items");
    result.phase = ScanResultPhase::failed;
    EXPECT_EQ(ResultsShelfView::statusText(result), "Scan failed");
    result.errorMessage = "Could not access folder.";
    EXPECT_EQ(ResultsShelfView::statusText(result), "Could not access folder.");
    EXPECT_EQ(ResultsShelfView::displayName(result), "Music");
    result.rootURL = FileUrl::fromPath("/", true);
    EXPECT_EQ(ResultsShelfView::displayName(result), "/");

    EXPECT_EQ(scanNodeDetailText(nodeOf("a", ScanNodeKind::directory, 0)), "0 children");
    EXPECT_EQ(scanNodeDetailText(nodeOf("a", ScanNodeKind::directory, 1)), "1 children");
    EXPECT_EQ(scanNodeDetailText(nodeOf("a", ScanNodeKind::package, 9)), "Package");
    EXPECT_EQ(scanNodeDetailText(nodeOf("a", ScanNodeKind::file, 9)), "File");
    EXPECT_EQ(ContentView::trashMessage(nodeOf("Photos", ScanNodeKind::directory)), u"Move \u201CPhotos\u201D to Trash?");
}

TEST(WindowScreens, TheActiveResultsPhaseChoosesTheScreen)
{
    Folders f{"a", "b"};
    Window w;
    EXPECT_EQ(w.view->currentScreen(), ContentView::Screen::landing);
    EXPECT_TRUE(w.view->shelf()->parentWidget()->isHidden());

    w.store->acceptIncoming({f.url("a"), f.url("b")});
    w.sync();
    EXPECT_EQ(w.view->currentScreen(), ContentView::Screen::progress);
    EXPECT_EQ(w.view->progress()->mode(), ScanProgressView::Mode::scanning);
    EXPECT_TRUE(w.view->progress()->statusLabel()->isHidden()); // before the first progress
    EXPECT_TRUE(w.view->progress()->pathLabel()->isHidden());
    EXPECT_EQ(w.view->progress()->actionButton()->text(), "Cancel");

    w.deliver(ScanUpdate::intermediateTree(makeTree(f.path("a"), {{"x", 5}})));
    EXPECT_EQ(w.view->currentScreen(), ContentView::Screen::workspace);
    EXPECT_TRUE(w.view->workspace()->subtitleLabel()->isHidden()); // no summary while scanning
    w.deliver(ScanUpdate::finished(makeTree(f.path("a"), {{"x", 5}}), summaryOf(2, 0.4, 5)));
    // b started and took over, with no tree yet.
    EXPECT_EQ(w.view->currentScreen(), ContentView::Screen::progress);

    // A queued result shows the queued mode even with a ready one around.
    const QUuid a = w.store->results().first().id;
    w.store->activateResult(a);
    w.store->rescanActiveResult();
    w.sync();
    EXPECT_EQ(w.view->currentScreen(), ContentView::Screen::progress);
    EXPECT_EQ(w.view->progress()->mode(), ScanProgressView::Mode::queued);
    EXPECT_EQ(w.view->progress()->statusLabel()->fullText(), "Waiting for the current scan to finish.");
    QTest::mouseClick(w.view->progress()->actionButton(), Qt::LeftButton); // "Remove from Queue"
    w.sync();
    EXPECT_EQ(w.store->results().size(), 1);
    EXPECT_TRUE(w.store->currentScanningResultID()); // b still runs

    // A failed result: the landing view with its folder and its error.
    w.deliver(ScanUpdate::failed(ScanFailure::rootInaccessible(FileUrl::fromPath(f.path("b"), true))));
    EXPECT_EQ(w.view->currentScreen(), ContentView::Screen::landing);
    EXPECT_FALSE(w.view->landing()->selectedFolderCard()->isHidden());
    EXPECT_FALSE(w.view->landing()->errorCard()->isHidden());
    EXPECT_EQ(w.view->landing()->errorLabel()->text(),
              ScanFailure::rootInaccessible(FileUrl::fromPath(f.path("b"), true)).message());
    EXPECT_EQ(w.view->landing()->selectedFolderLabel()->text().remove(u'\n'), f.path("b"));
}

TEST(WindowScreens, WorkspaceHeaderFollowsFocusAndSelection)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Window w;
    w.store->acceptIncoming({f.url("r")});
    w.deliver(ScanUpdate::finished(makeTree(r, {{"a/", 2000}, {"a/x", 2000}, {"b", 1000}}), summaryOf(1234, 0.4, 3000)));
    ScanWorkspaceView *ws = w.view->workspace();
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 2; }));
    w.sync();
    EXPECT_EQ(ws->titleLabel()->fullText(), "r");
    // The scripted root carries no size of its own.
    EXPECT_EQ(ws->subtitleLabel()->fullText(), u"0 bytes selected \u2022 1234 items total \u2022 scanned in 400ms");
    EXPECT_FALSE(ws->trashButton()->isEnabled()); // the root is selected
    EXPECT_EQ(ws->breadcrumb()->itemButtons().size(), 1);
    EXPECT_EQ(ws->breadcrumb()->chevronCount(), 0);

    // A click on a list row focuses it; the breadcrumb and the list follow.
    SidebarListView *list = ws->sidebar();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(0, 0)).center() - QPoint(60, 0));
    ASSERT_EQ(w.store->activeResult()->focusedNodeID, idOf(r + "/a"));
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 1; }));
    w.sync();
    EXPECT_EQ(ws->breadcrumb()->itemButtons().size(), 2);
    EXPECT_EQ(ws->breadcrumb()->chevronCount(), 1);
    EXPECT_TRUE(ws->trashButton()->isEnabled());
    EXPECT_EQ(ws->subtitleLabel()->fullText(), u"2.0 kB selected \u2022 1234 items total \u2022 scanned in 400ms");
    QTest::mouseClick(ws->breadcrumb()->itemButtons().first(), Qt::LeftButton);
    EXPECT_EQ(w.store->activeResult()->focusedNodeID, idOf(r));
    EXPECT_TRUE(ws->unreadableButton()->isHidden());

    // Folders that could not be read: counted under the summary, listed in
    // path order on a click, and the one chosen is focused.
    w.store->rescanActiveResult();
    ScanTree tree = makeTree(r, {{"z/", 0}, {"a/", 2000}, {"a/locked/", 0}, {"b", 1000}});
    for (const QString &locked : {r + "/z", r + "/a/locked"})
        tree.update(idOf(locked), [](ScanNodeRecord &n) { n.mark = ScanNodeMark::unreadable; });
    ScanSummary summary = summaryOf(5, 0.4, 3000);
    summary.unreadableCount = 2;
    w.deliver(ScanUpdate::finished(tree, summary));
    ASSERT_TRUE(spinUntil([&] { return w.store->activeResult()->phase == ScanResultPhase::ready; }));
    w.sync();
    ASSERT_TRUE(ws->unreadableButton()->isVisible());
    EXPECT_EQ(ws->unreadableButton()->text(), "2 folders could not be read");
    EXPECT_EQ(ScanWorkspaceView::unreadableText(1), "1 folder could not be read");
    QTest::mouseClick(ws->unreadableButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return ws->unreadableDialog() && ws->unreadableDialog()->isVisible(); }));
    auto *listed = ws->unreadableDialog()->findChild<QListWidget *>();
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->count(), 2);
    EXPECT_EQ(listed->item(0)->text(), r + "/a/locked");
    EXPECT_EQ(listed->item(1)->text(), r + "/z");
    listed->setCurrentRow(1);
    QTest::keyClick(listed, Qt::Key_Return);
    EXPECT_EQ(w.store->activeResult()->focusedNodeID, idOf(r + "/z"));
    EXPECT_TRUE(spinUntil([&] { return !ws->unreadableDialog(); }));
}

// A node the scan did not enter reads the same in the list, the chart's card,
// the header and the empty list; a root on a kernel file system says so on
// its shelf row.
TEST(WindowTexts, MarksReadAlikeInEveryView)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Window w;
    w.store->acceptIncoming({f.url("r")});
    ScanTree tree = makeTree(r, {{"mnt/", 0}, {"a/", 3000}, {"a/x", 3000}, {"a/links", 1000}});
    tree.update(idOf(r + "/mnt"), [](ScanNodeRecord &n) { n.mark = ScanNodeMark::otherFileSystem; });
    tree.update(idOf(r + "/a/links"), [](ScanNodeRecord &n) { n.linkCount = 3; });
    w.deliver(ScanUpdate::finished(tree, summaryOf(5, 0.4, 4000)));
    ScanWorkspaceView *ws = w.view->workspace();
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 2; }));
    w.sync();
    const ScanNodeRecord mnt = *tree.node(idOf(r + "/mnt"));
    EXPECT_EQ(scanNodeDetailText(mnt), "Other file system");
    EXPECT_EQ(scanNodeDetailText(*tree.node(idOf(r + "/a/links"))), u"Hard link \u2022 3 links");

    // The chart's card for the mount point's segment.
    SunburstCanvasView *chart = ws->chart();
    w.store->focusNode(idOf(r + "/a"));
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 2; }));
    w.sync();
    ASSERT_TRUE(spinUntil([&] { return chart->segments().size() == 2; }));
    bool carded = false;
    for (const SunburstSegment &segment : chart->segments()) {
        if (segment.backingNodeID == idOf(r + "/a/links")) {
            QTest::mouseMove(chart, chart->segmentMidpoint(segment).toPoint());
            EXPECT_EQ(chart->hoverCardLines().value(2), u"Hard link \u2022 3 links");
            carded = true;
        }
    }
    EXPECT_TRUE(carded) << "the linked file has a segment";

    w.store->focusNode(idOf(r + "/mnt"));
    w.sync();
    EXPECT_EQ(ws->subtitleLabel()->fullText(),
              u"0 bytes selected \u2022 Other file system \u2022 5 items total \u2022 scanned in 400ms");
    EXPECT_EQ(SidebarListView::emptyText(mnt), "Another file system is mounted here. It was not scanned.");
    EXPECT_EQ(SidebarListView::emptyText(nodeOf("e", ScanNodeKind::directory)), "This folder is empty.");
    EXPECT_EQ(SidebarListView::emptyText(nodeOf("f", ScanNodeKind::file)), u"File \u2022 1.0 kB");

    ScanResultState result;
    result.phase = ScanResultPhase::ready;
    result.summary = summaryOf(1, 0.1, 0);
    ScanTree kernel = makeTree("/proc", {});
    kernel.update(kernel.rootID, [](ScanNodeRecord &n) { n.mark = ScanNodeMark::kernelFileSystem; });
    result.tree = kernel;
    EXPECT_EQ(ResultsShelfView::statusText(result), u"0 bytes \u2022 1 items \u2022 Kernel file system");
}

TEST(WindowShelf, RowsCollapseAndTheActiveRow)
{
    ResultsShelfView shelf;
    shelf.resize(800, 300);
    shelf.show();
    shelf.setResults({}, std::nullopt);
    EXPECT_EQ(shelf.countLabel()->text(), "0 folders");
    EXPECT_TRUE(shelf.rows().isEmpty());
    EXPECT_TRUE(shelf.activeNameLabel()->isHidden());

    QList<ScanResultState> results;
    for (auto phase : {ScanResultPhase::queued, ScanResultPhase::scanning, ScanResultPhase::ready, ScanResultPhase::failed}) {
        ScanResultState r;
        r.id = QUuid::createUuid();
        r.rootURL = FileUrl::fromPath(QStringLiteral("/data/f%1").arg(int(phase)), true);
        r.phase = phase;
        results << r;
    }
    QList<QUuid> activated, removed;
    shelf.setOnActivate([&](const QUuid &id) { activated << id; });
    shelf.setOnRemove([&](const QUuid &id) { removed << id; });
    shelf.setResults(results, results[2].id);
    ASSERT_EQ(shelf.rows().size(), 4);
    EXPECT_EQ(shelf.countLabel()->text(), "4 folders");
    EXPECT_EQ(shelf.activeNameLabel()->text(), "f2");
    const QList<bool> activity{true, true, false, false};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(shelf.rows()[i]->showsActivity(), activity[i]) << i;
        EXPECT_EQ(shelf.rows()[i]->isActive(), i == 2);
    }
    QTest::mouseClick(shelf.rows()[1], Qt::LeftButton);
    QTest::mouseClick(shelf.rows()[3]->removeButton(), Qt::LeftButton);
    EXPECT_EQ(activated, QList<QUuid>{results[1].id});
    EXPECT_EQ(removed, QList<QUuid>{results[3].id}); // removing does not activate

    shelf.setResults(results, QUuid::createUuid()); // names no result
    EXPECT_TRUE(shelf.activeNameLabel()->isHidden());
    for (ResultShelfRow *row : shelf.rows())
        EXPECT_FALSE(row->isActive());

    QTest::mouseClick(shelf.expandButton(), Qt::LeftButton);
    EXPECT_FALSE(shelf.isExpanded());
    EXPECT_EQ(shelf.expandButton()->property("symbol").toString(), "chevron.right");
    EXPECT_FALSE(shelf.rows().first()->isVisible());
    EXPECT_TRUE(shelf.countLabel()->isVisible());
}

// At the window's default size with more folders than fit, the active row
// is in sight; folders of one name tell where they are.
TEST(WindowShelf, TheActiveRowStaysInSightAndNamesAreToldApart)
{
    Folders f{"a", "b", "c", "d", "usr/share", "home/.local/share"};
    Window w;
    w.view->resize(860, 580);
    w.store->acceptIncoming({f.url("a"), f.url("b"), f.url("c"), f.url("d")});
    for (const char *name : {"a", "b", "c"})
        w.deliver(ScanUpdate::finished(makeTree(f.path(name), {}), summaryOf(1, 1, 0)));
    settle();
    const QList<ResultShelfRow *> rows = w.view->shelf()->rows();
    ASSERT_EQ(rows.size(), 4);
    ASSERT_TRUE(rows.last()->isActive());
    EXPECT_EQ(rows.last()->visibleRegion().boundingRect().height(), rows.last()->height())
        << "the whole active row is in sight";

    w.store->acceptIncoming({f.url("usr/share"), f.url("home/.local/share")});
    settle();
    const QList<ResultShelfRow *> named = w.view->shelf()->rows();
    ASSERT_EQ(named.size(), 6);
    EXPECT_TRUE(named[0]->parentLabel()->isHidden()) << "a name of its own needs no place";
    EXPECT_FALSE(named[4]->parentLabel()->isHidden());
    EXPECT_EQ(named[4]->parentLabel()->text(), f.path("usr"));
    EXPECT_EQ(named[5]->parentLabel()->text(), f.path("home/.local"));
}

TEST(WindowLists, SidebarClicksAndBreadcrumbChevrons)
{
    SidebarListView list;
    list.resize(380, 400);
    list.show();
    const QList<ScanNodeRecord> nodes{nodeOf("one", ScanNodeKind::file), nodeOf("two", ScanNodeKind::directory, 3)};
    list.setNodes(nodes);
    QList<QUuid> selected, trashed;
    list.setOnSelect([&](const QUuid &id) { selected << id; });
    list.setOnTrash([&](const QUuid &id) { trashed << id; });
    const QRect second = list.visualRect(list.model()->index(1, 0));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, SidebarListView::trashButtonRect(second).center());
    EXPECT_EQ(trashed, QList<QUuid>{nodes[1].id});
    EXPECT_TRUE(selected.isEmpty());
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, second.topLeft() + QPoint(20, 20));
    EXPECT_EQ(selected, QList<QUuid>{nodes[1].id});

    // Only the selected row is lighter.
    auto rowBrightness = [&](int row) {
        const QImage image = list.viewport()->grab().toImage();
        const QRect r = list.visualRect(list.model()->index(row, 0));
        return image.pixelColor(r.left() + 120, r.top() + 6).lightness();
    };
    list.setSelectedNodeID(nodes[0].id);
    EXPECT_GT(rowBrightness(0), rowBrightness(1));
    list.setSelectedNodeID(QUuid::createUuid());
    EXPECT_EQ(rowBrightness(0), rowBrightness(1));

    BreadcrumbBar bar;
    QList<QUuid> crumbs;
    bar.setOnSelect([&](const QUuid &id) { crumbs << id; });
    const QList<ScanNodeRecord> path{nodeOf("root", ScanNodeKind::directory), nodeOf("a", ScanNodeKind::directory),
                                     nodeOf("b", ScanNodeKind::directory)};
    bar.setItems(path);
    bar.show();
    EXPECT_EQ(bar.chevronCount(), 2);
    EXPECT_TRUE(bar.itemButtons().last()->styleSheet().contains("255,255,255,1)"));
    EXPECT_TRUE(bar.itemButtons().first()->styleSheet().contains("255,255,255,0.72)"));
    QTest::mouseClick(bar.itemButtons().first(), Qt::LeftButton);
    EXPECT_EQ(crumbs, QList<QUuid>{path[0].id});
}

TEST(WindowDrops, EachDroppedFolderEntersTheStoreOnItsOwn)
{
    Folders f{"a", "b", "c"};
    Window w;
    auto drop = [&](const QList<QUrl> &urls) {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w.view.get(), &enter);
        const bool highlighted = w.view->isDropTargeted();
        QDropEvent event(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w.view.get(), &event);
        return std::pair(highlighted, event.isAccepted());
    };
    const auto [highlighted, accepted] = drop({f.url("a"), f.url("b"), f.url("c")});
    EXPECT_TRUE(highlighted);
    EXPECT_TRUE(accepted);
    EXPECT_FALSE(w.view->isDropTargeted());
    EXPECT_TRUE(w.store->results().isEmpty()); // handed over on a later turn of the loop
    ASSERT_TRUE(spinUntil([&] { return w.store->results().size() == 3; }));
    EXPECT_EQ(w.activation->count, 3); // three calls, one folder each

    EXPECT_FALSE(w.view->handleDrop({}));
    EXPECT_FALSE(drop({}).second);
    EXPECT_TRUE(w.view->handleDrop({QUrl::fromLocalFile(f.path("missing"))})); // accepted, then dropped by the store
}

// Names are text: "<b>" is no markup and "&" no shortcut mark.
TEST(WindowViews, NamesAreShownAsTheyAre)
{
    Folders f{"<b>draft"};
    const QString r = f.path("<b>draft");
    Window w;
    w.store->acceptIncoming({f.url("<b>draft")});
    w.deliver(ScanUpdate::finished(makeTree(r, {{"R&D/", 10}}), summaryOf(2, 1, 10)));
    w.store->focusNode(idOf(r + "/R&D"));
    w.sync();
    const QLabel *title = w.view->workspace()->titleLabel();
    ASSERT_TRUE(title->text().contains("<b>draft"));
    EXPECT_GE(title->sizeHint().width(), QFontMetrics(title->font()).horizontalAdvance(title->text()))
        << "drawn as the name, not as bold \"draft\"";
    const QPushButton *crumb = w.view->workspace()->breadcrumb()->itemButtons().last();
    const QFontMetrics metrics(crumb->font());
    // Within a pixel of kerning; "RD" would be an "&" narrower.
    EXPECT_NEAR(metrics.size(Qt::TextShowMnemonic, crumb->text()).width(), metrics.horizontalAdvance("R&D"), 2);
}

// What a tooltip shows: Qt renders one that looks like markup as markup.
QString shownToolTip(const QString &tip)
{
    if (!Qt::mightBeRichText(tip))
        return tip;
    QTextDocument doc;
    doc.setHtml(tip);
    return doc.toPlainText();
}

TEST(WindowViews, TooltipsAndAlertsShowNamesAsText)
{
    Folders f{"<img src=x>"};
    const QString r = f.path("<img src=x>");
    Window w;
    w.store->acceptIncoming({f.url("<img src=x>")});
    w.deliver(ScanUpdate::finished(makeTree(r, {{"<b>a", 10}}), summaryOf(2, 1, 10)));
    w.sync();
    EXPECT_EQ(shownToolTip(w.view->shelf()->rows().first()->nameLabel()->toolTip()), r);
    EXPECT_EQ(shownToolTip(w.view->workspace()->titleLabel()->toolTip()), "<img src=x>");
    ASSERT_TRUE(spinUntil([&] { return w.view->workspace()->sidebar()->model()->rowCount() == 1; }));
    const QModelIndex row = w.view->workspace()->sidebar()->model()->index(0, 0);
    EXPECT_EQ(shownToolTip(row.data(Qt::ToolTipRole).toString()), r + "/<b>a");

    // A failed move says so, and why, as text.
    w.trash->error = QStringLiteral("<b>denied</b>");
    w.store->requestTrashForNode(idOf(r + "/<b>a"));
    w.store->confirmTrashRequest();
    ASSERT_TRUE(spinUntil([&] { return w.view->failureAlert() != nullptr; }));
    QMessageBox *alert = w.view->failureAlert();
    EXPECT_EQ(alert->text(), "Could not move item to Trash.");
    EXPECT_EQ(alert->informativeText(), "<b>denied</b>");
    const auto *informative = alert->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
    ASSERT_TRUE(informative);
    EXPECT_EQ(informative->textFormat(), Qt::PlainText);
    alert->close();
}

// Long names and a full shelf never hold the window above 860 × 580: names
// elide, the shelf's rows scroll, and collapsing the shelf gives the room back.
TEST(WindowViews, NothingHoldsTheWindowAboveItsDefaultSize)
{
    const QString longName = QString(120, u'n');
    QStringList names{longName};
    for (int i = 0; i < 15; ++i)
        names << QStringLiteral("folder%1").arg(i);
    Folders f{QStringLiteral("unused")};
    QList<QUrl> urls;
    for (const QString &name : names) {
        QDir(f.dir.path()).mkpath(name);
        urls << f.url(name);
    }
    Window w;
    w.view->resize(860, 580);
    w.store->acceptIncoming(urls);
    w.sync();
    ASSERT_EQ(w.view->currentScreen(), ContentView::Screen::progress);
    const auto fits = [&](const char *where) {
        w.sync();
        const QSize least = w.view->layout()->totalMinimumSize().expandedTo(w.view->minimumSize());
        EXPECT_LE(least.width(), 860) << where;
        EXPECT_LE(least.height(), 580) << where;
        EXPECT_EQ(w.view->size(), QSize(860, 580)) << where;
    };
    fits("progress of a long name, 16 on the shelf");
    w.deliver(ScanUpdate::finished(makeTree(f.path(longName), {{longName, 10}}), summaryOf(2, 1, 10)));
    w.store->activateResult(w.store->results().first().id);
    w.sync();
    ASSERT_EQ(w.view->currentScreen(), ContentView::Screen::workspace);
    fits("workspace");
    const int expanded = w.view->shelf()->height();
    w.view->shelf()->setExpanded(false);
    w.sync();
    EXPECT_LT(w.view->shelf()->sizeHint().height(), expanded / 2) << "collapsed, the rows give their room back";
}

TEST(WindowTrash, TheConfirmationMovesOnlyWhenAccepted)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Window w;
    w.store->acceptIncoming({f.url("r")});
    w.deliver(ScanUpdate::finished(makeTree(r, {{"Photos/", 10}, {"b", 1}}), summaryOf(3, 1, 11)));
    ScanWorkspaceView *ws = w.view->workspace();

    // The header's Trash button only asks; the alert shows the name.
    w.store->focusNode(idOf(r + "/Photos"));
    w.sync();
    QTest::mouseClick(ws->trashButton(), Qt::LeftButton);
    w.sync();
    ASSERT_TRUE(w.view->trashAlert());
    EXPECT_EQ(w.view->trashAlert()->informativeText(), u"Move \u201CPhotos\u201D to Trash?");
    EXPECT_TRUE(w.trash->moved.empty());

    // Escape dismisses: nothing pending, nothing moved.
    QTest::keyClick(w.view->trashAlert(), Qt::Key_Escape);
    w.sync();
    EXPECT_FALSE(w.store->pendingTrashNode());
    settle();
    EXPECT_TRUE(w.trash->moved.empty());

    w.store->requestTrashForActiveSelection();
    w.sync();
    ASSERT_TRUE(w.view->trashAlert());
    QAbstractButton *move = nullptr;
    for (QAbstractButton *b : w.view->trashAlert()->buttons()) {
        if (b->text() == "Move to Trash")
            move = b;
    }
    ASSERT_TRUE(move);
    QTest::mouseClick(move, Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return !w.trash->moved.empty(); }));
    EXPECT_EQ(w.trash->moved.front().path(), r + "/Photos");
    ASSERT_TRUE(spinUntil([&] { return w.engine->starts.size() == 2; })) << "rescanned after the move";
    w.deliver(ScanUpdate::finished(makeTree(r, {{"b", 1}}), summaryOf(2, 0, 1)));

    // Where there is no Trash: the item and its file system are named, and
    // only a second yes, to "cannot be undone", deletes it.
    const auto clickButton = [](QMessageBox *box, const QString &text) {
        for (QAbstractButton *b : box->buttons()) {
            if (b->text() == text) {
                QTest::mouseClick(b, Qt::LeftButton);
                return true;
            }
        }
        return false;
    };
    for (const bool confirmed : {false, true}) {
        w.trash->noTrash = true;
        w.store->focusNode(idOf(r + "/b"));
        w.store->requestTrashForActiveSelection();
        w.sync();
        ASSERT_TRUE(clickButton(w.view->trashAlert(), "Move to Trash"));
        ASSERT_TRUE(spinUntil([&] { return w.view->deletionAlert() != nullptr; }));
        EXPECT_EQ(w.view->deletionAlert()->text(), u"\u201Cb\u201D cannot be moved to the Trash");
        EXPECT_TRUE(w.view->deletionAlert()->informativeText().contains("/media/stick (vfat) has no Trash"));
        ASSERT_TRUE(clickButton(w.view->deletionAlert(), "Delete Permanently\u2026"));
        ASSERT_TRUE(w.view->deletionAlert());
        EXPECT_EQ(w.view->deletionAlert()->informativeText(), "This cannot be undone.");
        EXPECT_TRUE(w.trash->deleted.empty()) << "asked twice before anything goes";
        if (!confirmed) {
            QTest::keyClick(w.view->deletionAlert(), Qt::Key_Escape);
            w.sync();
            EXPECT_FALSE(w.store->pendingDeletion());
            settle();
            EXPECT_TRUE(w.trash->deleted.empty());
            continue;
        }
        ASSERT_TRUE(clickButton(w.view->deletionAlert(), "Delete Permanently"));
        ASSERT_TRUE(spinUntil([&] { return !w.trash->deleted.empty(); }));
        EXPECT_EQ(w.trash->deleted.front().path(), r + "/b");
    }
}

namespace {

// makeTree with the root weighing its children, so that the chart has rings.
ScanTree sizedTree(const QString &root, std::initializer_list<std::pair<QString, qint64>> entries)
{
    ScanTree tree = makeTree(root, entries);
    qint64 total = 0;
    for (const auto &[relative, size] : entries)
        total += relative.count(u'/') == (relative.endsWith(u'/') ? 1 : 0) ? size : 0;
    tree.update(tree.rootID, [total](ScanNodeRecord &n) { n.allocatedSize = total; });
    return tree;
}

} // namespace

// The keys a desktop user reaches for, through the real shortcuts of the
// active window: the list's selection, Enter, the parent, the history (also
// past a node that left the tree), copy, Delete, and the name filter.
TEST(WindowKeyboard, TheListParentHistoryCopyTrashAndFilter)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Window w;
    ASSERT_TRUE(w.activate());
    w.store->acceptIncoming({f.url("r")});
    w.deliver(ScanUpdate::intermediateTree(sizedTree(r, {{"a/", 3000}, {"a/x/", 2000}, {"a/y.bin", 1000}, {"b.bin", 1000}, {"c.txt", 500}})));
    ScanWorkspaceView *ws = w.view->workspace();
    SidebarListView *list = ws->sidebar();
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 3; }));
    w.sync();
    auto focused = [&] { return w.store->activeResult()->focusedNodeID; };
    auto selected = [&] { return w.store->activeResult()->selectedNodeID; };
    auto key = [&](int k, Qt::KeyboardModifiers m = {}) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : w.view.get(), Qt::Key(k), m);
        w.sync();
    };

    list->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Down);
    EXPECT_EQ(selected(), idOf(r + "/a"));
    EXPECT_EQ(focused(), idOf(r)); // selecting is not focusing
    key(Qt::Key_End);
    EXPECT_EQ(selected(), idOf(r + "/c.txt"));
    key(Qt::Key_Home);
    key(Qt::Key_Return);
    EXPECT_EQ(focused(), idOf(r + "/a"));
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 2; }));
    w.sync();
    key(Qt::Key_Down);
    key(Qt::Key_Return);
    EXPECT_EQ(focused(), idOf(r + "/a/x"));
    key(Qt::Key_Backspace);
    EXPECT_EQ(focused(), idOf(r + "/a"));
    key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(focused(), idOf(r));
    key(Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(focused(), idOf(r + "/a"));
    key(Qt::Key_Right, Qt::AltModifier);
    EXPECT_EQ(focused(), idOf(r));
    key(Qt::Key_Left, Qt::AltModifier);
    key(Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(focused(), idOf(r + "/a/x"));
    key(Qt::Key_Home, Qt::AltModifier);
    EXPECT_EQ(focused(), idOf(r));
    // The mouse's back button, over the chart.
    QTest::mouseClick(ws->chart(), Qt::BackButton);
    w.sync();
    EXPECT_EQ(focused(), idOf(r + "/a/x"));

    // A newer tree without a/x: going back skips it.
    w.store->focusNode(idOf(r + "/a"));
    w.store->focusNode(idOf(r));
    w.deliver(ScanUpdate::intermediateTree(sizedTree(r, {{"a/", 3000}, {"a/y.bin", 1000}, {"b.bin", 1000}, {"c.txt", 500}})));
    key(Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(focused(), idOf(r + "/a"));
    key(Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(focused(), idOf(r)); // past the x that is gone
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 3; }));
    w.sync();

    list->setFocus(Qt::TabFocusReason);
    key(Qt::Key_End);
    key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), r + "/c.txt");
    EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->urls().value(0).toLocalFile(), r + "/c.txt");
    key(Qt::Key_Delete);
    ASSERT_TRUE(w.store->pendingTrashNode());
    EXPECT_EQ(w.store->pendingTrashNode()->id, idOf(r + "/c.txt"));
    w.store->setPendingTrashNode(std::nullopt);
    w.sync();
    w.view->activateWindow(); // from the closed confirmation
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.view.get()));

    // Ctrl+F filters the list, never the chart; the arrows and Enter work
    // from the field; Escape clears it.
    const qsizetype segments = ws->chart()->segments().size();
    ASSERT_GE(segments, 3);
    key(Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(ws->filterField()->isVisible());
    ASSERT_TRUE(ws->filterField()->hasFocus());
    QTest::keyClicks(ws->filterField(), "B.b");
    w.sync();
    EXPECT_EQ(namesOf(list->shownNodes()), QStringList{"b.bin"});
    EXPECT_EQ(ws->chart()->segments().size(), segments);
    key(Qt::Key_Backspace); // edits the name, does not go up
    EXPECT_EQ(ws->filterField()->text(), "B.");
    EXPECT_EQ(focused(), idOf(r));
    key(Qt::Key_Down);
    EXPECT_EQ(selected(), idOf(r + "/b.bin"));
    key(Qt::Key_Escape);
    EXPECT_FALSE(ws->filterField()->isVisible());
    EXPECT_EQ(list->shownNodes().size(), 3);
    EXPECT_TRUE(list->hasFocus());
}

// Right-clicks on a list row, a breadcrumb name and a chart segment open
// the node's menu, each item enabled where it can act; its actions reach
// the store.
TEST(WindowMenus, EveryViewOffersTheNodesMenu)
{
    Folders f{"r/a/x"};
    const QString r = f.path("r");
    Window w;
    w.store->acceptIncoming({f.url("r")});
    w.deliver(ScanUpdate::intermediateTree(sizedTree(r, {{"a/", 3000}, {"a/x/", 2000}, {"gone.bin", 1000}})));
    ScanWorkspaceView *ws = w.view->workspace();
    SidebarListView *list = ws->sidebar();
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 2; })) << w.store->focusedChildren().size();
    ASSERT_TRUE(spinUntil([&] { return !ws->chart()->segments().isEmpty(); }));
    w.sync();
    auto openMenu = [&](QWidget *on, const QPoint &at) -> QMenu * {
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, on->mapToGlobal(at));
        QCoreApplication::sendEvent(on, &event);
        w.sync();
        QMenu *menu = nullptr;
        for (QMenu *m : ws->findChildren<QMenu *>()) {
            if (m->isVisible())
                menu = m;
        }
        return menu;
    };
    auto states = [](QMenu *menu) {
        QStringList s;
        for (QAction *a : menu->actions()) {
            if (!a->isSeparator())
                s << (a->isEnabled() ? "" : "-") + a->text();
        }
        menu->close();
        return s;
    };

    QMenu *row = openMenu(list->viewport(), list->visualRect(list->model()->index(0, 0)).center());
    ASSERT_TRUE(row);
    EXPECT_EQ(row->actions().value(2)->shortcut(), QKeySequence(QKeySequence::Copy));
    const QStringList all{"Open", "Reveal in File Manager", "Copy Path", "Focus", "Scan as a New Result", "Move to Trash\u2026"};
    EXPECT_EQ(states(row), all);

    // The root: neither a new result of its own nor the Trash.
    QPushButton *crumb = ws->breadcrumb()->itemButtons().first();
    QMenu *root = openMenu(crumb, crumb->rect().center());
    ASSERT_TRUE(root);
    EXPECT_EQ(states(root), (QStringList{"Open", "Reveal in File Manager", "Copy Path", "-Focus", "-Scan as a New Result",
                                         "-Move to Trash\u2026"}));

    // A segment of a file: shown in its folder (which it is already), no scan of its own.
    SunburstCanvasView *chart = ws->chart();
    const auto file = std::find_if(chart->segments().begin(), chart->segments().end(),
                                   [&](const SunburstSegment &s) { return s.backingNodeID == idOf(r + "/gone.bin"); });
    ASSERT_NE(file, chart->segments().end());
    QMenu *segment = openMenu(chart, chart->segmentMidpoint(*file).toPoint());
    ASSERT_TRUE(segment);
    EXPECT_EQ(states(segment), (QStringList{"Open", "Reveal in File Manager", "Copy Path", "-Show in Its Folder",
                                            "-Scan as a New Result", "Move to Trash\u2026"}));

    // Scan as a New Result puts that folder on the shelf as a result of its
    // own (queued behind the running scan).
    QMenu *again = openMenu(list->viewport(), list->visualRect(list->model()->index(0, 0)).center());
    again->actions().value(5)->trigger();
    ASSERT_EQ(w.store->results().size(), 2);
    EXPECT_EQ(w.store->results().last().rootURL.path(), r + "/a");
    EXPECT_EQ(w.store->queuedResultIDs(), QList<QUuid>{w.store->results().last().id});
}

// The size shown: apparent instead of allocated reorders the list and
// changes every figure (list, header, chart, shelf); binary units read KiB.
TEST(WindowViews, TheSizeShownAndItsUnitsReachEveryView)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Window w;
    w.store->acceptIncoming({f.url("r")});
    ScanTree tree = sizedTree(r, {{"sparse.img", 4096}, {"dense.bin", 2048}});
    tree.update(idOf(r + "/sparse.img"), [](ScanNodeRecord &n) { n.logicalSize = 1 << 20; });
    tree.update(idOf(r + "/dense.bin"), [](ScanNodeRecord &n) { n.logicalSize = 2 << 20; });
    tree.update(tree.rootID, [](ScanNodeRecord &n) { n.logicalSize = 3 << 20; });
    w.deliver(ScanUpdate::finished(tree, summaryOf(3, 0.2, 6144)));
    ScanWorkspaceView *ws = w.view->workspace();
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 2; }));
    EXPECT_EQ(namesOf(w.store->focusedChildren()), (QStringList{"sparse.img", "dense.bin"}));

    setByteUnits(ByteUnits::binary);
    auto restore = qScopeGuard([] { setByteUnits(ByteUnits::decimal); });
    w.store->setSizeMeasure(SizeMeasure::logical);
    ASSERT_TRUE(spinUntil([&] { return namesOf(w.store->focusedChildren()) == QStringList{"dense.bin", "sparse.img"}; }));
    w.sync();
    SidebarListView *list = ws->sidebar();
    EXPECT_EQ(list->model()->index(0, 0).data(Qt::AccessibleTextRole).toString(), "dense.bin, 2.0 MiB");
    EXPECT_TRUE(ws->subtitleLabel()->fullText().startsWith("3.0 MiB selected")) << ws->subtitleLabel()->fullText().toStdString();
    EXPECT_TRUE(spinUntil([&] { return ws->chart()->centreSize() == "3.0 MiB"; }));
    EXPECT_TRUE(ResultsShelfView::statusText(*w.store->activeResult(), SizeMeasure::logical).startsWith("3.0 MiB"));
    // The chart's angles follow the same size: dense.bin now has the larger share.
    ASSERT_TRUE(spinUntil([&] { return ws->chart()->segments().size() == 2 && ws->chart()->segments()[0].backingNodeID == idOf(r + "/dense.bin"); }));
}
// Tab walks the window top to bottom, every stop one that shows it has the
// keys: the shelf, the header, the breadcrumb's names, the chart (on a
// segment, with its card) and the list.
TEST(WindowKeyboard, TabWalksTheWindowTopToBottom)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Window w;
    ASSERT_TRUE(w.activate());
    w.store->acceptIncoming({f.url("r")});
    ScanTree tree = sizedTree(r, {{"a/", 3000}, {"a/x/", 2000}, {"b.bin", 1000}});
    tree.update(idOf(r + "/a/x"), [](ScanNodeRecord &n) { n.mark = ScanNodeMark::unreadable; });
    ScanSummary summary = summaryOf(4, 0.2, 4000);
    summary.unreadableCount = 1;
    w.deliver(ScanUpdate::finished(tree, summary));
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 2; }));
    w.store->focusNode(idOf(r + "/a")); // two names in the breadcrumb, rebuilt after the window was made
    w.sync();
    ScanWorkspaceView *ws = w.view->workspace();
    w.view->shelf()->expandButton()->setFocus(Qt::TabFocusReason);
    QList<QWidget *> walk;
    for (int i = 0; i < 15; ++i) {
        walk << QApplication::focusWidget();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        w.sync();
        if (QApplication::focusWidget() == ws->chart()) {
            EXPECT_TRUE(ws->chart()->keySegment()) << "reached by Tab, the chart marks a segment";
            EXPECT_FALSE(ws->chart()->hoverCardLines().isEmpty());
        }
    }
    const QList<QWidget *> crumbs{ws->breadcrumb()->itemButtons().begin(), ws->breadcrumb()->itemButtons().end()};
    const QList<QWidget *> expected = QList<QWidget *>{w.view->shelf()->expandButton(), w.view->shelf()->saveButton(),
        w.view->shelf()->clearAllButton(), w.view->shelf()->rows().value(0)->removeButton(), ws->unreadableButton(),
        ws->revealButton(), ws->trashButton(), ws->rescanButton(), ws->scanAnotherButton()} + crumbs
        + QList<QWidget *>{ws->viewTabs(), ws->chart(), ws->sidebar()};
    ASSERT_EQ(crumbs.size(), 2);
    EXPECT_EQ(walk.mid(0, expected.size()), expected);
    EXPECT_EQ(walk.value(expected.size()), expected.first()) << "and round again";
}

// The views of what the folder is made of, from the keys: each one's tab and
// page, the chart coloured by type with a legend that screen readers read,
// a chosen type dimming the other files, and back to the folder's list.
TEST(WindowKeyboard, TheViewsOfTypesAndAgesColourTheChart)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Window w;
    ASSERT_TRUE(w.activate());
    w.store->acceptIncoming({f.url("r")});
    w.deliver(ScanUpdate::finished(sizedTree(r, {{"a/", 2000}, {"a/x.jpg", 2000}, {"b.mp4", 3000}, {"c.txt", 500}}),
                                   summaryOf(5, 0.2, 5500)));
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 3; }));
    ScanWorkspaceView *ws = w.view->workspace();
    FileAnalysisView *analysis = ws->analysisView();
    ws->chart()->setFocus();
    const auto press = [&](Qt::Key key) {
        QTest::keyClick(QApplication::focusWidget(), key, Qt::ControlModifier);
        EXPECT_TRUE(spinUntil([&] { return w.store->analysis().ready; }));
        w.sync();
    };
    const auto colourOf = [&](const QString &path) {
        for (const SunburstSegment &s : ws->chart()->segments())
            if (s.backingNodeID == idOf(path))
                return ws->chart()->segmentColor(s);
        ADD_FAILURE() << "no segment for " << path.toStdString();
        return QColor();
    };

    press(Qt::Key_3);
    EXPECT_EQ(ws->viewTabs()->currentIndex(), 2);
    EXPECT_TRUE(analysis->isVisibleTo(w.view.get()) && !ws->sidebar()->isVisibleTo(w.view.get()));
    ASSERT_EQ(analysis->typesTree()->topLevelItemCount(), 3);
    EXPECT_EQ(analysis->typesTree()->topLevelItem(0)->text(0), fileCategoryName(FileCategory::video));
    EXPECT_TRUE(ws->chartLegend()->isVisibleTo(w.view.get()));
    EXPECT_TRUE(ws->chartLegend()->accessibleName().contains(fileCategoryName(FileCategory::pictures)));
    EXPECT_EQ(colourOf(r + "/b.mp4"), categoryColor(FileCategory::video));
    EXPECT_EQ(colourOf(r + "/a"), categoryColor(FileCategory::pictures)) << "a folder takes most of its bytes' colour";

    analysis->typesTree()->setCurrentItem(analysis->typesTree()->topLevelItem(0));
    ASSERT_TRUE(spinUntil([&] { return w.store->analysis().ready && w.store->analysis().highlight.kind == FileFilter::Kind::category; }));
    w.sync();
    EXPECT_EQ(colourOf(r + "/b.mp4"), categoryColor(FileCategory::video));
    EXPECT_NE(colourOf(r + "/c.txt"), categoryColor(FileCategory::documents)) << "the other files are dimmed";
    ASSERT_EQ(analysis->typeFilesList()->model()->rowCount(), 1);

    // Files without times are of unknown age, not of 1970.
    press(Qt::Key_4);
    EXPECT_EQ(ws->viewTabs()->currentIndex(), 3);
    ASSERT_EQ(analysis->agesList()->count(), kFileAgeCount);
    const QListWidgetItem *unknown = analysis->agesList()->item(kFileAgeCount - 1);
    EXPECT_EQ(unknown->text(), fileAgeName(FileAge::unknown));
    EXPECT_TRUE(unknown->data(Qt::AccessibleTextRole).toString().contains("100")) << unknown->data(Qt::AccessibleTextRole).toString().toStdString();

    press(Qt::Key_2);
    EXPECT_EQ(analysis->largestFilesList()->model()->rowCount(), 3);
    EXPECT_FALSE(ws->chartLegend()->isVisibleTo(w.view.get()));
    press(Qt::Key_1);
    EXPECT_EQ(ws->viewTabs()->currentIndex(), 0);
    EXPECT_TRUE(ws->sidebar()->isVisibleTo(w.view.get()));
    EXPECT_FALSE(ws->chartLegend()->isVisibleTo(w.view.get()));
}

// The change view over an earlier scan file: the header says by how much,
// Ctrl+5 colours the chart by change with a legend, the hover card says
// what an item was, and the list gives each change and what was deleted.
TEST(WindowKeyboard, TheChangeViewShowsWhatChangedSinceAnEarlierScan)
{
    Folders f{"r", "files"};
    const QString r = f.path("r");
    Window w;
    ASSERT_TRUE(w.activate());
    w.store->acceptIncoming({f.url("r")});
    w.deliver(ScanUpdate::finished(sizedTree(r, {{"grew.bin", 9000}, {"same.bin", 1000}, {"new.txt", 500}}),
                                   summaryOf(4, 0.2, 10500)));
    ASSERT_TRUE(spinUntil([&] { return w.store->focusedChildren().size() == 3; }));
    ScanSummary then = summaryOf(4, 0.2, 7000);
    then.finishedAt = QDateTime(QDate(2026, 12, 3), QTime(9, 0), Qt::UTC);
    QString error;
    ASSERT_TRUE(saveScanFile(sizedTree(r, {{"grew.bin", 3000}, {"same.bin", 1000}, {"old/", 3000}, {"old/x", 3000}}), then,
                             f.path("files/then.json"), &error));
    w.store->compareActiveWith(f.path("files/then.json"));
    ASSERT_TRUE(spinUntil([&] { return w.store->activeComparison().has_value(); }));
    w.sync();
    ScanWorkspaceView *ws = w.view->workspace();
    EXPECT_TRUE(ws->subtitleLabel()->fullText().contains("(+3.5 kB since 3 Dec 2026)")) << ws->subtitleLabel()->fullText().toStdString();

    ws->chart()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_5, Qt::ControlModifier);
    w.sync();
    EXPECT_EQ(ws->viewTabs()->currentIndex(), 4);
    ChangeView *changes = ws->analysisView()->changeView();
    EXPECT_EQ(ws->chartLegend()->items().size(), 4);
    QHash<QUuid, QColor> colours;
    for (const SunburstSegment &s : ws->chart()->segments())
        if (s.backingNodeID)
            colours.insert(*s.backingNodeID, ws->chart()->segmentColor(s));
    EXPECT_EQ(colours.value(idOf(r + "/grew.bin")), changeColor(ChangeKind::grown));
    EXPECT_EQ(colours.value(idOf(r + "/new.txt")), changeColor(ChangeKind::added));
    EXPECT_EQ(colours.value(idOf(r + "/same.bin")), changeColor(ChangeKind::unchanged));
    EXPECT_EQ(changes->note(idOf(r + "/grew.bin")), "was 3.0 kB, now 9.0 kB (+6.0 kB)");
    EXPECT_EQ(changes->note(idOf(r + "/new.txt")), "new since 3 Dec 2026");

    // Largest growth first; the deleted folder as a row of its own.
    QTreeWidget *list = changes->changesTree();
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        rows << list->topLevelItem(i)->text(0) + ' ' + list->topLevelItem(i)->text(2);
    EXPECT_EQ(rows, (QStringList{"grew.bin +6.0 kB", "new.txt new", "same.bin no change", "2 items deleted \u22123.0 kB"}));
    ASSERT_EQ(list->topLevelItem(3)->childCount(), 1);
    EXPECT_EQ(list->topLevelItem(3)->child(0)->text(0), "old");
    list->sortByColumn(2, Qt::AscendingOrder);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "2 items deleted");
    EXPECT_FALSE(list->topLevelItem(0)->data(0, Qt::AccessibleTextRole).toString().isEmpty());

    // Compare With… offers the folder's kept scans before any file.
    w.store->setHistorySettings({f.path("files/kept")});
    then.finishedAt = QDateTime(QDate(2025, 11, 1), QTime(9, 0), Qt::UTC);
    QString kept;
    ASSERT_TRUE(ScanHistory(f.path("files/kept")).save(sizedTree(r, {{"grew.bin", 1000}}), then, &error, &kept));
    QMenu *menu = changes->comparisonMenu();
    ASSERT_EQ(menu->actions().size(), 3) << "the kept scan, a line, Scan File…";
    EXPECT_EQ(menu->actions().last()->text(), "Scan File\u2026");
    menu->actions().first()->trigger();
    ASSERT_TRUE(spinUntil([&] { return w.store->activeComparison() && w.store->activeComparison()->olderFile == kept; }));
    delete menu;
}
