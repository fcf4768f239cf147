#include "fast_scan_engine.h"

#include "local_file_system_provider.h"
#include "path_identifiers.h"
#include "stable_scan_node_id.h"
#include "two_threads.h"

#include <QFile>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <thread>
#include <vector>

// Everything that belongs to one scan; the native memory goes with the last holder.
struct FastScanEngine::LiveScanState {
    bl_scan_result_t *scanResult = static_cast<bl_scan_result_t *>(std::calloc(1, sizeof(bl_scan_result_t)));
    int32_t *cancelFlag = static_cast<int32_t *>(std::calloc(1, sizeof(int32_t)));

    LiveScanState()
    {
        if (!scanResult || !cancelFlag)
            throw std::bad_alloc();
    }
    ~LiveScanState()
    {
        bl_scan_result_free(scanResult);
        std::free(scanResult);
        std::free(cancelFlag);
    }
    LiveScanState(const LiveScanState &) = delete;
    LiveScanState &operator=(const LiveScanState &) = delete;
};

namespace {

QDateTime now()
{
    return QDateTime::currentDateTimeUtc();
}

ScanNodeKind kindOf(uint8_t objType)
{
    switch (objType) {
    case BL_OBJ_DIRECTORY: return ScanNodeKind::directory;
    case BL_OBJ_PACKAGE: return ScanNodeKind::package;
    default: return ScanNodeKind::file;
    }
}

bool isDirectoryKind(uint8_t objType)
{
    return objType == BL_OBJ_DIRECTORY || objType == BL_OBJ_PACKAGE;
}

// A flat array as tree nodes: parents from the array's links, identifiers
// from their paths' bytes (PathIdentifiers). Folders are prepared first, in
// order; then identify() may run for any range of nodes from several
// threads at once, a run of siblings (one listing, contiguous) at a time.
class NodeReader {
public:
    // names: the result whose arena holds the records' names.
    NodeReader(const bl_flat_node_t *nodes, int32_t count, const bl_scan_result_t &names, const FileUrl &rootURL)
        : nodes_(nodes), names_(names), count_(count), folderOf_(size_t(count), -1), paths_(rootURL.nativeFilePath())
    {
        folderOf_[0] = 0;
        for (int32_t i = 1; i < count_; ++i)
            if (isDirectoryKind(nodes_[i].obj_type))
                folderOf_[size_t(i)] = paths_.addFolder(folderOf_[size_t(parentOf(i))], rawName(i));
    }

    // Identifiers of from up to to into out[0, to - from), whole sibling
    // runs from the one at from.
    void identify(int32_t from, int32_t to, QUuid *out) const
    {
        const int32_t first = from;
        if (from == 0) {
            out[0] = paths_.topID();
            from = 1;
        }
        std::vector<PathIdentifiers::Child> children;
        PathIdentifiers::Batch batch(paths_);
        for (int32_t i = from; i < to;) {
            const int32_t p = parentOf(i);
            children.clear();
            for (; i < count_ && parentOf(i) == p; ++i)
                children.push_back({rawName(i), &out[i - first]});
            batch.add(folderOf_[size_t(p)], children.data(), qsizetype(children.size()));
        }
    }

    // The end of the run of siblings that i (past the root) is in.
    int32_t runEnd(int32_t i) const
    {
        const int32_t p = parentOf(i);
        while (i < count_ && parentOf(i) == p)
            ++i;
        return i;
    }

    // The first node at or after i that starts a run of siblings.
    int32_t runStart(int32_t i) const
    {
        while (i > 1 && i < count_ && parentOf(i) == parentOf(i - 1))
            ++i;
        return std::min(i, count_);
    }

    // A parent that is not a folder before i stands for the root.
    int32_t parentOf(int32_t i) const
    {
        const int32_t p = nodes_[i].parent_index;
        return p >= 0 && p < i && folderOf_[size_t(p)] >= 0 ? p : 0;
    }

    QByteArrayView rawName(int32_t i) const
    {
        return QByteArrayView(bl_node_name(&names_, &nodes_[i]), qsizetype(nodes_[i].name_length));
    }

    ScanTree::NodeFacts facts(int32_t i) const
    {
        const bl_flat_node_t &n = nodes_[i];
        ScanTree::NodeFacts f;
        f.kind = kindOf(n.obj_type);
        f.isHidden = n.is_hidden != 0;
        f.isPackage = n.is_package != 0;
        f.isReadable = n.is_readable != 0;
        f.isSpecial = n.obj_type == BL_OBJ_SYMLINK || n.obj_type == BL_OBJ_OTHER;
        f.allocatedSize = saturated(n.allocated_size);
        f.logicalSize = saturated(n.logical_size);
        f.modifiedAt = n.modified_time;
        f.childCount = n.child_count;
        return f;
    }

    static qint64 saturated(uint64_t size) { return size > uint64_t(INT64_MAX) ? INT64_MAX : qint64(size); }

private:
    const bl_flat_node_t *nodes_;
    const bl_scan_result_t &names_;
    int32_t count_;
    std::vector<int32_t> folderOf_;
    PathIdentifiers paths_;
};

// A cancellable 200 ms ticker for the poll thread.
class PollSignal {
public:
    explicit PollSignal(int intervalMs) : intervalMs_(intervalMs) {}

    bool waitOneRound()
    {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(intervalMs_), [this] { return cancelled_; });
        return !cancelled_;
    }
    void cancel()
    {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        cv_.notify_all();
    }

private:
    const int intervalMs_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool cancelled_ = false;
};

// The marks of the first count records, in node order.
std::vector<bl_node_mark_t> marksOf(const bl_scan_result_t *r, int32_t count)
{
    std::vector<bl_node_mark_t> marks;
    bl_node_mark_t chunk[256];
    for (int32_t got; (got = bl_get_marks(r, int32_t(marks.size()), chunk, 256)) > 0;) {
        for (int32_t k = 0; k < got; ++k) {
            if (chunk[k].node_index >= count)
                return marks;
            marks.push_back(chunk[k]);
        }
    }
    return marks;
}

ScanNodeMark markOf(int32_t kind)
{
    switch (kind) {
    case BL_MARK_OTHER_FS: return ScanNodeMark::otherFileSystem;
    case BL_MARK_KERNEL_FS: return ScanNodeMark::kernelFileSystem;
    case BL_MARK_EXCLUDED: return ScanNodeMark::excluded;
    default: return ScanNodeMark::none;
    }
}

// What the array says of its first count nodes beside their columns: the
// root's display name and the marks, in node order; position maps a record
// to its node (none: the same).
void describeNodes(ScanTree::Builder &builder, const NodeReader &reader, int32_t count,
                   const std::vector<bl_node_mark_t> &marks, const FileUrl &rootURL,
                   const std::vector<int32_t> &position = {})
{
    builder.setDisplayName(0, FastScanEngine::displayName(0, QString::fromUtf8(reader.rawName(0)), rootURL));
    for (const bl_node_mark_t &m : marks) {
        if (m.node_index < 0 || m.node_index >= count)
            continue;
        const int32_t at = position.empty() ? m.node_index : position[size_t(m.node_index)];
        if (m.kind == BL_MARK_HARD_LINK)
            builder.setLinkCount(at, m.link_count);
        else
            builder.setMark(at, markOf(m.kind));
    }
}

// Where each record goes in the tree: breadth first, each folder's children
// after the children of the folders before it, so that a folder's children
// are a range of nodes and need no list (ScanTree's rows). Empty without
// the children index.
std::vector<int32_t> breadthFirstPositions(const bl_scan_result_t &result)
{
    const int32_t n = result.node_count;
    if (!result.children || n < 1)
        return {};
    std::vector<int32_t> order(static_cast<size_t>(n)); // node -> record
    std::vector<int32_t> position(static_cast<size_t>(n), -1);
    int32_t next = 1;
    order[0] = 0;
    for (int32_t k = 0; k < next; ++k) {
        const bl_flat_node_t &node = result.nodes[order[size_t(k)]];
        for (int32_t c = 0; c < node.child_count && next < n; ++c)
            order[size_t(next++)] = result.children[node.first_child + c];
    }
    if (next != n)
        return {}; // a record not reached from the root: keep the array's order
    for (int32_t k = 0; k < n; ++k)
        position[size_t(order[size_t(k)])] = k;
    return position;
}

// The nodes of a flat array in a builder: ids from identify(), marks in node order.
void addNodes(ScanTree::Builder &builder, const NodeReader &reader, int32_t count, const std::vector<QUuid> &ids,
              const std::vector<bl_node_mark_t> &marks, const FileUrl &rootURL)
{
    for (int32_t i = 0; i < count; ++i)
        builder.add(ids[size_t(i)], i == 0 ? -1 : reader.parentOf(i), reader.rawName(i), reader.facts(i));
    describeNodes(builder, reader, count, marks, rootURL);
}

qsizetype nameBytesOf(const NodeReader &reader, int32_t count)
{
    qsizetype total = 0;
    for (int32_t i = 1; i < count; ++i)
        total += reader.rawName(i).size();
    return total;
}

ProgressSnapshot countersOf(const bl_scan_result_t *r, std::optional<FileUrl> current = std::nullopt)
{
    return ProgressSnapshot{bl_get_items_scanned(r), bl_get_dirs_scanned(r),
                            bl_get_files_scanned(r), bl_get_unreadable_count(r),
                            std::move(current)};
}

} // namespace

std::shared_ptr<UpdateStream> FastScanEngine::startScan(const FileUrl &rootURL)
{
    auto state = std::make_shared<LiveScanState>();
    auto stream = UpdateStream::create();
    const FileUrl standardized = rootURL.standardized();
    // The termination callback holds the state, so the native memory
    // outlives a consumer that walks away while the scan still runs.
    stream->setOnTermination([state] { bl_request_cancel(state->cancelFlag); });
    stream->setOnStop([state] { bl_request_stop(state->cancelFlag); });
    const int interval = pollIntervalMs_;
    const int niceness = niceness_;
    const ScanOptions options = options_ ? options_() : ScanOptions{};
    executor_.submit([standardized, stream, state, interval, niceness, options, cancelled = cancelled_] {
        try {
            performScan(standardized, stream, state, interval, niceness, options, *cancelled);
        } catch (...) {
            // Short of memory for the scan's own bookkeeping: it failed.
            try {
                stream->yield(ScanUpdate::failed(ScanFailure::insufficientMemory(standardized)));
            } catch (...) {
            }
            stream->finish();
        }
    });
    return stream;
}

void FastScanEngine::performScan(const FileUrl &rootURL, const std::shared_ptr<UpdateStream> &stream,
                                 const std::shared_ptr<LiveScanState> &state, int pollIntervalMs,
                                 int niceness, const ScanOptions &scanOptions, std::atomic<int> &cancelled)
{
    // The scan's threads (this one, the poller and the core's pool, which
    // inherit it) yield to the window's main thread when the cores are busy.
    // Only the window asks for it: the executor serves that engine alone.
    if (niceness > 0)
        setpriority(PRIO_PROCESS, id_t(gettid()), niceness);
    const QDateTime startedAt = now();
    stream->yield(ScanUpdate::started(rootURL, startedAt));
    const QByteArray rootPath = rootURL.nativePath();

    PollSignal poll(pollIntervalMs);
    // The live view is a courtesy: short of memory for it, the scan goes on
    // without it.
    const auto pollLoop = [&poll, stream, state, rootURL] {
        std::vector<bl_flat_node_t> buffer(static_cast<size_t>(kSnapshotCap));
        int32_t lastCount = -1;
        uint64_t lastAllocated = 0, lastLogical = 0;
        while (poll.waitOneRound()) {
            stream->yield(ScanUpdate::progress(countersOf(state->scanResult)));
            const int32_t n = bl_snapshot_nodes(state->scanResult, buffer.data(), kSnapshotCap);
            // Also when only the totals grew: past the cap the records stay
            // the same while what lies below them keeps growing.
            if (n >= 1 && (n != lastCount || buffer[0].allocated_size != lastAllocated ||
                           buffer[0].logical_size != lastLogical)) {
                try {
                    if (auto tree = buildSnapshotTree(buffer.data(), n, *state->scanResult, rootURL,
                                                      marksOf(state->scanResult, n)))
                        stream->yield(ScanUpdate::intermediateTree(*tree));
                } catch (const std::bad_alloc &) {
                    continue; // the next round tries again
                }
                lastCount = n;
                lastAllocated = buffer[0].allocated_size;
                lastLogical = buffer[0].logical_size;
            }
        }
    };
    std::thread poller;
    try {
        poller = std::thread([pollLoop] {
            try {
                pollLoop();
            } catch (const std::bad_alloc &) {
            }
        });
    } catch (const std::system_error &) {
    }
    // No poll update may follow the final ones, however this function ends.
    struct StopPolling {
        PollSignal &poll;
        std::thread &poller;
        ~StopPolling()
        {
            poll.cancel();
            if (poller.joinable())
                poller.join();
        }
    } stopPolling{poll, poller};

    bl_scan_options_t options{};
    options.cross_file_systems = scanOptions.crossFileSystems ? 1 : 0;
    std::vector<const char *> patterns;
    for (const QByteArray &p : scanOptions.excludePatterns)
        patterns.push_back(p.constData());
    options.exclude_patterns = patterns.data();
    options.exclude_pattern_count = int32_t(patterns.size());
    options.exclude_caches = scanOptions.excludeCaches ? 1 : 0;
    const int status = bl_full_scan_opts(rootPath.constData(), state->scanResult, state->cancelFlag, &options);
    poll.cancel();
    if (poller.joinable())
        poller.join();

    bl_scan_result_t *result = state->scanResult;
    if (status == 1) {
        ++cancelled;
        stream->yield(ScanUpdate::cancelled());
    } else if ((status != 0 && status != 2) || result->node_count < 1) {
        stream->yield(ScanUpdate::failed(options.error == ENOMEM ? ScanFailure::insufficientMemory(rootURL)
                                                                 : ScanFailure::rootInaccessible(rootURL, options.error)));
    } else {
        std::optional<ScanTree> tree;
        try {
            tree = buildTree(*result, rootURL, true);
            // The native array is six times the tree: it goes before the
            // tree travels on (the counters stay readable).
            bl_scan_result_free(result);
            // The scan's and the build's scratch (many small blocks, some on
            // the pool threads' arenas) would otherwise stay resident.
            malloc_trim(0);
        } catch (const std::bad_alloc &) {
            stream->yield(ScanUpdate::failed(ScanFailure::insufficientMemory(rootURL)));
            stream->finish();
            return;
        }
        const ProgressSnapshot counters = countersOf(result, rootURL);
        if (std::atomic_ref<int32_t>(*state->cancelFlag).load(std::memory_order_relaxed) == 1) {
            ++cancelled; // nobody waits for this tree any more
            stream->yield(ScanUpdate::cancelled());
        } else if (!tree) {
            stream->yield(ScanUpdate::failed(ScanFailure::ioError(rootURL)));
        } else {
            ScanSummary summary;
            summary.rootURL = rootURL;
            summary.startedAt = startedAt;
            summary.finishedAt = now();
            summary.itemsScanned = counters.itemsScanned;
            summary.directoriesScanned = counters.directoriesScanned;
            summary.filesScanned = counters.filesScanned;
            summary.unreadableCount = counters.unreadableCount;
            summary.isPartial = status == 2;
            const auto root = tree->rootNode();
            summary.totalAllocatedSize = root ? root->allocatedSize : 0;
            stream->yield(ScanUpdate::progress(counters));
            stream->yield(ScanUpdate::finished(*tree, summary));
        }
    }
    stream->finish();
}

std::optional<ScanTree> FastScanEngine::buildSnapshotTree(const bl_flat_node_t *nodes, int32_t count,
                                                          const bl_scan_result_t &names, const FileUrl &rootURL,
                                                          const std::vector<bl_node_mark_t> &marks)
{
    if (count < 1)
        return std::nullopt;
    const NodeReader reader(nodes, count, names, rootURL);
    std::vector<QUuid> ids(static_cast<size_t>(count));
    reader.identify(0, count, ids.data());
    ScanTree::Builder builder(rootURL, count, nameBytesOf(reader, count));
    addNodes(builder, reader, count, ids, marks, rootURL);
    return builder.finish();
}

std::optional<ScanTree> FastScanEngine::buildTree(bl_scan_result_t &result, const FileUrl &rootURL, bool consume)
{
    const int32_t n = result.node_count;
    if (n <= 0 || !result.nodes)
        return std::nullopt;
    const bl_flat_node_t *nodes = result.nodes;
    const NodeReader reader(nodes, n, result, rootURL);
    // Folders that could not be listed, wholly or in part.
    std::vector<int32_t> unreadable;
    {
        std::vector<bl_unreadable_t> listed(size_t(bl_get_unreadable_count(&result)));
        const int32_t got = bl_get_unreadable(&result, listed.data(), int32_t(listed.size()));
        for (int32_t k = 0; k < got; ++k) {
            const int32_t i = listed[size_t(k)].node_index;
            if (i >= 0 && i < n && isDirectoryKind(nodes[i].obj_type))
                unreadable.push_back(i);
        }
    }
    const std::vector<bl_node_mark_t> marks = marksOf(&result, n);
    const std::vector<int32_t> position = breadthFirstPositions(result);
    if (consume)
        bl_release_children(&result); // the records' parents say the rest
    const auto at = [&position](int32_t i) { return position.empty() ? i : position[size_t(i)]; };

    std::vector<quint32> nameEnds(static_cast<size_t>(n));
    for (int32_t i = 1; i < n; ++i)
        nameEnds[size_t(at(i))] = quint32(nodes[i].name_length); // lengths first, by node
    quint64 nameBytes = 0;
    for (int32_t k = 0; k < n; ++k) {
        nameBytes += nameEnds[size_t(k)];
        if (nameBytes > std::numeric_limits<quint32>::max())
            throw std::bad_alloc();
        nameEnds[size_t(k)] = quint32(nameBytes);
    }
    ScanTree::Builder builder(rootURL, n, qsizetype(nameBytes));
    // Each folder lists the children the index gave it: no counts to keep.
    builder.allocate(std::move(nameEnds), false);
    // Nodes from up to to, whole sibling runs from the one at from; with
    // consume, the stretches done go back to the system as it goes.
    constexpr int32_t kStretch = 1 << 14;
    const auto fill = [&](int32_t from, int32_t to, std::vector<int32_t> &packages) {
        std::vector<QUuid> ids;
        int32_t released = from;
        for (int32_t i = from; i < to;) {
            // Several runs at once, so that small folders' children are
            // identified together.
            const int32_t first = i;
            i = i == 0 ? 1 : reader.runEnd(i);
            while (i < to && i - first < 256)
                i = reader.runEnd(i);
            ids.resize(size_t(i - first));
            reader.identify(first, i, ids.data());
            for (int32_t k = first; k < i; ++k) {
                const ScanTree::NodeFacts facts = reader.facts(k);
                const int32_t p = k == 0 ? -1 : reader.parentOf(k);
                builder.setNode(at(k), ids[size_t(k - first)], p < 0 ? -1 : at(p), reader.rawName(k), facts);
                if (facts.kind == ScanNodeKind::package)
                    packages.push_back(at(k));
            }
            if (consume && i - released >= kStretch) {
                bl_release_nodes(&result, released, i); // the reader looks back at parents' indices only
                released = i;
            }
        }
    };
    // The scan has left the other cores idle: a large tree is built on two,
    // split where a run of siblings begins.
    std::vector<int32_t> packages, laterPackages;
    if (n >= 20000) {
        const int32_t middle = reader.runStart(n / 2);
        runOnTwoThreads([&] { fill(0, middle, packages); }, [&] { fill(middle, n, laterPackages); });
    } else {
        fill(0, n, packages);
    }
    packages.insert(packages.end(), laterPackages.begin(), laterPackages.end());
    describeNodes(builder, reader, n, marks, rootURL, position);
    for (const int32_t i : unreadable)
        builder.setMark(at(i), ScanNodeMark::unreadable);
    for (const int32_t i : packages) {
        const auto measured = packageSize(builder.url(i), builder.allocatedSize(i), builder.logicalSize(i));
        if (!measured)
            continue;
        const qint64 dA = measured->allocated - builder.allocatedSize(i);
        const qint64 dL = measured->logical - builder.logicalSize(i);
        if (!dA && !dL)
            continue;
        // Every ancestor comes before its node.
        for (qint32 a = i; a >= 0; a = builder.parentOf(a))
            builder.addSizes(a, dA, dL);
    }
    bl_linked_file_t linked[256];
    for (int32_t from = 0, got; (got = bl_get_linked_files(&result, from, linked, 256)) > 0; from += got) {
        for (int32_t k = 0; k < got; ++k) {
            if (linked[k].node_index >= 0 && linked[k].node_index < n)
                builder.setLinkedFile(at(linked[k].node_index), linked[k].file);
        }
    }
    return builder.finish();
}

std::optional<NodeSize> FastScanEngine::packageSize(const FileUrl &url, qint64 fallbackAllocated,
                                                    qint64 fallbackLogical)
{
    LocalFileSystemProvider fileSystem;
    try {
        const NodeResourceValues own = fileSystem.resourceValues(url);
        const qint64 a = own.totalFileAllocatedSize.value_or(0);
        const qint64 l = own.totalFileSize.value_or(0);
        if (a > fallbackAllocated || l > fallbackLogical)
            return NodeSize{std::max(a, fallbackAllocated), std::max(l, fallbackLogical)};
    } catch (const FileSystemError &) {
    }

    // Everything below, hidden files and nested packages included; links
    // are counted, not followed. Directories themselves weigh nothing.
    NodeSize size{std::max<qint64>(fallbackAllocated, 0), std::max<qint64>(fallbackLogical, 0)};
    QList<FileUrl> pending;
    const auto add = [&](const QList<ChildEntry> &entries) {
        for (const ChildEntry &e : entries) {
            if (e.values.isDirectory) {
                pending.append(e.url);
                continue;
            }
            const qint64 fs = e.values.fileSize.value_or(0);
            const qint64 fa = e.values.fileAllocatedSize.value_or(fs);
            size.logical += std::max<qint64>(fs, 0);
            size.allocated += std::max<qint64>(fa, 0);
        }
    };
    try {
        add(fileSystem.childEntries(url));
    } catch (const FileSystemError &) {
        return std::nullopt;
    }
    while (!pending.isEmpty()) {
        try {
            add(fileSystem.childEntries(pending.takeLast()));
        } catch (const FileSystemError &) {
            // an unlistable folder inside contributes nothing
        }
    }
    return size;
}

QString FastScanEngine::displayName(int32_t index, const QString &rawName, const FileUrl &rootURL)
{
    if (index != 0 || !rawName.isEmpty())
        return rawName;
    const QString last = rootURL.lastPathComponent();
    return last.isEmpty() ? rootURL.path() : last;
}
