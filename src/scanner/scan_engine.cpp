#include "scan_engine.h"

#include "two_threads.h"

#include "hard_links.h"
#include "path_identifiers.h"
#include "stable_scan_node_id.h"

#include "work_pool.h"

#include <QThread>
#include <atomic>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

struct Cancelled {};

// The records of one subtree in preorder (each after its parent), with the
// index of each record's parent in the same list (-1 for the subtree's top)
// and its name as bytes. Subtrees are spliced into their parent's list once,
// not copied level by level; sizes and identifiers are worked out over the
// whole list once the walk is over.
struct Branch {
    std::vector<ScanNodeRecord> records;
    std::vector<qsizetype> parents;
    std::vector<QByteArray> names;
    bool topUnreadable = false;
    std::vector<bl::LinkedFile> linked; // files with more than one link, by record index
    // Subtrees walked by work items of their own, spliced in once every
    // item has ended: no item ever waits for another.
    struct Spawned {
        qsizetype index;
        std::unique_ptr<Branch> branch;
    };
    std::vector<Spawned> spawned;
    // How the walk of this branch ended; nothing escapes a work item.
    enum class Outcome : quint8 { walked, cancelled, outOfMemory, failed };
    Outcome outcome = Outcome::walked;
    std::optional<ScanFailure> failure; // the top's own, when it must fail the scan

    void splice(Branch &&other, qsizetype parent)
    {
        if (other.topUnreadable)
            records[size_t(parent)].mark = ScanNodeMark::unreadable;
        const qsizetype offset = qsizetype(records.size());
        for (bl::LinkedFile f : other.linked) {
            f.node += offset;
            linked.push_back(f);
        }
        for (size_t i = 0; i < other.records.size(); ++i) {
            records.push_back(std::move(other.records[i]));
            parents.push_back(other.parents[i] < 0 ? parent : other.parents[i] + offset);
            names.push_back(std::move(other.names[i]));
        }
    }
};

qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 sum;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<qint64>::max() : sum;
}

// Every record's identifier and parent's, from the names and parent links:
// folders are registered in order, then the runs of siblings (one listing
// each, contiguous) are hashed, on two threads for a large tree.
void identifyAll(Branch &branch, const FileUrl &rootURL, const QUuid &rootID)
{
    const size_t n = branch.records.size();
    PathIdentifiers paths(rootURL.nativeFilePath());
    std::vector<int32_t> folderOf(n, -1);
    const auto parentFolder = [&](size_t i) {
        const qsizetype p = branch.parents[i];
        return p < 0 ? 0 : folderOf[size_t(p)];
    };
    for (size_t i = 0; i < n; ++i)
        if (branch.records[i].kind == ScanNodeKind::directory)
            folderOf[i] = paths.addFolder(parentFolder(i), branch.names[i]);
    const auto runs = [&](size_t from, size_t to) {
        std::vector<PathIdentifiers::Child> children;
        PathIdentifiers::Batch batch(paths);
        for (size_t i = from; i < to;) {
            const qsizetype p = branch.parents[i];
            children.clear();
            for (; i < n && branch.parents[i] == p; ++i)
                children.push_back({branch.names[i], &branch.records[i].id});
            batch.add(p < 0 ? 0 : folderOf[size_t(p)], children.data(), qsizetype(children.size()));
        }
    };
    size_t middle = n / 2;
    while (middle > 0 && middle < n && branch.parents[middle] == branch.parents[middle - 1])
        ++middle;
    if (n >= 20000)
        runOnTwoThreads([&] { runs(0, middle); }, [&] { runs(middle, n); });
    else
        runs(0, n);
    for (size_t i = 0; i < n; ++i) {
        const qsizetype p = branch.parents[i];
        branch.records[i].parentID = p < 0 ? rootID : branch.records[size_t(p)].id;
    }
}

} // namespace

// One scan's shared state: the counters every branch adds to, under a lock.
struct ScanEngine::Scan {
    std::shared_ptr<const FileSystemProviding> fileSystem;
    NodeSizingService sizing;
    std::shared_ptr<UpdateStream> stream;
    ScanOptions options;
    bl::Exclusions exclusions;
    qsizetype belowRootFrom = 0; // where a path below the root starts in a native path
    std::atomic<bool> cancelled{false}; // by the consumer
    std::atomic<bool> stopped{false};   // by a walk that failed
    std::atomic<bool> stopRequested{false}; // by the consumer, keeping what was found
    std::atomic<bool> cut{false};           // a walk the stop ended early
    std::mutex countersMutex;
    ProgressSnapshot counters;

    void checkCancelled() const
    {
        if (cancelled.load(std::memory_order_relaxed) || stopped.load(std::memory_order_relaxed) ||
            stopRequested.load(std::memory_order_relaxed))
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

    bool isExcluded(const ChildEntry &entry, ScanNodeKind kind) const
    {
        if (!exclusions.active())
            return false;
        const QByteArray name = entry.url.nativeLastPathComponent();
        const QByteArray below = exclusions.wantsPath() ? entry.url.nativePath().mid(belowRootFrom) : QByteArray();
        return exclusions.excludes(name.constData(), exclusions.wantsPath() ? below.constData() : nullptr) ||
               (exclusions.excludesCaches() && kind == ScanNodeKind::directory && fileSystem->holdsCacheTag(entry.url));
    }

    bl::WorkPool *pool = nullptr; // while the walk runs
    void scanBranch(Branch &branch, const FileUrl &url, bool shouldFailOnEnumerationError, int depth);
    void walk(Branch &branch, const FileUrl &url, bool shouldFailOnEnumerationError, int depth);
    void assemble(Branch &branch, const FileUrl &rootURL, bool userCancelled);
    void perform(const FileUrl &rootURL);
};

// The subtree below the directory topURL into branch, walked with a stack
// of its own (no recursion, whatever the depth); the top levels hand
// independent subtrees to work items of their own.
void ScanEngine::Scan::scanBranch(Branch &branch, const FileUrl &topURL, bool shouldFailOnEnumerationError,
                                  int topDepth)
{
    struct Pending {
        FileUrl url;
        qsizetype index; // in branch.records; -1 for the top
        int depth;
    };
    std::vector<Pending> stack{{topURL, -1, topDepth}};
    while (!stack.empty()) {
        checkCancelled();
        const Pending dir = std::move(stack.back());
        stack.pop_back();
        QList<ChildEntry> entries;
        try {
            entries = fileSystem->childEntries(dir.url);
        } catch (const FileSystemError &e) {
            if (e.code().value() == ENOMEM)
                throw std::bad_alloc();
            count(0, 0, 0, 1);
            yieldProgress(dir.url);
            if (shouldFailOnEnumerationError && dir.index < 0)
                throw ScanFailure::rootInaccessible(dir.url, e.code().value());
            if (dir.index < 0)
                branch.topUnreadable = true;
            else
                branch.records[size_t(dir.index)].mark = ScanNodeMark::unreadable;
            continue;
        }
        std::vector<Pending> subdirectories;
        for (const ChildEntry &entry : entries) {
            checkCancelled();
            const NodeResourceValues &v = entry.values;
            ScanNodeRecord r;
            r.kind = v.isPackage ? ScanNodeKind::package
                                 : (v.isDirectory ? ScanNodeKind::directory : ScanNodeKind::file);
            r.url = entry.url;
            r.displayName = v.name;
            r.isHidden = v.isHidden;
            r.isPackage = v.isPackage;
            r.isReadable = v.isReadable;
            r.isSpecial = v.isSpecial;
            r.modifiedAt = v.modifiedAt;
            const NodeSize size = sizing.resolveSize(v);
            r.allocatedSize = size.allocated;
            r.logicalSize = size.logical;
            const qsizetype index = qsizetype(branch.records.size());
            using Boundary = NodeResourceValues::Boundary;
            if (v.boundary == Boundary::kernelFileSystem ||
                (v.boundary == Boundary::otherFileSystem && !options.crossFileSystems)) {
                r.mark = v.boundary == Boundary::kernelFileSystem ? ScanNodeMark::kernelFileSystem
                                                                  : ScanNodeMark::otherFileSystem;
                r.allocatedSize = r.logicalSize = 0; // not entered, not counted
            } else if (isExcluded(entry, r.kind)) {
                r.mark = ScanNodeMark::excluded;
                r.allocatedSize = r.logicalSize = 0;
            } else if (r.kind == ScanNodeKind::file && v.linkCount > 1) {
                r.linkCount = v.linkCount;
                branch.linked.push_back({index, v.file});
            }
            if (r.kind == ScanNodeKind::directory) {
                count(1, 1, 0, 0);
                if (r.mark == ScanNodeMark::none)
                    subdirectories.push_back({r.url, index, dir.depth + 1});
            } else {
                count(1, 0, 1, 0);
            }
            branch.names.push_back(entry.url.nativeLastPathComponent());
            branch.records.push_back(std::move(r));
            branch.parents.push_back(dir.index);
        }
        if (dir.depth < kParallelDepthLimit && subdirectories.size() >= size_t(kMinParallelSubdirectories)) {
            for (Pending &sub : subdirectories) {
                branch.spawned.push_back({sub.index, std::make_unique<Branch>()});
                Branch *into = branch.spawned.back().branch.get();
                pool->submit([this, into, sub] { walk(*into, sub.url, false, sub.depth); });
            }
        } else {
            // Listing order: the first subdirectory is walked first.
            for (auto it = subdirectories.rbegin(); it != subdirectories.rend(); ++it)
                stack.push_back(std::move(*it));
        }
        yieldProgress(dir.url);
    }
}

void ScanEngine::Scan::walk(Branch &branch, const FileUrl &url, bool shouldFailOnEnumerationError, int depth)
{
    using Outcome = Branch::Outcome;
    try {
        scanBranch(branch, url, shouldFailOnEnumerationError, depth);
    } catch (const Cancelled &) {
        branch.outcome = Outcome::cancelled;
        cut = true;
    } catch (const std::bad_alloc &) {
        branch.outcome = Outcome::outOfMemory;
    } catch (const ScanFailure &failure) {
        branch.outcome = Outcome::failed;
        try {
            branch.failure = failure;
        } catch (...) {
            branch.outcome = Outcome::outOfMemory;
        }
    } catch (...) {
        branch.outcome = Outcome::failed;
    }
    if (branch.outcome != Outcome::walked)
        stopped = true; // the scan has failed: the other items stop too
}

// The spawned subtrees spliced into their branches, bottom-up; the first
// walk that did not end well ends the scan.
void ScanEngine::Scan::assemble(Branch &branch, const FileUrl &rootURL, bool userCancelled)
{
    using Outcome = Branch::Outcome;
    for (Branch::Spawned &s : branch.spawned)
        assemble(*s.branch, rootURL, userCancelled);
    const auto fail = [&](const Branch &b) {
        switch (b.outcome) {
        case Outcome::walked: return;
        case Outcome::cancelled:
            if (userCancelled)
                throw Cancelled{};
            return; // stopped because another walk failed: that one says why
        case Outcome::outOfMemory: throw std::bad_alloc();
        case Outcome::failed:
            if (b.failure)
                throw *b.failure;
            throw ScanFailure::ioError(rootURL);
        }
    };
    fail(branch);
    for (Branch::Spawned &s : branch.spawned) {
        fail(*s.branch);
        branch.splice(std::move(*s.branch), s.index);
    }
    branch.spawned.clear();
}

void ScanEngine::Scan::perform(const FileUrl &rootURL)
{
    const QDateTime startedAt = QDateTime::currentDateTimeUtc();
    stream->yield(ScanUpdate::started(rootURL, startedAt));
    try {
        NodeResourceValues values;
        try {
            values = fileSystem->resourceValues(rootURL);
        } catch (const FileSystemError &e) {
            throw ScanFailure::rootInaccessible(rootURL, e.code().value());
        }
        if (!values.isDirectory && !values.isPackage)
            throw ScanFailure::rootInaccessible(rootURL, ENOTDIR);

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
        root.modifiedAt = values.modifiedAt;
        if (values.boundary == NodeResourceValues::Boundary::kernelFileSystem)
            root.mark = ScanNodeMark::kernelFileSystem;
        const QByteArray rootPath = rootURL.nativePath();
        exclusions = options.exclusionsBelow(rootPath);
        belowRootFrom = rootPath.size() + (rootPath.endsWith('/') ? 0 : 1);
        count(1, 1, 0, 0);
        yieldProgress(rootURL);

        const auto factsOf = [](const ScanNodeRecord &r) -> const ScanNodeFacts & { return r; };
        ScanTree tree;
        if (root.kind == ScanNodeKind::directory && root.mark == ScanNodeMark::none) {
            Branch branch;
            {
                bl::WorkPool workers(std::max(1, QThread::idealThreadCount()));
                pool = &workers;
                workers.submit([&] { walk(branch, rootURL, true, 0); });
                workers.run();
                pool = nullptr;
            }
            assemble(branch, rootURL, cancelled.load());
            if (cancelled)
                throw Cancelled{};
            identifyAll(branch, rootURL, root.id);
            // Totals bottom-up: every record comes after its parent.
            root.allocatedSize = root.logicalSize = 0;
            std::vector<qint64> childCounts(branch.records.size(), 0);
            qint64 rootChildren = 0;
            for (qsizetype i = qsizetype(branch.records.size()) - 1; i >= 0; --i) {
                const ScanNodeRecord &r = branch.records[size_t(i)];
                const qsizetype p = branch.parents[size_t(i)];
                ScanNodeRecord &parent = p < 0 ? root : branch.records[size_t(p)];
                if (r.linkCount == 0) { // links are charged below
                    parent.allocatedSize = saturatingAdd(parent.allocatedSize, r.allocatedSize);
                    parent.logicalSize = saturatingAdd(parent.logicalSize, r.logicalSize);
                }
                ++(p < 0 ? rootChildren : childCounts[size_t(p)]);
            }
            // Node 0 is the root, node i + 1 record i.
            const auto recordOf = [&](int64_t node) -> ScanNodeRecord & {
                return node == 0 ? root : branch.records[size_t(node - 1)];
            };
            for (bl::LinkedFile &f : branch.linked)
                ++f.node;
            bl::chargeLinkedFilesOnce(
                branch.linked,
                [&](int64_t node) -> int64_t {
                    return node == 0 ? -1 : int64_t(branch.parents[size_t(node - 1)]) + 1;
                },
                [&](int64_t folder, int64_t file) {
                    ScanNodeRecord &f = recordOf(folder);
                    f.allocatedSize = saturatingAdd(f.allocatedSize, recordOf(file).allocatedSize);
                    f.logicalSize = saturatingAdd(f.logicalSize, recordOf(file).logicalSize);
                });
            root.childCount = rootChildren;
            ScanTree::Builder builder(rootURL, qsizetype(branch.records.size()) + 1);
            builder.add(root.id, -1, {}, factsOf(root));
            builder.setDisplayName(0, root.displayName);
            for (size_t i = 0; i < branch.records.size(); ++i) {
                ScanNodeRecord &r = branch.records[i];
                r.childCount = childCounts[i];
                const qint32 at = builder.add(r.id, qint32(branch.parents[i] + 1), branch.names[i], factsOf(r));
                builder.setDisplayName(at, r.displayName);
                r = ScanNodeRecord(); // its memory goes as the tree grows
            }
            for (const bl::LinkedFile &f : branch.linked)
                builder.setLinkedFile(qint32(f.node), f.file);
            tree = builder.finish();
        } else {
            ScanTree::Builder builder(rootURL, 1);
            builder.add(root.id, -1, {}, factsOf(root));
            builder.setDisplayName(0, root.displayName);
            tree = builder.finish();
        }
        if (cancelled)
            throw Cancelled{};
        ScanSummary summary;
        summary.isPartial = stopRequested && cut;
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

ScanEngine::ScanEngine(std::shared_ptr<const FileSystemProviding> fileSystem, NodeSizingService sizingService,
                       ScanOptionsSource options)
    : fileSystem_(std::move(fileSystem)), sizingService_(sizingService), options_(std::move(options))
{
}

std::shared_ptr<UpdateStream> ScanEngine::startScan(const FileUrl &rootURL)
{
    auto scan = std::make_shared<Scan>();
    scan->fileSystem = fileSystem_;
    scan->sizing = sizingService_;
    if (options_)
        scan->options = options_();
    scan->stream = UpdateStream::create();
    std::weak_ptr<Scan> weak = scan;
    scan->stream->setOnTermination([weak] {
        if (auto s = weak.lock())
            s->cancelled = true;
    });
    scan->stream->setOnStop([weak] {
        if (auto s = weak.lock())
            s->stopRequested = true;
    });
    const FileUrl standardized = rootURL.standardized();
    auto stream = scan->stream;
    executor_.submit([scan, standardized] {
        try {
            scan->perform(standardized);
        } catch (...) {
            // Short of memory before the walk began: it failed.
            try {
                scan->stream->yield(ScanUpdate::failed(ScanFailure::insufficientMemory(standardized)));
            } catch (...) {
            }
            scan->stream->finish();
        }
        scan->stream.reset(); // break the cycle stream -> callback -> scan
    });
    return stream;
}
