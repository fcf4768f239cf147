#include "scan_engine.h"

#include "stable_scan_node_id.h"

#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <deque>
#include <limits>
#include <mutex>
#include <stdexcept>

namespace {

struct Cancelled {};

// The records of one subtree in preorder (each after its parent), with the
// index of each record's parent in the same list; -1 for the subtree's top.
// Subtrees are spliced into their parent's list once, not copied level by
// level, and sizes are summed in one pass from the end.
struct Branch {
    std::vector<ScanNodeRecord> records;
    std::vector<qsizetype> parents;
    std::vector<bool> listed; // a directory whose children were listed
    bool topListed = false;

    void splice(Branch &&other, qsizetype parent)
    {
        listed[size_t(parent)] = other.topListed;
        const qsizetype offset = qsizetype(records.size());
        for (size_t i = 0; i < other.records.size(); ++i) {
            records.push_back(std::move(other.records[i]));
            parents.push_back(other.parents[i] < 0 ? parent : other.parents[i] + offset);
            listed.push_back(other.listed[i]);
        }
    }
};

qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 sum;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<qint64>::max() : sum;
}

// The forward hash of a folder's path and its length, carried down the walk
// so that a child's costs only its own name.
struct PathHash {
    quint64 forward = 0;
    quint64 length = 0;
    bool endsWithSlash = false;

    static PathHash of(const QByteArray &path)
    {
        return {scan_node_hash::forward(scan_node_hash::kForwardSeed, path), quint64(path.size()),
                path.endsWith('/')};
    }
    PathHash child(QByteArrayView name) const
    {
        quint64 h = endsWithSlash ? forward : scan_node_hash::step(forward, '/');
        return {scan_node_hash::forward(h, name), length + (endsWithSlash ? 0 : 1) + quint64(name.size()), false};
    }
};

// The pieces of a branch's top folder, top down.
std::vector<scan_node_hash::Piece> piecesOf(const FileUrl &directory, QList<QByteArrayView> &views,
                                           QByteArray &scratch)
{
    directory.nativePieces(views, scratch);
    std::vector<scan_node_hash::Piece> pieces;
    pieces.reserve(size_t(views.size()));
    char last = 0;
    for (qsizetype i = 0; i < views.size(); ++i) {
        pieces.push_back({views[i], i > 0 && last != '/'});
        if (!views[i].isEmpty())
            last = views[i].back();
    }
    return pieces;
}

// Gives records[i] the identifier of the child names[i] of the directory
// whose path is pieces.
void identify(const std::vector<scan_node_hash::Piece> &pieces, const PathHash &hash,
              const std::vector<QByteArray> &names, ScanNodeRecord *records)
{
    std::vector<scan_node_hash::ChildName> children;
    children.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const PathHash own = hash.child(names[i]);
        children.push_back({names[i], own.forward, own.length, &records[i].id});
    }
    scan_node_hash::identifyChildren(pieces.data(), qsizetype(pieces.size()), !hash.endsWithSlash,
                                     children.data(), qsizetype(children.size()));
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

    Branch scanBranch(const FileUrl &url, const QUuid &id, PathHash hash, bool shouldFailOnEnumerationError,
                      int depth);
    void perform(const FileUrl &rootURL);
};

// The subtree below the directory url, walked with a stack of its own (no
// recursion, whatever the depth); the top levels hand independent subtrees
// to the pool.
Branch ScanEngine::Scan::scanBranch(const FileUrl &topURL, const QUuid &topID, PathHash topHash,
                                    bool shouldFailOnEnumerationError, int topDepth)
{
    struct Pending {
        FileUrl url;
        QUuid id;
        qsizetype index; // in branch.records; -1 for the top
        int depth;
        PathHash hash;
        QByteArray name; // its own, as bytes; empty for the top
    };
    struct Spawned {
        QFuture<Branch> future;
        qsizetype index;
    };
    Branch branch;
    std::vector<Pending> stack{{topURL, topID, -1, topDepth, topHash, {}}};
    // The path of the folder being listed, kept as the walk goes down and
    // back up, so that no folder's path is ever rebuilt from the top.
    QList<QByteArrayView> topViews;
    QByteArray topScratch;
    std::vector<scan_node_hash::Piece> path = piecesOf(topURL, topViews, topScratch);
    const size_t topPieces = path.size();
    std::deque<QByteArray> namesBelow; // owns the bytes path points at below the top; never moves them
    std::vector<Spawned> spawned;
    const auto waitForSpawned = [&] {
        bool failed = false;
        for (Spawned &s : spawned) {
            try {
                s.future.waitForFinished();
            } catch (...) {
                failed = true;
            }
        }
        return failed;
    };

    try {
        while (!stack.empty()) {
            checkCancelled();
            const Pending dir = std::move(stack.back());
            stack.pop_back();
            if (dir.index >= 0) {
                const size_t level = size_t(dir.depth - topDepth); // 1 for the top's children
                namesBelow.resize(level - 1);
                namesBelow.push_back(dir.name);
                path.resize(topPieces + level - 1);
                path.push_back({QByteArrayView(namesBelow.back()), true});
            }
            QList<ChildEntry> entries;
            try {
                entries = fileSystem->childEntries(dir.url);
            } catch (const FileSystemError &) {
                count(0, 0, 0, 1);
                yieldProgress(dir.url);
                if (shouldFailOnEnumerationError && dir.index < 0)
                    throw ScanFailure::ioError(dir.url);
                continue;
            }
            if (dir.index < 0)
                branch.topListed = true;
            else
                branch.listed[size_t(dir.index)] = true;

            std::vector<Pending> subdirectories;
            const qsizetype firstRecord = qsizetype(branch.records.size());
            std::vector<QByteArray> names;
            names.reserve(size_t(entries.size()));
            for (const ChildEntry &entry : entries) {
                checkCancelled();
                const NodeResourceValues &v = entry.values;
                if (!v.hasMetadata) {
                    count(1, 0, 0, 1); // nothing to examine
                    continue;
                }
                ScanNodeRecord r;
                r.kind = v.isPackage ? ScanNodeKind::package
                                     : (v.isDirectory ? ScanNodeKind::directory : ScanNodeKind::file);
                names.push_back(entry.url.nativeLastPathComponent());
                r.parentID = dir.id;
                r.url = entry.url;
                r.displayName = v.name;
                r.isHidden = v.isHidden;
                r.isPackage = v.isPackage;
                r.isReadable = v.isReadable;
                const NodeSize size = sizing.resolveSize(v);
                r.allocatedSize = size.allocated;
                r.logicalSize = size.logical;
                const qsizetype index = qsizetype(branch.records.size());
                if (r.kind == ScanNodeKind::directory) {
                    count(1, 1, 0, 0);
                    subdirectories.push_back({r.url, {}, index, dir.depth + 1, {}, {}});
                } else {
                    count(1, 0, 1, 0);
                }
                branch.records.push_back(std::move(r));
                branch.parents.push_back(dir.index);
                branch.listed.push_back(false);
            }
            identify(path, dir.hash, names, branch.records.data() + firstRecord);
            for (Pending &sub : subdirectories) {
                const ScanNodeRecord &r = branch.records[size_t(sub.index)];
                sub.id = r.id;
                sub.name = names[size_t(sub.index - firstRecord)];
                sub.hash = dir.hash.child(sub.name);
            }
            if (dir.depth < kParallelDepthLimit && subdirectories.size() >= size_t(kMinParallelSubdirectories)) {
                // Independent subtrees on the pool; a waiting thread runs a
                // queued branch itself, so nesting cannot exhaust the pool.
                for (Pending &sub : subdirectories) {
                    spawned.push_back({QtConcurrent::run(QThreadPool::globalInstance(), [this, sub] {
                                           return scanBranch(sub.url, sub.id, sub.hash, false, sub.depth);
                                       }),
                                       sub.index});
                }
            } else {
                // Listing order: the first subdirectory is walked first.
                for (auto it = subdirectories.rbegin(); it != subdirectories.rend(); ++it)
                    stack.push_back(std::move(*it));
            }
            yieldProgress(dir.url);
        }
    } catch (...) {
        waitForSpawned(); // none may outlive the scan's state
        throw;
    }
    if (waitForSpawned()) {
        checkCancelled();
        throw std::runtime_error("a branch of the scan failed");
    }
    for (Spawned &s : spawned)
        branch.splice(s.future.takeResult(), s.index);
    return branch;
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
        if (root.kind == ScanNodeKind::directory) {
            Branch branch = scanBranch(rootURL, root.id, PathHash::of(rootURL.nativeFilePath()), true, 0);
            checkCancelled();
            // Totals bottom-up: every record comes after its parent.
            root.allocatedSize = root.logicalSize = 0;
            std::vector<qint64> childCounts(branch.records.size(), 0);
            qint64 rootChildren = 0;
            for (qsizetype i = qsizetype(branch.records.size()) - 1; i >= 0; --i) {
                const ScanNodeRecord &r = branch.records[size_t(i)];
                const qsizetype p = branch.parents[size_t(i)];
                ScanNodeRecord &parent = p < 0 ? root : branch.records[size_t(p)];
                parent.allocatedSize = saturatingAdd(parent.allocatedSize, r.allocatedSize);
                parent.logicalSize = saturatingAdd(parent.logicalSize, r.logicalSize);
                ++(p < 0 ? rootChildren : childCounts[size_t(p)]);
            }
            root.childCount = rootChildren;
            QHash<QUuid, QList<QUuid>> &lists = tree.childIDsByParentID;
            lists.reserve(qsizetype(branch.records.size()) / 4 + 1);
            lists[root.id].reserve(rootChildren);
            for (size_t i = 0; i < branch.records.size(); ++i) {
                ScanNodeRecord &r = branch.records[i];
                r.childCount = childCounts[i];
                if (branch.listed[i])
                    lists[r.id]; // a listed folder has a list, maybe empty
                const qsizetype p = branch.parents[i];
                lists[p < 0 ? root.id : branch.records[size_t(p)].id].append(r.id);
            }
            tree.nodesByID.reserve(qsizetype(branch.records.size()) + 1);
            tree.nodesByID.insert(root);
            for (ScanNodeRecord &r : branch.records)
                tree.nodesByID.insert(std::move(r));
        } else {
            tree.nodesByID.insert(root);
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
    } catch (const std::bad_alloc &) {
        stream->yield(ScanUpdate::failed(ScanFailure::insufficientMemory(rootURL)));
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
