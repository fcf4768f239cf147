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
    std::unique_ptr<bl::StartedScan> started; // the walk begun before the scan was asked for, if it was
    bl_scan_result_t *scanResult;
    int32_t *cancelFlag;

    explicit LiveScanState(std::unique_ptr<bl::StartedScan> walk)
        : started(std::move(walk)),
          scanResult(started ? started->result()
                             : static_cast<bl_scan_result_t *>(std::calloc(1, sizeof(bl_scan_result_t)))),
          cancelFlag(started ? started->cancelFlag() : static_cast<int32_t *>(std::calloc(1, sizeof(int32_t))))
    {
        if (!scanResult || !cancelFlag) {
            if (!started) {
                std::free(scanResult);
                std::free(cancelFlag);
            }
            throw std::bad_alloc();
        }
    }
    ~LiveScanState()
    {
        if (started)
            return; // it frees its own
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

// Set bits of a word. The build assumes no POPCNT instruction, and
// std::popcount then calls into libgcc once a record.
inline quint32 bitsSet(quint64 x)
{
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return quint32((x * 0x0101010101010101ULL) >> 56);
}

// Which of a scan's records are folders, and each folder's number among
// them: a bit a record and a count every 64, not an index a record.
class BitRanks {
public:
    explicit BitRanks(int32_t count) : bits_(size_t(count) / 64 + 1), before_(bits_.size()) {}
    // Records are added in order, each once reach()ed: counts of the words
    // before its own are known by then.
    void reach(int32_t i)
    {
        if (const size_t w = size_t(i) / 64; i % 64 == 0 && w > 0)
            before_[w] = before_[w - 1] + bitsSet(bits_[w - 1]);
    }
    void add(int32_t i) { bits_[size_t(i) / 64] |= quint64(1) << (i % 64); }
    bool has(int32_t i) const { return bits_[size_t(i) / 64] >> (i % 64) & 1; }
    // Added records before i.
    int32_t rank(int32_t i) const
    {
        const quint64 below = bits_[size_t(i) / 64] & ((quint64(1) << (i % 64)) - 1);
        return int32_t(before_[size_t(i) / 64] + bitsSet(below));
    }

private:
    std::vector<quint64> bits_;
    std::vector<quint32> before_;
};

// A flat array as tree nodes: parents from the array's links, identifiers
// from their paths' bytes (PathIdentifiers). Folders are prepared first, in
// order; then identify() may run for any range of nodes from several
// threads at once, a run of siblings (one listing, contiguous) at a time.
class NodeReader {
public:
    // names: the result whose arena holds the records' names.
    NodeReader(const bl_flat_node_t *nodes, int32_t count, const bl_scan_result_t &names, const FileUrl &rootURL)
        : nodes_(nodes), names_(names), count_(count), folders_(count), paths_(rootURL.nativeFilePath())
    {
        folders_.add(0);
        for (int32_t i = 1; i < count_; ++i) {
            folders_.reach(i);
            if (isDirectoryKind(nodes_[i].obj_type)) {
                paths_.addFolder(folderOf(parentOf(i)), rawName(i)); // numbered as folders_ ranks them
                folders_.add(i);
            }
        }
    }

    int32_t count() const { return count_; }
    // Folders are numbered in record order, the root 0.
    int32_t folderCount() const { return paths_.folderCount(); }
    bool isFolder(int32_t i) const { return folders_.has(i); }
    int32_t folderOf(int32_t i) const { return folders_.rank(i); }

    // Identifiers of from up to to into out[0, to - from).
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
            for (; i < to && parentOf(i) == p; ++i)
                children.push_back({rawName(i), &out[i - first]});
            batch.add(folderOf(p), children.data(), qsizetype(children.size()));
        }
    }

    // The end of the run of siblings that i (past the root) is in, or limit.
    int32_t runEnd(int32_t i, int32_t limit) const
    {
        const int32_t p = parentOf(i);
        while (i < limit && parentOf(i) == p)
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
        return p >= 0 && p < i && folders_.has(p) ? p : 0;
    }

    int32_t nameLength(int32_t i) const { return nodes_[i].name_length; }

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
    BitRanks folders_;
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
// root's display name (from its raw name) and the marks, in node order,
// each at the node of its record.
void describeNodes(ScanTree::Builder &builder, QByteArrayView rootName, int32_t count,
                   const std::vector<bl_node_mark_t> &marks, const FileUrl &rootURL)
{
    builder.setDisplayName(0, FastScanEngine::displayName(0, QString::fromUtf8(rootName), rootURL));
    for (const bl_node_mark_t &m : marks) {
        if (m.node_index < 0 || m.node_index >= count)
            continue;
        if (m.kind == BL_MARK_HARD_LINK)
            builder.setLinkCount(m.node_index, m.link_count);
        else
            builder.setMark(m.node_index, markOf(m.kind));
    }
}

// Bytes of the names of the first count records (the root's is not kept).
qsizetype nameBytesOf(const NodeReader &reader, int32_t count)
{
    qsizetype total = 0;
    for (int32_t i = 1; i < count; ++i)
        total += reader.nameLength(i);
    return total;
}

// Where each record goes in the tree, and its name among the tree's names:
// breadth first, each folder's children after the children of the folders
// before it, so that a folder's children are a range of nodes and need no
// list (ScanTree's rows). A folder's children are one run of records (its
// listing appended them together), so where each folder's run lies is all
// it takes: a few bytes a folder, not an index a record. Where the records
// are not so, the array's order is kept.
class Placement {
public:
    explicit Placement(const NodeReader &reader) : reader_(reader)
    {
        const int32_t n = reader.count();
        std::vector<Run> runs(size_t(reader.folderCount()));
        for (int32_t i = 1; i < n; ++i) {
            Run &r = runs[size_t(reader.folderOf(reader.parentOf(i)))];
            if (r.count == 0)
                r.record = i;
            else if (r.record + r.count != i) {
                keepOrder();
                return;
            }
            ++r.count;
        }
        std::vector<int32_t> queue{0};
        queue.reserve(runs.size());
        int32_t next = 1;
        quint64 names = 0;
        for (size_t k = 0; k < queue.size(); ++k) {
            Run &r = runs[size_t(reader.folderOf(queue[k]))];
            r.node = next;
            r.name = quint32(names);
            for (int32_t c = r.record; c < r.record + r.count; ++c, ++next) {
                names += quint64(reader.nameLength(c));
                if (reader.isFolder(c)) {
                    runs[size_t(reader.folderOf(c))].self = next;
                    queue.push_back(c);
                }
            }
            if (names > std::numeric_limits<quint32>::max())
                throw std::bad_alloc();
        }
        runs_ = std::move(runs);
        nameBytes_ = quint32(names);
    }

    bool keepsOrder() const { return runs_.empty(); }
    quint32 nameBytes() const { return nameBytes_; }

    // The node of record i, while its record can be read; parent: its
    // parent's record, where known.
    int32_t at(int32_t i) const { return i == 0 ? 0 : at(i, reader_.parentOf(i)); }
    int32_t at(int32_t i, int32_t parent) const
    {
        if (keepsOrder() || i == 0)
            return i;
        const Run &r = runs_[size_t(reader_.folderOf(parent))];
        return r.node + (i - r.record);
    }
    // The node of a folder's record, also once the record is gone.
    int32_t folderAt(int32_t i) const { return keepsOrder() ? i : runs_[size_t(reader_.folderOf(i))].self; }
    // Where the names of the run of siblings that starts at record i (or
    // the end) start; in the array's order, by adding up the names before it.
    quint32 nameStart(int32_t i) const
    {
        if (i == 0)
            return 0;
        if (i >= reader_.count())
            return nameBytes_;
        return keepsOrder() ? quint32(nameBytesOf(reader_, i)) : runs_[size_t(reader_.folderOf(reader_.parentOf(i)))].name;
    }

private:
    void keepOrder()
    {
        const qsizetype names = nameBytesOf(reader_, reader_.count());
        if (names > qsizetype(std::numeric_limits<quint32>::max()))
            throw std::bad_alloc();
        nameBytes_ = quint32(names);
    }

    // A folder's children: their records, their nodes and their names' start.
    struct Run {
        int32_t record = -1;
        int32_t count = 0;
        int32_t node = 0;
        int32_t self = 0; // the folder's own node
        quint32 name = 0;
    };
    const NodeReader &reader_;
    std::vector<Run> runs_;
    quint32 nameBytes_ = 0;
};

// The nodes of a flat array in a builder: ids from identify(), marks in node order.
void addNodes(ScanTree::Builder &builder, const NodeReader &reader, int32_t count, const std::vector<QUuid> &ids,
              const std::vector<bl_node_mark_t> &marks, const FileUrl &rootURL)
{
    for (int32_t i = 0; i < count; ++i)
        builder.add(ids[size_t(i)], i == 0 ? -1 : reader.parentOf(i), reader.rawName(i), reader.facts(i));
    describeNodes(builder, reader.rawName(0), count, marks, rootURL);
}

ProgressSnapshot countersOf(const bl_scan_result_t *r, std::optional<FileUrl> current = std::nullopt)
{
    return ProgressSnapshot{bl_get_items_scanned(r), bl_get_dirs_scanned(r),
                            bl_get_files_scanned(r), bl_get_unreadable_count(r),
                            std::move(current)};
}

} // namespace

void FastScanEngine::takeStartedScan(std::unique_ptr<bl::StartedScan> walk)
{
    started_ = std::move(walk);
}

std::shared_ptr<UpdateStream> FastScanEngine::startScan(const FileUrl &rootURL)
{
    const FileUrl standardized = rootURL.standardized();
    const ScanOptions options = options_ ? options_() : ScanOptions{};
    // A walk begun for another folder or other choices is of no use: it goes.
    std::unique_ptr<bl::StartedScan> started = std::move(started_);
    if (started && (options != ScanOptions{} || QByteArrayView(started->rootPath()) != standardized.nativePath()))
        started.reset();
    auto state = std::make_shared<LiveScanState>(std::move(started));
    auto stream = UpdateStream::create();
    // The termination callback holds the state, so the native memory
    // outlives a consumer that walks away while the scan still runs.
    stream->setOnTermination([state] { bl_request_cancel(state->cancelFlag); });
    stream->setOnStop([state] { bl_request_stop(state->cancelFlag); });
    const int interval = pollIntervalMs_;
    const int niceness = niceness_;
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
    const QDateTime startedAt = state->started ? QDateTime::fromMSecsSinceEpoch(state->started->startedAtMs(), Qt::UTC)
                                               : now();
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
    options.no_children_index = 1; // the tree is built from each folder's run of records
    const int status = state->started ? state->started->wait(&options.error)
                                      : bl_full_scan_opts(rootPath.constData(), state->scanResult, state->cancelFlag, &options);
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
    if (consume)
        bl_release_children(&result); // made by a scan asked for one: not needed here
    const NodeReader reader(result.nodes, n, result, rootURL);
    const Placement placement(reader);
    // What the scan tells of records by index, at their nodes: with
    // consume, the records go back to the system as the nodes are made.
    std::vector<int32_t> unreadable; // folders that could not be listed, wholly or in part
    {
        std::vector<bl_unreadable_t> listed(size_t(bl_get_unreadable_count(&result)));
        const int32_t got = bl_get_unreadable(&result, listed.data(), int32_t(listed.size()));
        for (int32_t k = 0; k < got; ++k) {
            const int32_t i = listed[size_t(k)].node_index;
            if (i >= 0 && i < n && reader.isFolder(i))
                unreadable.push_back(placement.folderAt(i));
        }
    }
    std::vector<bl_node_mark_t> marks = marksOf(&result, n);
    for (bl_node_mark_t &m : marks)
        if (m.node_index >= 0 && m.node_index < n)
            m.node_index = placement.at(m.node_index);
    std::vector<bl_linked_file_t> linked;
    {
        bl_linked_file_t chunk[256];
        for (int32_t got; (got = bl_get_linked_files(&result, int32_t(linked.size()), chunk, 256)) > 0;)
            linked.insert(linked.end(), chunk, chunk + got);
        for (bl_linked_file_t &l : linked)
            if (l.node_index >= 0 && l.node_index < n)
                l.node_index = placement.at(l.node_index);
    }
    const QByteArray rootName = reader.rawName(0).toByteArray();

    ScanTree::Builder builder(rootURL, n, qsizetype(placement.nameBytes()));
    builder.allocate(n, placement.nameBytes());
    // Nodes from up to to, whole sibling runs from the one at from, whose
    // names start at nameFrom; with consume, the stretches done go back to
    // the system as it goes, also within a folder of a million files.
    constexpr int32_t kStretch = 1 << 14;
    constexpr int32_t kBlock = 1 << 12;
    const auto fill = [&](int32_t from, int32_t to, quint32 nameFrom, std::vector<int32_t> &packages) {
        std::vector<QUuid> ids;
        int32_t released = from;
        int32_t runParent = -2;
        for (int32_t i = from; i < to;) {
            // Several runs at once, so that small folders' children are
            // identified together.
            const int32_t first = i;
            const int32_t limit = std::min(to, first + kBlock);
            i = i == 0 ? 1 : reader.runEnd(i, limit);
            while (i < limit && i - first < 256)
                i = reader.runEnd(i, limit);
            ids.resize(size_t(i - first));
            reader.identify(first, i, ids.data());
            for (int32_t k = first; k < i; ++k) {
                const ScanTree::NodeFacts facts = reader.facts(k);
                const int32_t p = k == 0 ? -1 : reader.parentOf(k);
                if (p != runParent && k != from && !placement.keepsOrder())
                    nameFrom = placement.nameStart(k);
                runParent = p;
                const QByteArrayView name = k == 0 ? QByteArrayView() : reader.rawName(k);
                const int32_t at = placement.at(k, p);
                builder.setNode(at, nameFrom, ids[size_t(k - first)], p < 0 ? -1 : placement.folderAt(p), name, facts);
                nameFrom += quint32(name.size());
                if (facts.kind == ScanNodeKind::package)
                    packages.push_back(at);
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
        const quint32 middleName = placement.nameStart(middle);
        runOnTwoThreads([&] { fill(0, middle, 0, packages); }, [&] { fill(middle, n, middleName, laterPackages); });
    } else {
        fill(0, n, 0, packages);
    }
    packages.insert(packages.end(), laterPackages.begin(), laterPackages.end());
    describeNodes(builder, rootName, n, marks, rootURL);
    for (const int32_t i : unreadable)
        builder.setMark(i, ScanNodeMark::unreadable);
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
    for (const bl_linked_file_t &l : linked)
        if (l.node_index >= 0 && l.node_index < n)
            builder.setLinkedFile(l.node_index, l.file);
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
