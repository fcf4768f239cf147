#include "scan_engine.h"

#include "stable_scan_node_id.h"

#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <mutex>
#include <stdexcept>

namespace {

struct Cancelled {};

struct BranchResult {
    NodeTable nodesByID;
    QHash<QUuid, QList<QUuid>> childIDsByParentID;
    qint64 allocatedSize = 0;
    qint64 logicalSize = 0;
    qint64 unreadableCount = 0;
};

struct PendingDirectory {
    QUuid childID;
    FileUrl url;
};

void merge(const BranchResult &branch, const QUuid &id, NodeTable &nodesByID,
           QHash<QUuid, QList<QUuid>> &childIDsByParentID, qint64 &totalAllocated, qint64 &totalLogical)
{
    nodesByID.insert(branch.nodesByID);
    childIDsByParentID.insert(branch.childIDsByParentID);
    if (ScanNodeRecord *record = nodesByID.findMutable(id)) {
        record->allocatedSize = branch.allocatedSize;
        record->logicalSize = branch.logicalSize;
        const auto list = branch.childIDsByParentID.constFind(id);
        record->childCount = list == branch.childIDsByParentID.cend() ? 0 : list->size();
    }
    totalAllocated += branch.allocatedSize;
    totalLogical += branch.logicalSize;
}

} // namespace

// One scan's shared state: the counters every branch adds to, under a lock.
struct ScanEngine::Scan {
    std::shared_ptr<const FileSystemProviding> fileSystem;
    NodeSizingService sizing;
    std::shared_ptr<UpdateStream> stream;
    std::atomic<bool> cancelled{false};
    std::mutex countersMutex;
    ProgressSnapshot counters;

    void checkCancelled() const
    {
        if (cancelled.load(std::memory_order_relaxed))
            throw Cancelled{};
    }

    void count(qint64 items, qint64 dirs, qint64 files, qint64 unreadable)
    {
        std::lock_guard lock(countersMutex);
        counters.itemsScanned += items;
        counters.directoriesScanned += dirs;
        counters.filesScanned += files;
        counters.unreadableCount += unreadable;
    }

    ProgressSnapshot snapshot(const FileUrl &current)
    {
        std::lock_guard lock(countersMutex);
        ProgressSnapshot p = counters;
        p.currentURL = current;
        return p;
    }

    void yieldProgress(const FileUrl &current) { stream->yield(ScanUpdate::progress(snapshot(current))); }

    BranchResult scanChildren(const FileUrl &url, const QUuid &parentID, bool shouldFailOnEnumerationError,
                              int depth);
    void perform(const FileUrl &rootURL);
};

BranchResult ScanEngine::Scan::scanChildren(const FileUrl &url, const QUuid &parentID,
                                            bool shouldFailOnEnumerationError, int depth)
{
    checkCancelled();
    QList<ChildEntry> entries;
    try {
        entries = fileSystem->childEntries(url);
    } catch (const FileSystemError &) {
        count(0, 0, 0, 1);
        yieldProgress(url);
        if (shouldFailOnEnumerationError)
            throw ScanFailure::ioError(url);
        BranchResult unreadable;
        unreadable.unreadableCount = 1;
        return unreadable;
    }

    BranchResult result;
    QList<QUuid> childIDs;
    QList<PendingDirectory> pending;
    childIDs.reserve(entries.size());
    result.nodesByID.reserve(entries.size());
    for (const ChildEntry &entry : entries) {
        checkCancelled();
        const NodeResourceValues &v = entry.values;
        if (!v.isReadable) {
            count(1, 0, 0, 1);
            continue;
        }
        ScanNodeRecord r;
        r.kind = v.isPackage ? ScanNodeKind::package
                             : (v.isDirectory ? ScanNodeKind::directory : ScanNodeKind::file);
        r.id = stableScanNodeID(entry.url.standardized().path());
        r.parentID = parentID;
        r.url = entry.url;
        r.displayName = v.name;
        r.isHidden = v.isHidden;
        r.isPackage = v.isPackage;
        r.isReadable = true;
        const NodeSize size = sizing.resolveSize(v);
        r.allocatedSize = size.allocated;
        r.logicalSize = size.logical;
        childIDs.append(r.id);
        if (r.kind == ScanNodeKind::directory) {
            count(1, 1, 0, 0);
            pending.append({r.id, r.url});
        } else {
            count(1, 0, 1, 0);
            result.allocatedSize += size.allocated;
            result.logicalSize += size.logical;
        }
        result.nodesByID.insert(std::move(r));
    }
    result.childIDsByParentID.insert(parentID, childIDs);

    if (pending.isEmpty()) {
        yieldProgress(url);
        return result;
    }
    if (depth < kParallelDepthLimit && pending.size() >= kMinParallelSubdirectories) {
        // Independent subtrees on the pool; a waiting thread runs a queued
        // branch itself, so nesting cannot exhaust the pool.
        QList<QFuture<BranchResult>> branches;
        for (const PendingDirectory &dir : pending)
            branches.append(QtConcurrent::run(QThreadPool::globalInstance(), [this, dir, depth] {
                return scanChildren(dir.url, dir.childID, false, depth + 1);
            }));
        bool wasCancelled = false;
        for (qsizetype i = 0; i < branches.size(); ++i) {
            try {
                merge(branches[i].result(), pending[i].childID, result.nodesByID,
                      result.childIDsByParentID, result.allocatedSize, result.logicalSize);
            } catch (...) {
                wasCancelled = true; // wait for the others before leaving
            }
        }
        if (wasCancelled) {
            checkCancelled();
            throw std::runtime_error("a branch of the scan failed");
        }
    } else {
        for (const PendingDirectory &dir : pending) {
            const BranchResult branch = scanChildren(dir.url, dir.childID, false, depth + 1);
            merge(branch, dir.childID, result.nodesByID, result.childIDsByParentID,
                  result.allocatedSize, result.logicalSize);
        }
    }
    yieldProgress(url);
    return result;
}

void ScanEngine::Scan::perform(const FileUrl &rootURL)
{
    const QDateTime startedAt = QDateTime::currentDateTimeUtc();
    stream->yield(ScanUpdate::started(rootURL, startedAt));
    try {
        NodeResourceValues values;
        try {
            values = fileSystem->resourceValues(rootURL);
        } catch (const FileSystemError &) {
            throw ScanFailure::ioError(rootURL);
        }
        if (!values.isDirectory && !values.isPackage)
            throw ScanFailure::rootInaccessible(rootURL);

        ScanNodeRecord root;
        root.id = stableScanNodeID(rootURL);
        root.url = rootURL;
        root.kind = values.isDirectory && !values.isPackage ? ScanNodeKind::directory : ScanNodeKind::package;
        const NodeSize size = sizing.resolveSize(values);
        root.allocatedSize = size.allocated;
        root.logicalSize = size.logical;
        root.displayName = values.name.isEmpty() ? rootURL.lastPathComponent() : values.name;
        root.isHidden = values.isHidden;
        root.isPackage = values.isPackage;
        root.isReadable = values.isReadable;
        count(1, 1, 0, 0);
        yieldProgress(rootURL);

        ScanTree tree;
        tree.rootID = root.id;
        tree.nodesByID.insert(root);
        if (root.kind == ScanNodeKind::directory) {
            const BranchResult branch = scanChildren(rootURL, root.id, true, 0);
            qint64 allocated = 0, logical = 0;
            merge(branch, root.id, tree.nodesByID, tree.childIDsByParentID, allocated, logical);
        }
        checkCancelled();
        ScanSummary summary;
        const ProgressSnapshot counters = snapshot(rootURL);
        summary.rootURL = rootURL;
        summary.startedAt = startedAt;
        summary.finishedAt = QDateTime::currentDateTimeUtc();
        summary.itemsScanned = counters.itemsScanned;
        summary.directoriesScanned = counters.directoriesScanned;
        summary.filesScanned = counters.filesScanned;
        summary.unreadableCount = counters.unreadableCount;
        const auto rootRecord = tree.rootNode();
        summary.totalAllocatedSize = rootRecord ? rootRecord->allocatedSize : 0;
        stream->yield(ScanUpdate::progress(counters));
        stream->yield(ScanUpdate::finished(tree, summary));
    } catch (const Cancelled &) {
        stream->yield(ScanUpdate::cancelled());
    } catch (const ScanFailure &failure) {
        stream->yield(ScanUpdate::failed(failure));
    } catch (...) {
        stream->yield(ScanUpdate::failed(ScanFailure::ioError(rootURL)));
    }
    stream->finish();
}

ScanEngine::ScanEngine(std::shared_ptr<const FileSystemProviding> fileSystem, NodeSizingService sizingService)
    : fileSystem_(std::move(fileSystem)), sizingService_(sizingService)
{
}

std::shared_ptr<UpdateStream> ScanEngine::startScan(const FileUrl &rootURL)
{
    auto scan = std::make_shared<Scan>();
    scan->fileSystem = fileSystem_;
    scan->sizing = sizingService_;
    scan->stream = UpdateStream::create();
    std::weak_ptr<Scan> weak = scan;
    scan->stream->setOnTermination([weak] {
        if (auto s = weak.lock())
            s->cancelled = true;
    });
    const FileUrl standardized = rootURL.standardized();
    auto stream = scan->stream;
    executor_.submit([scan, standardized] {
        scan->perform(standardized);
        scan->stream.reset(); // break the cycle stream -> callback -> scan
    });
    return stream;
}
