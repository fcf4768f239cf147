#include "fast_scan_engine.h"

#include "local_file_system_provider.h"
#include "stable_scan_node_id.h"

#include <QFile>
#include <QStringDecoder>
#include <sys/resource.h>
#include <unistd.h>
#include <atomic>
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

// A node's raw name as text; invalid UTF-8 is repaired, and the identifier
// then hashes the repaired text.
struct DecodedName {
    QString text;
    QByteArray repaired; // empty when the raw bytes are the text's own
};

DecodedName decodeName(QByteArrayView raw)
{
    bool ascii = true;
    for (const char c : raw)
        ascii = ascii && uchar(c) < 0x80;
    if (ascii)
        return {QString::fromLatin1(raw), {}};
    QStringDecoder decoder(QStringDecoder::Utf8);
    DecodedName name{decoder(raw), {}};
    if (decoder.hasError())
        name.repaired = name.text.toUtf8();
    return name;
}

// Records of a flat array with URLs rebuilt from parent links and
// identifiers from their paths. Folders are prepared first, in order; then
// build() may run for any records from several threads at once.
class RecordBuilder {
public:
    RecordBuilder(const bl_flat_node_t *nodes, int32_t count, const FileUrl &rootURL)
        : nodes_(nodes), count_(count), rootURL_(rootURL), ids_(size_t(count)),
          folderOf_(size_t(count), -1)
    {
        rootPath_ = rootURL.path().toUtf8();
        for (int32_t i = 0; i < count_; ++i)
            if (i == 0 || isDirectoryKind(nodes_[i].obj_type))
                prepareFolder(i);
    }

    ScanNodeRecord build(int32_t i)
    {
        const bl_flat_node_t &n = nodes_[i];
        const int32_t p = parentOf(i);
        ScanNodeRecord r;
        if (folderOf_[size_t(i)] >= 0) {
            const Folder &own = folders_[size_t(folderOf_[size_t(i)])];
            r.url = own.url;
            r.id = own.id;
            r.displayName = own.displayName;
        } else {
            Identity identity = identify(i, false, nullptr);
            r.url = std::move(identity.url);
            r.id = identity.id;
            r.displayName = std::move(identity.displayName);
        }
        if (p >= 0)
            r.parentID = ids_[size_t(p)];
        ids_[size_t(i)] = r.id;
        r.kind = kindOf(n.obj_type);
        r.isHidden = n.is_hidden != 0;
        r.isPackage = n.is_package != 0;
        r.isReadable = n.is_readable != 0;
        r.allocatedSize = qint64(n.allocated_size);
        r.logicalSize = qint64(n.logical_size);
        r.childCount = n.child_count;
        return r;
    }

    const QUuid &id(int32_t i) const { return ids_[size_t(i)]; }

private:
    struct Folder {
        FileUrl url;
        FileUrl::Folder handle;
        QByteArray path;
        QUuid id;
        QString displayName;
    };

    QByteArrayView rawName(int32_t i) const
    {
        return QByteArrayView(nodes_[i].name, qsizetype(strnlen(nodes_[i].name, sizeof nodes_[i].name)));
    }

    // A parent that is not a prepared folder before i stands for the root.
    int32_t parentOf(int32_t i) const
    {
        const int32_t p = nodes_[i].parent_index;
        return i > 0 && p >= 0 && p < i && folderOf_[size_t(p)] >= 0 ? p : -1;
    }

    QUuid rootID() const { return stableScanNodeID(QByteArrayView(rootPath_), QByteArrayView()); }

    struct Identity {
        FileUrl url;
        QUuid id;
        QString displayName;
    };

    // URL, identifier and name of node i; path receives its UTF-8 path. A
    // node without a prepared parent folder stands for the root.
    Identity identify(int32_t i, bool isFolder, QByteArray *path) const
    {
        const int32_t p = parentOf(i);
        if (p < 0) {
            if (path)
                *path = rootPath_;
            return {rootURL_, rootID(), FastScanEngine::displayName(i, QString::fromUtf8(rawName(i)), rootURL_)};
        }
        const Folder &parent = folders_[size_t(folderOf_[size_t(p)])];
        const DecodedName name = decodeName(rawName(i));
        const QByteArrayView bytes = name.repaired.isEmpty() ? rawName(i) : QByteArrayView(name.repaired);
        if (path) {
            *path = parent.path;
            if (!path->endsWith('/'))
                *path += '/';
            *path += bytes;
        }
        return {FileUrl::child(parent.handle, name.text, isFolder), stableScanNodeID(QByteArrayView(parent.path), bytes),
                name.text};
    }

    void prepareFolder(int32_t i)
    {
        Folder folder;
        Identity identity = identify(i, true, &folder.path);
        folder.url = std::move(identity.url);
        folder.id = identity.id;
        folder.displayName = std::move(identity.displayName);
        folder.handle = folder.url.asFolder();
        folderOf_[size_t(i)] = int32_t(folders_.size());
        folders_.push_back(std::move(folder));
    }

    const bl_flat_node_t *nodes_;
    int32_t count_;
    FileUrl rootURL_;
    QByteArray rootPath_;
    std::vector<QUuid> ids_;
    std::vector<int32_t> folderOf_;
    std::vector<Folder> folders_;
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
    const int interval = pollIntervalMs_;
    executor_.submit([standardized, stream, state, interval] {
        performScan(standardized, stream, state, interval);
    });
    return stream;
}

void FastScanEngine::performScan(const FileUrl &rootURL, const std::shared_ptr<UpdateStream> &stream,
                                 const std::shared_ptr<LiveScanState> &state, int pollIntervalMs)
{
    // The scan's threads (this one, the poller and the core's pool, which
    // inherit it) yield to the window's main thread when the cores are busy;
    // on an idle machine the scan runs as fast as before.
    setpriority(PRIO_PROCESS, pid_t(gettid()), kScanNiceness);
    const QDateTime startedAt = now();
    stream->yield(ScanUpdate::started(rootURL, startedAt));
    const QByteArray rootPath = QFile::encodeName(rootURL.rawPath());

    PollSignal poll(pollIntervalMs);
    std::thread poller([&poll, stream, state, rootURL] {
        std::vector<bl_flat_node_t> buffer(static_cast<size_t>(kSnapshotCap));
        int32_t lastCount = -1;
        while (poll.waitOneRound()) {
            stream->yield(ScanUpdate::progress(countersOf(state->scanResult)));
            const int32_t n = bl_snapshot_nodes(state->scanResult, buffer.data(), kSnapshotCap);
            if (n >= 1 && n != lastCount) {
                if (auto tree = buildSnapshotTree(buffer.data(), n, rootURL))
                    stream->yield(ScanUpdate::intermediateTree(*tree));
                lastCount = n;
            }
        }
    });

    const int status = bl_full_scan(rootPath.constData(), state->scanResult, state->cancelFlag);
    poll.cancel();
    poller.join(); // no poll update may follow the final ones

    bl_scan_result_t *result = state->scanResult;
    if (status == 1) {
        stream->yield(ScanUpdate::cancelled());
    } else if (status != 0 || result->node_count < 1) {
        stream->yield(ScanUpdate::failed(ScanFailure::rootInaccessible(rootURL)));
    } else {
        std::optional<ScanTree> tree = buildTree(*result, rootURL);
        const ProgressSnapshot counters = countersOf(result, rootURL);
        if (!tree) {
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
            const auto root = tree->rootNode();
            summary.totalAllocatedSize = root ? root->allocatedSize : 0;
            stream->yield(ScanUpdate::progress(counters));
            stream->yield(ScanUpdate::finished(*tree, summary));
        }
    }
    stream->finish();
}

std::optional<ScanTree> FastScanEngine::buildSnapshotTree(const bl_flat_node_t *nodes, int32_t count,
                                                          const FileUrl &rootURL)
{
    if (count < 1)
        return std::nullopt;
    RecordBuilder builder(nodes, count, rootURL);
    ScanTree tree;
    tree.nodesByID.reserve(count);
    for (int32_t i = 0; i < count; ++i) {
        ScanNodeRecord r = builder.build(i);
        if (r.parentID)
            tree.childIDsByParentID[*r.parentID].append(r.id);
        tree.nodesByID.insert(std::move(r));
    }
    tree.rootID = builder.id(0);
    return tree;
}

std::optional<ScanTree> FastScanEngine::buildTree(bl_scan_result_t &result, const FileUrl &rootURL)
{
    const int32_t n = result.node_count;
    if (n <= 0 || !result.nodes)
        return std::nullopt;
    bl_flat_node_t *nodes = result.nodes;
    RecordBuilder builder(nodes, n, rootURL);
    std::vector<ScanNodeRecord> records = NodeTable::recordArray(n);
    const auto fill = [&](int32_t from, int32_t to) {
        for (int32_t i = from; i < to; ++i)
            records[size_t(i)] = builder.build(i);
    };
    // The scan has left the other cores idle: a large tree is built on two.
    bool split = false;
    if (n >= 20000) {
        try {
            std::thread helper(fill, n / 2, n);
            fill(0, n / 2);
            helper.join();
            split = true;
        } catch (const std::system_error &) {
        }
    }
    if (!split)
        fill(0, n);

    for (int32_t i = 0; i < n; ++i) {
        if (nodes[i].obj_type != BL_OBJ_PACKAGE)
            continue;
        ScanNodeRecord &package = records[size_t(i)];
        const auto measured = packageSize(package.url, package.allocatedSize, package.logicalSize);
        if (!measured)
            continue;
        const qint64 dA = measured->allocated - package.allocatedSize;
        const qint64 dL = measured->logical - package.logicalSize;
        package.allocatedSize = measured->allocated;
        package.logicalSize = measured->logical;
        // Ancestors have smaller indices, so their records exist already.
        for (int32_t a = nodes[i].parent_index; (dA || dL) && a >= 0 && a < i; a = nodes[a].parent_index) {
            nodes[a].allocated_size += uint64_t(dA);
            nodes[a].logical_size += uint64_t(dL);
            records[size_t(a)].allocatedSize += dA;
            records[size_t(a)].logicalSize += dL;
            if (nodes[a].parent_index >= a)
                break;
        }
    }

    ScanTree tree;
    tree.rootID = builder.id(0);
    tree.nodesByID = NodeTable::fromRecords(std::move(records));

    if (result.children) {
        for (int32_t i = 0; i < n; ++i) {
            const bl_flat_node_t &node = nodes[i];
            if (node.child_count < 1 || node.first_child < 0)
                continue;
            QList<QUuid> kids;
            kids.reserve(node.child_count);
            for (int32_t k = 0; k < node.child_count; ++k) {
                const int64_t at = int64_t(node.first_child) + k;
                if (at >= result.children_count)
                    break;
                const int32_t c = result.children[at];
                if (c >= 0 && c < n)
                    kids.append(builder.id(c));
            }
            tree.childIDsByParentID.emplace(builder.id(i), std::move(kids));
        }
    }
    return tree;
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
