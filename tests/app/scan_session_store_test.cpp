// The session store driven by a scripted engine: the queue, the scan
// lifecycle, applying updates, focus and the sorted children, Trash requests.
#include "background_work.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QSignalSpy>
#include <QThreadPool>

using namespace storetest;

namespace {

struct Harness {
    Harness()
    {
        ScanSessionServices services;
        services.appActivation = activation;
        services.openPanel = panel;
        services.trashService = trash;
        store = std::make_unique<ScanSessionStore>(engine, services);
    }
    const ScanResultState &resultAt(const QString &path) const
    {
        for (const ScanResultState &r : store->results()) {
            if (r.rootURL.path() == path)
                return r;
        }
        throw std::runtime_error("no result for " + path.toStdString());
    }
    // Delivers updates to the running scan and waits until the store has them.
    void deliver(std::initializer_list<ScanUpdate> updates, size_t start = SIZE_MAX)
    {
        auto stream = start == SIZE_MAX ? engine->last() : engine->starts.at(start).stream;
        for (const ScanUpdate &u : updates)
            stream->yield(u);
        // The step that takes an update applies it before the loop goes on.
        spinUntil([&] { return stream->pendingCount() == 0; });
        QCoreApplication::processEvents();
    }
    void finish(const QString &root, const ScanTree &tree)
    {
        ScanSummary summary;
        summary.rootURL = FileUrl::fromPath(root, true);
        deliver({ScanUpdate::finished(tree, summary)});
    }

    std::shared_ptr<ScriptedEngine> engine = std::make_shared<ScriptedEngine>();
    std::shared_ptr<RecordingActivation> activation = std::make_shared<RecordingActivation>();
    std::shared_ptr<ScriptedOpenPanel> panel = std::make_shared<ScriptedOpenPanel>();
    std::shared_ptr<ScriptedTrash> trash = std::make_shared<ScriptedTrash>();
    std::unique_ptr<ScanSessionStore> store;
};

} // namespace

TEST(ScanSessionStoreQueue, FoldersRunOneAfterAnotherInArrivalOrder)
{
    for (bool oneList : {true, false}) {
        Folders f{"a", "b", "c"};
        Harness h;
        if (oneList) {
            h.store->acceptIncoming({f.url("a"), f.url("b"), f.url("c"), f.url("a")});
        } else {
            for (const char *name : {"a", "b", "c"})
                h.store->acceptIncoming({f.url(name)});
        }
        ASSERT_EQ(h.store->results().size(), 3);
        ASSERT_EQ(h.engine->starts.size(), 1u);
        EXPECT_EQ(h.engine->starts[0].rootURL.path(), f.path("a"));
        const QUuid a = h.resultAt(f.path("a")).id, b = h.resultAt(f.path("b")).id,
                    c = h.resultAt(f.path("c")).id;
        EXPECT_EQ(h.store->activeResultID(), a);
        EXPECT_EQ(h.store->currentScanningResultID(), a);
        EXPECT_EQ(h.store->queuedResultIDs(), (QList<QUuid>{b, c}));
        EXPECT_EQ(h.resultAt(f.path("b")).phase, ScanResultPhase::queued);
        EXPECT_GE(h.activation->count, 1);

        h.finish(f.path("a"), makeTree(f.path("a"), {}));
        EXPECT_EQ(h.resultAt(f.path("a")).phase, ScanResultPhase::ready);
        ASSERT_EQ(h.engine->starts.size(), 2u);
        EXPECT_EQ(h.engine->starts[1].rootURL.path(), f.path("b"));
        EXPECT_EQ(h.store->activeResultID(), b);
        EXPECT_EQ(h.resultAt(f.path("b")).phase, ScanResultPhase::scanning);

        h.finish(f.path("b"), makeTree(f.path("b"), {}));
        ASSERT_EQ(h.engine->starts.size(), 3u);
        EXPECT_EQ(h.store->activeResultID(), c);
        h.finish(f.path("c"), makeTree(f.path("c"), {}));
        EXPECT_FALSE(h.store->currentScanningResultID());
        EXPECT_FALSE(h.store->scanTask());
        EXPECT_TRUE(h.store->queuedResultIDs().isEmpty());
    }
}

TEST(ScanSessionStoreQueue, OnlyExistingDirectoriesAreAcceptedAndAKnownFolderIsOnlyActivated)
{
    Folders f{"a", "b"};
    ASSERT_EQ(mkfifo(QFile::encodeName(f.path("pipe")).constData(), 0644), 0); // neither a folder nor a scan file
    Harness h;
    h.store->acceptIncoming({f.url("pipe"), f.url("missing"), QUrl("https://example.com/a")});
    EXPECT_TRUE(h.store->results().isEmpty());
    EXPECT_EQ(h.activation->count, 0);

    h.store->acceptIncoming({f.url("a"), f.url("b")});
    h.finish(f.path("a"), makeTree(f.path("a"), {{"x", 1}}));
    const QUuid a = h.resultAt(f.path("a")).id;
    ASSERT_EQ(h.store->activeResultID(), h.resultAt(f.path("b")).id);

    // The same folder spelled differently, ready: activated, not rescanned.
    h.store->acceptIncoming({QUrl::fromLocalFile(f.path("b") + "/../a/")});
    EXPECT_EQ(h.store->activeResultID(), a);
    EXPECT_EQ(h.store->results().size(), 2);
    EXPECT_EQ(h.engine->starts.size(), 2u);
    EXPECT_EQ(h.resultAt(f.path("a")).phase, ScanResultPhase::ready);
    EXPECT_TRUE(spinUntil([&] { return h.store->focusedChildren().size() == 1; }));

    // The open panel goes through the same path; a cancelled panel does nothing.
    h.panel->answer = std::nullopt;
    h.store->chooseFolder();
    EXPECT_EQ(h.store->results().size(), 2);
    h.panel->answer = f.path("a");
    h.store->chooseFolder();
    EXPECT_EQ(h.store->results().size(), 2);
}

TEST(ScanSessionStoreQueue, RescanRestartsQueuesOrStartsByWhatRuns)
{
    Folders f{"a", "b"};
    Harness h;
    h.store->acceptIncoming({f.url("a")});
    h.finish(f.path("a"), makeTree(f.path("a"), {{"x", 5}}));
    const QUuid a = h.resultAt(f.path("a")).id;

    // Nothing runs: the tree goes at once, the position is kept.
    h.store->acceptIncoming({f.url("b")});
    h.finish(f.path("b"), makeTree(f.path("b"), {{"y", 1}}));
    h.store->activateResult(a);
    h.store->rescanActiveResult();
    EXPECT_EQ(h.store->results().first().id, a);
    EXPECT_EQ(h.store->results().first().phase, ScanResultPhase::scanning);
    EXPECT_FALSE(h.store->results().first().tree);
    EXPECT_EQ(h.store->currentScanningResultID(), a);
    ASSERT_EQ(h.engine->starts.size(), 3u);

    // Its own scan runs: restarted at once, the old stream abandoned.
    auto running = h.engine->last();
    h.store->rescanActiveResult();
    EXPECT_TRUE(running->isTerminated());
    EXPECT_EQ(h.engine->starts.size(), 4u);
    EXPECT_TRUE(h.store->queuedResultIDs().isEmpty());

    // Another result's scan runs: back to the queue, without data or children.
    const QUuid b = h.resultAt(f.path("b")).id;
    h.store->activateResult(b);
    ASSERT_TRUE(spinUntil([&] { return h.store->focusedChildren().size() == 1; }));
    h.store->rescanActiveResult();
    EXPECT_EQ(h.resultAt(f.path("b")).phase, ScanResultPhase::queued);
    EXPECT_FALSE(h.resultAt(f.path("b")).tree);
    EXPECT_TRUE(h.store->focusedChildren().isEmpty());
    EXPECT_FALSE(h.store->focusedChildrenContext());
    EXPECT_EQ(h.store->queuedResultIDs(), QList<QUuid>{b});
    EXPECT_EQ(h.engine->starts.size(), 4u);
}

TEST(ScanSessionStoreQueue, RemovingResultsCancelsAndChoosesTheNextActive)
{
    Folders f{"a", "b", "c", "d"};
    Harness h;
    h.store->acceptIncoming({f.url("a"), f.url("b"), f.url("c"), f.url("d")});
    h.deliver({ScanUpdate::failed(ScanFailure::rootInaccessible(FileUrl::fromPath(f.path("a"))))});
    const QUuid a = h.resultAt(f.path("a")).id, b = h.resultAt(f.path("b")).id,
                d = h.resultAt(f.path("d")).id;
    ASSERT_EQ(h.store->currentScanningResultID(), b);

    // Removing the running result cancels its scan and starts the next.
    auto running = h.engine->last();
    h.store->removeResult(b);
    EXPECT_TRUE(running->isTerminated());
    EXPECT_EQ(h.engine->starts.back().rootURL.path(), f.path("c"));
    const QUuid c = h.resultAt(f.path("c")).id;
    EXPECT_EQ(h.store->activeResultID(), c);
    h.finish(f.path("c"), makeTree(f.path("c"), {}));
    ASSERT_EQ(h.store->currentScanningResultID(), d);

    // Removing the active result makes the first non-queued one active.
    h.store->activateResult(c);
    h.store->rescanActiveResult(); // c is queued behind d now, once
    h.store->rescanActiveResult();
    EXPECT_EQ(h.store->queuedResultIDs(), QList<QUuid>{c});
    h.store->activateResult(d);
    h.store->removeResult(d);
    EXPECT_EQ(h.store->activeResultID(), c); // c starts, and takes the window
    h.store->removeResult(c);
    EXPECT_EQ(h.store->activeResultID(), a); // the failed one
    EXPECT_EQ(h.store->results().size(), 1);

    // A queued result listed before a running one: the running one is chosen.
    Folders g{"e", "f"};
    h.store->acceptIncoming({g.url("e")});
    h.finish(g.path("e"), makeTree(g.path("e"), {}));
    h.store->acceptIncoming({g.url("f")});
    h.store->activateResult(h.resultAt(g.path("e")).id);
    h.store->rescanActiveResult(); // list: a (failed), e (queued), f (scanning)
    h.store->activateResult(a);
    h.store->removeResult(a);
    EXPECT_EQ(h.store->activeResultID(), h.resultAt(g.path("f")).id);
    h.store->removeResult(h.resultAt(g.path("f")).id);
    h.store->removeResult(h.resultAt(g.path("e")).id);

    h.store->removeResult(a);
    EXPECT_FALSE(h.store->activeResultID());
    EXPECT_TRUE(h.store->focusedChildren().isEmpty());
    EXPECT_FALSE(h.store->focusedChildrenContext());
}

TEST(ScanSessionStoreQueue, ClearAllStopsTheScanAndIgnoresItsLaterUpdates)
{
    Folders f{"a", "b"};
    Harness h;
    h.store->acceptIncoming({f.url("a"), f.url("b")});
    h.deliver({ScanUpdate::intermediateTree(makeTree(f.path("a"), {{"x", 1}}))});
    auto stream = h.engine->last();
    h.store->clearAll();
    EXPECT_TRUE(h.store->results().isEmpty());
    EXPECT_TRUE(h.store->queuedResultIDs().isEmpty());
    EXPECT_FALSE(h.store->currentScanningResultID());
    EXPECT_FALSE(h.store->scanTask());
    EXPECT_FALSE(h.store->activeResultID());
    EXPECT_FALSE(stream->yield(ScanUpdate::finished(makeTree(f.path("a"), {}), {})));
    settle();
    EXPECT_TRUE(h.store->results().isEmpty());
    EXPECT_EQ(h.engine->starts.size(), 1u);
}

TEST(ScanSessionStoreUpdates, TerminalUpdatesSetPhaseMessageAndActiveResult)
{
    Folders f{"a", "b", "c"};
    Harness h;
    h.store->acceptIncoming({f.url("a"), f.url("b"), f.url("c")});
    const QUuid a = h.resultAt(f.path("a")).id;

    // A progress update is one in-place edit of the results, nothing else.
    QSignalSpy results(h.store.get(), &ScanSessionStore::resultsChanged);
    QSignalSpy active(h.store.get(), &ScanSessionStore::activeResultIDChanged);
    QSignalSpy children(h.store.get(), &ScanSessionStore::focusedChildrenChanged);
    ProgressSnapshot p;
    p.itemsScanned = 42;
    h.deliver({ScanUpdate::progress(p)});
    EXPECT_EQ(results.count(), 1);
    EXPECT_EQ(h.resultAt(f.path("a")).progressSnapshot, p);
    EXPECT_EQ(active.count(), 0);
    EXPECT_EQ(children.count(), 0);
    h.store->activateResult(a); // equal value: nobody hears of it
    EXPECT_EQ(active.count(), 0);

    // failed keeps the last tree, sets the message, and the queue moves on.
    const ScanTree partial = makeTree(f.path("a"), {{"x", 1}});
    const FileUrl rootA = FileUrl::fromPath(f.path("a"), true);
    h.deliver({ScanUpdate::intermediateTree(partial), ScanUpdate::failed(ScanFailure::ioError(rootA))});
    const ScanResultState &failed = h.resultAt(f.path("a"));
    EXPECT_EQ(failed.phase, ScanResultPhase::failed);
    EXPECT_EQ(failed.errorMessage, ScanFailure::ioError(rootA).message());
    EXPECT_EQ(failed.tree, partial);
    EXPECT_FALSE(failed.progressSnapshot);
    EXPECT_EQ(failed.focusedNodeID, partial.rootID);
    EXPECT_EQ(h.store->currentScanningResultID(), h.resultAt(f.path("b")).id);

    // cancelled removes the active result; the failed one, the first
    // non-queued result, takes its place, and the queue moves on.
    h.deliver({ScanUpdate::cancelled()});
    EXPECT_EQ(h.store->results().size(), 2);
    EXPECT_EQ(h.store->activeResultID(), h.resultAt(f.path("c")).id); // c started and took over
    EXPECT_EQ(h.engine->starts.back().rootURL.path(), f.path("c"));
    h.store->activateResult(a);
    h.deliver({ScanUpdate::cancelled()});
    EXPECT_EQ(h.store->results().size(), 1);
    EXPECT_EQ(h.store->activeResultID(), a);
    EXPECT_FALSE(h.store->currentScanningResultID());
}

TEST(ScanSessionStoreUpdates, FocusFollowsTheFirstTreeAndReturnsAfterRescans)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Harness h;
    h.store->acceptIncoming({f.url("r")});
    const ScanTree full = makeTree(r, {{"a/", 30}, {"a/b/", 20}, {"a/b/c/", 10}, {"a/b/c/f", 10}, {"z", 1}});
    h.deliver({ScanUpdate::intermediateTree(makeTree(r, {{"a/", 30}}))});
    const QUuid id = h.resultAt(r).id;
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r));
    h.store->focusNode(idOf(r + "/a"));
    h.store->focusNode(QUuid::createUuid()); // not in the tree: nothing
    h.deliver({ScanUpdate::intermediateTree(makeTree(r, {{"a/", 30}, {"z", 1}}))}); // keeps the focus
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r + "/a"));
    h.finish(r, full); // a first scan ends on the root whatever was focused
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r));

    // The focused folder survives: focus returns to it.
    h.store->focusNode(idOf(r + "/a/b/c"));
    h.store->rescanActiveResult();
    EXPECT_EQ(h.store->preferredFocusPathsByResultID().value(id).size(), 4);
    h.deliver({ScanUpdate::intermediateTree(makeTree(r, {}))});
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r));
    h.finish(r, full);
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r + "/a/b/c"));
    EXPECT_EQ(h.resultAt(r).selectedNodeID, idOf(r + "/a/b/c"));
    EXPECT_TRUE(h.store->preferredFocusPathsByResultID().isEmpty());

    // A failed rescan keeps the remembered path for the next one, which
    // lands on the deepest folder that is left.
    h.store->rescanActiveResult();
    h.deliver({ScanUpdate::failed(ScanFailure::ioError(FileUrl::fromPath(r, true)))});
    EXPECT_TRUE(h.store->preferredFocusPathsByResultID().contains(id));
    h.store->rescanActiveResult(); // no tree now: keeps the deeper path
    h.finish(r, makeTree(r, {{"a/", 30}, {"a/x", 30}}));
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r + "/a"));

    h.store->focusNode(idOf(r + "/a"));
    h.store->rescanActiveResult();
    h.finish(r, makeTree(r, {{"a/", 1}, {"a/y", 1}})); // still there
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r + "/a"));
    h.store->rescanActiveResult();
    h.finish(r, makeTree(r, {{"b/", 1}})); // gone: back to the root
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r));
}

TEST(ScanSessionStoreFocus, ChildrenAreSortedBySizeThenNameAndOnlyTheLatestSortIsPublished)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Harness h;
    h.store->acceptIncoming({f.url("r")});
    h.finish(r, makeTree(r, {{"d/", 60},
                             {"d/ten", 10},
                             {"d/thirty", 30},
                             {"d/twenty", 20},
                             {"e/", 9},
                             {"e/banana", 3},
                             {"e/Apple", 3},
                             {"e/same", 3},
                             {"e/SAME", 3},
                             {"e/file", 0}}));
    ASSERT_TRUE(spinUntil([&] { return h.store->focusedChildren().size() == 2; }));
    EXPECT_EQ(namesOf(h.store->focusedChildren()), (QStringList{"d", "e"}));

    QList<QStringList> published;
    QObject::connect(h.store.get(), &ScanSessionStore::focusedChildrenChanged, [&] {
        if (!h.store->focusedChildren().isEmpty())
            published << namesOf(h.store->focusedChildren());
    });
    // Two quick refreshes: the first one's list never appears.
    // The first sort finishes and posts its list before the second request.
    h.store->focusNode(idOf(r + "/d"));
    EXPECT_TRUE(h.store->focusedChildren().isEmpty());
    backgroundPool().waitForDone();
    h.store->focusNode(idOf(r + "/e"));
    ASSERT_TRUE(spinUntil([&] { return !h.store->hasFocusedChildrenSortTask(); }));
    settle();
    EXPECT_EQ(published, (QList<QStringList>{{"Apple", "banana", "same", "SAME", "file"}}));

    // Focusing the focused node starts no sort and keeps the list.
    const quint64 sequence = h.store->focusedChildrenSequence();
    h.store->focusNode(idOf(r + "/e"));
    EXPECT_EQ(h.store->focusedChildrenSequence(), sequence);
    EXPECT_EQ(h.store->focusedChildren().size(), 5);

    h.store->focusNode(idOf(r + "/d"));
    ASSERT_TRUE(spinUntil([&] { return !h.store->focusedChildren().isEmpty(); }));
    EXPECT_EQ(namesOf(h.store->focusedChildren()), (QStringList{"thirty", "twenty", "ten"}));
    h.store->focusNode(idOf(r + "/e/file")); // a file: no children
    ASSERT_TRUE(spinUntil([&] { return !h.store->hasFocusedChildrenSortTask(); }));
    EXPECT_TRUE(h.store->focusedChildren().isEmpty());

    // A queued result has no tree: empty list, no context.
    Folders g{"q"};
    h.store->rescanActiveResult();
    h.store->acceptIncoming({g.url("q")});
    h.store->activateResult(h.store->queuedResultIDs().first());
    EXPECT_TRUE(h.store->focusedChildren().isEmpty());
    EXPECT_FALSE(h.store->focusedChildrenContext());
}

TEST(ScanSessionStoreTrash, RequestsConfirmationAndOutcome)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Harness h;
    h.store->acceptIncoming({f.url("r")});
    h.finish(r, makeTree(r, {{"a/", 2}, {"a/x", 2}, {"b", 1}}));

    // The root can never be trashed.
    EXPECT_FALSE(h.store->canTrashActiveSelection());
    h.store->requestTrashForActiveSelection();
    h.store->requestTrashForNode(idOf(r));
    h.store->requestTrashForNode(QUuid::createUuid());
    EXPECT_FALSE(h.store->pendingTrashNode());

    // A request from the list selects without moving the focus.
    h.store->requestTrashForNode(idOf(r + "/b"));
    ASSERT_TRUE(h.store->pendingTrashNode());
    EXPECT_EQ(h.store->pendingTrashNode()->id, idOf(r + "/b"));
    EXPECT_EQ(h.resultAt(r).selectedNodeID, idOf(r + "/b"));
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r));
    EXPECT_TRUE(h.store->canTrashActiveSelection());

    // A failed move: the message with its reason, and a rescan.
    h.trash->error = QStringLiteral("denied");
    QStringList told;
    QObject::connect(h.store.get(), &ScanSessionStore::actionFailed,
                     [&](const QString &message, const QString &reason) { told << message << reason; });
    h.store->confirmTrashRequest();
    EXPECT_FALSE(h.store->pendingTrashNode()); // gone before the move ends
    ASSERT_TRUE(spinUntil([&] { return !told.isEmpty(); }));
    EXPECT_EQ(told, (QStringList{"Could not move item to Trash.", "denied"}));
    EXPECT_EQ(*h.resultAt(r).errorMessage, "Could not move item to Trash.");
    ASSERT_EQ(h.engine->starts.size(), 2u);
    h.finish(r, makeTree(r, {{"a/", 2}, {"a/x", 2}, {"b", 1}}));
    EXPECT_FALSE(h.resultAt(r).errorMessage);

    // A successful one rescans, which clears the message; the focus returns.
    h.store->focusNode(idOf(r + "/a"));
    h.store->requestTrashForActiveSelection();
    h.trash->error.reset();
    h.store->confirmTrashRequest();
    ASSERT_TRUE(spinUntil([&] { return h.engine->starts.size() == 3; }));
    EXPECT_EQ(h.trash->moved.back().path(), r + "/a");
    EXPECT_FALSE(h.resultAt(r).errorMessage);
    h.finish(r, makeTree(r, {{"b", 1}}));
    EXPECT_EQ(h.resultAt(r).focusedNodeID, idOf(r));
    h.store->confirmTrashRequest(); // nothing pending: nothing happens
    settle();
    EXPECT_EQ(h.trash->moved.size(), 2u);
}

// The outcome of a move goes to the result it was asked from, and a result
// whose folder was inside the moved item is scanned again too.
TEST(ScanSessionStoreTrash, TheMoveBelongsToTheResultItWasAskedFrom)
{
    Folders f{"r/a/inner", "other"};
    const QString r = f.path("r");
    Harness h;
    h.store->acceptIncoming({f.url("r")});
    h.finish(r, makeTree(r, {{"a/", 2}, {"a/inner/", 2}, {"a/inner/x", 2}}));
    for (const char *name : {"r/a/inner", "other"}) {
        h.store->acceptIncoming({f.url(name)});
        h.finish(f.path(name), makeTree(f.path(name), {}));
    }
    const QUuid other = h.resultAt(f.path("other")).id;
    h.store->activateResult(h.resultAt(r).id);
    h.store->requestTrashForNode(idOf(r + "/a"));
    h.store->confirmTrashRequest();
    h.store->activateResult(other); // before the move ends
    ASSERT_TRUE(spinUntil([&] { return h.engine->starts.size() == 4; }));
    EXPECT_EQ(h.engine->starts[3].rootURL.path(), r);
    EXPECT_EQ(h.store->queuedResultIDs(), QList<QUuid>{h.resultAt(f.path("r/a/inner")).id});
    h.finish(r, makeTree(r, {}));
    ASSERT_EQ(h.engine->starts.size(), 5u);
    EXPECT_EQ(h.engine->starts[4].rootURL.path(), f.path("r/a/inner"));
    EXPECT_EQ(h.resultAt(f.path("other")).phase, ScanResultPhase::ready);
}

// Stop asks the running scan to end early; what it then finishes with is
// kept, partial, and reads so; a rescan makes it whole.
TEST(ScanSessionStoreUpdates, AStoppedScanKeepsWhatItFound)
{
    Folders f{"r"};
    const QString r = f.path("r");
    Harness h;
    EXPECT_FALSE(h.store->canStopScan());
    h.store->acceptIncoming({f.url("r")});
    ASSERT_TRUE(h.store->canStopScan());
    h.store->stopScan();
    EXPECT_EQ(h.engine->stops, 1);
    ScanSummary partial;
    partial.rootURL = FileUrl::fromPath(r, true);
    partial.isPartial = true;
    partial.itemsScanned = 2;
    h.deliver({ScanUpdate::finished(makeTree(r, {{"a", 5}}), partial)});
    const ScanResultState &stopped = h.resultAt(r);
    EXPECT_EQ(stopped.phase, ScanResultPhase::ready);
    EXPECT_TRUE(stopped.summary->isPartial);
    EXPECT_FALSE(h.store->canStopScan());
    h.store->rescanActiveResult();
    h.finish(r, makeTree(r, {{"a", 5}, {"b", 6}}));
    EXPECT_FALSE(h.resultAt(r).summary->isPartial);
}
