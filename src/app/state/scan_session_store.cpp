#include "scan_session_store.h"

#include "scan_file.h"
#include "size_order.h"
#include "stable_scan_node_id.h"
#include "update_stream_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>
#include <cerrno>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <QPointer>
#include <QSaveFile>
#include <QThreadPool>

class ScanSessionStore::ScanTask {
public:
    std::unique_ptr<UpdateStreamReader> reader;
};

namespace {

// A folder's URL in the one form results are compared by: absolute,
// without dot segments or a trailing slash.
FileUrl folderURL(const QByteArray &path)
{
    QByteArray absolute = path;
    if (!absolute.startsWith('/'))
        absolute = QFile::encodeName(QDir::currentPath()) + '/' + absolute;
    const FileUrl url = FileUrl::fromNativePath(absolute, true).standardized();
    return FileUrl::fromNativePath(url.nativeFilePath(), true);
}

FileUrl folderURL(const QString &path)
{
    return folderURL(QFile::encodeName(path));
}

// A file URL's path as the file system names it: percent-encoded bytes
// that are not UTF-8 stay the bytes they stand for.
QByteArray nativePathOf(const QUrl &url)
{
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

} // namespace

ScanSessionStore::ScanSessionStore(std::shared_ptr<ScanEngineProviding> scanEngine,
                                   ScanSessionServices services, QObject *parent)
    : QObject(parent), scanEngine_(std::move(scanEngine)), services_(std::move(services))
{
}

ScanSessionStore::~ScanSessionStore()
{
    closing_->store(true);
    cancelFocusedChildrenSort();
}

const ScanResultState *ScanSessionStore::activeResult() const
{
    return activeResultID_ ? result(*activeResultID_) : nullptr;
}

const ScanResultState *ScanSessionStore::result(const QUuid &id) const
{
    for (const ScanResultState &r : results_) {
        if (r.id == id)
            return &r;
    }
    return nullptr;
}

// --- Folders in, the queue and the scan lifecycle -----------------------

void ScanSessionStore::acceptIncoming(const QList<QUrl> &urls)
{
    bool kept = false;
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        const QByteArray path = nativePathOf(url);
        struct stat st;
        if (path.isEmpty() || stat(path.constData(), &st) != 0)
            continue;
        if (S_ISREG(st.st_mode))
            openScanFile(QFile::decodeName(path));
        else if (S_ISDIR(st.st_mode))
            startScan(folderURL(path), std::nullopt);
        else
            continue;
        kept = true;
    }
    if (kept)
        services_.appActivation->bringToFront();
}

QUuid ScanSessionStore::beginOpening(const FileUrl &name, const QString &sourceFile)
{
    ScanResultState state;
    state.id = QUuid::createUuid();
    state.rootURL = name;
    state.phase = ScanResultPhase::scanning;
    state.sourceFile = sourceFile;
    upsertResult(state);
    assign(activeResultID_, std::optional(state.id), &ScanSessionStore::activeResultIDChanged);
    refreshFocusedChildren(true);
    return state.id;
}

void ScanSessionStore::finishOpening(const QPointer<ScanSessionStore> &self, const QUuid &id, QByteArrayView data,
                                     const QString &failure)
{
    QString error = failure;
    std::optional<ScanFileContents> contents;
    if (error.isEmpty() && !(contents = readScanFile(data, &error)))
        error = QStringLiteral("Could not open the scan file: %1").arg(error);
    QMetaObject::invokeMethod(QCoreApplication::instance(), [self, id, contents = std::move(contents), error] {
        if (!self)
            return;
        self->updateResult(id, [&](ScanResultState &r) {
            r.receivedBytes.reset();
            if (!contents) {
                r.phase = ScanResultPhase::failed;
                r.errorMessage = error;
                return;
            }
            r.phase = ScanResultPhase::ready;
            r.rootURL = contents->summary.rootURL;
            r.tree = contents->tree;
            r.summary = contents->summary;
            r.focusedNodeID = r.selectedNodeID = contents->tree.rootID;
        });
        if (self->activeResultID_ == id)
            self->refreshFocusedChildren(true);
    });
}

void ScanSessionStore::openScanFile(const QString &path)
{
    const QUuid id = beginOpening(FileUrl::fromPath(path), path);
    QPointer<ScanSessionStore> self(this);
    QThreadPool::globalInstance()->start([self, id, path] {
        QFile in(path);
        const bool opened = in.open(QIODevice::ReadOnly);
        const QByteArray data = opened ? in.readAll() : QByteArray();
        finishOpening(self, id, data,
                      opened ? QString() : QStringLiteral("Could not open the scan file: %1").arg(in.errorString()));
    });
}

void ScanSessionStore::receiveScanFile(int descriptor, const QString &keptPath)
{
    const QUuid id = beginOpening(FileUrl::fromPath(QStringLiteral("standard input")), keptPath);
    updateResult(id, [](ScanResultState &r) { r.receivedBytes = 0; });
    QPointer<ScanSessionStore> self(this);
    // Its own thread, not the pool's: the sender may take hours, and the
    // pool is waited for when the application quits.
    std::thread([self, id, descriptor, keptPath, closing = closing_] {
        QSaveFile kept(keptPath);
        const bool keeping = kept.open(QIODevice::WriteOnly);
        QByteArray data;
        QString failure;
        QElapsedTimer sinceTold;
        sinceTold.start();
        qint64 told = 0;
        const auto tell = [&] {
            const qint64 received = data.size();
            if (received == told)
                return;
            told = received;
            sinceTold.restart();
            QMetaObject::invokeMethod(QCoreApplication::instance(), [self, id, received] {
                if (self)
                    self->updateResult(id, [&](ScanResultState &r) {
                        if (r.receivedBytes)
                            r.receivedBytes = received;
                    });
            });
        };
        for (;;) {
            pollfd wait{descriptor, POLLIN, 0};
            const int ready = poll(&wait, 1, 200);
            if (closing->load())
                return;
            if (ready == 0)
                tell(); // the sender pauses: say what came so far
            if (ready == 0 || (ready < 0 && errno == EINTR))
                continue;
            char chunk[1 << 16];
            const ssize_t got = ready < 0 ? -1 : read(descriptor, chunk, sizeof chunk);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got < 0) {
                failure = QStringLiteral("Could not open the scan file: %1").arg(qt_error_string(errno));
                break;
            }
            if (got == 0)
                break;
            data.append(chunk, got);
            if (keeping)
                kept.write(chunk, got);
            if (sinceTold.elapsed() >= 100)
                tell();
        }
        if (keeping && (!failure.isEmpty() || !kept.commit()))
            kept.cancelWriting();
        if (!closing->load())
            finishOpening(self, id, data, failure);
    }).detach();
}

bool ScanSessionStore::canSaveActiveResult() const
{
    const ScanResultState *active = activeResult();
    return active && active->phase == ScanResultPhase::ready && active->tree && active->summary;
}

void ScanSessionStore::saveActiveResult()
{
    if (!canSaveActiveResult())
        return;
    const ScanResultState *active = activeResult();
    const QString name = active->rootURL.lastPathComponent();
    const std::optional<QString> path =
        services_.openPanel->chooseSaveFile((name.isEmpty() || name == u"/" ? QStringLiteral("root") : name) +
                                            QStringLiteral(".json"));
    if (!path || path->isEmpty())
        return;
    // Copies of the tree share its records: O(1).
    QPointer<ScanSessionStore> self(this);
    QThreadPool::globalInstance()->start([self, path = *path, tree = *active->tree, summary = *active->summary] {
        QString error;
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly))
            error = out.errorString();
        else if (!writeScanFile(tree, summary, out, &error))
            out.cancelWriting();
        else if (!out.commit())
            error = out.errorString();
        if (error.isEmpty() && !QFile::exists(path))
            error = QStringLiteral("the file was not written");
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, path, error] {
            if (self)
                emit self->scanSaved(path, error);
        });
    });
}

void ScanSessionStore::chooseFolder()
{
    const std::optional<QString> path = services_.openPanel->chooseFolder();
    if (!path || path->isEmpty())
        return;
    if (QFileInfo(*path).isFile())
        openScanFile(*path);
    else
        startScan(folderURL(*path), std::nullopt);
}

void ScanSessionStore::activateResult(const QUuid &id)
{
    if (!result(id))
        return;
    assign(activeResultID_, std::optional(id), &ScanSessionStore::activeResultIDChanged);
    refreshFocusedChildren(false);
}

void ScanSessionStore::removeResult(const QUuid &id)
{
    if (queuedResultIDs_.removeAll(id) > 0)
        emit queuedResultIDsChanged();
    if (currentScanningResultID_ == id) {
        setScanTask(nullptr);
        assign(currentScanningResultID_, std::optional<QUuid>(), &ScanSessionStore::currentScanningResultIDChanged);
    }
    forgetResult(id);
    assign(pendingTrashNode_, std::optional<ScanNodeRecord>(), &ScanSessionStore::pendingTrashNodeChanged);
    refreshFocusedChildren(true);
    startNextQueuedScanIfPossible();
}

void ScanSessionStore::forgetResult(const QUuid &id)
{
    if (results_.removeIf([&id](const ScanResultState &r) { return r.id == id; }) > 0)
        emit resultsChanged();
    if (preferredFocusPathsByResultID_.remove(id) > 0)
        emit preferredFocusPathsByResultIDChanged();
    focusHistories_.remove(id);
    if (activeResultID_ == id)
        chooseActiveAfterRemoval();
}

void ScanSessionStore::chooseActiveAfterRemoval()
{
    std::optional<QUuid> next;
    for (const ScanResultState &r : results_) {
        if (r.phase != ScanResultPhase::queued) {
            next = r.id;
            break;
        }
    }
    if (!next && !results_.isEmpty())
        next = results_.constFirst().id;
    assign(activeResultID_, next, &ScanSessionStore::activeResultIDChanged);
}

void ScanSessionStore::clearAll()
{
    setScanTask(nullptr);
    endingTasks_.clear();
    assign(results_, {}, &ScanSessionStore::resultsChanged);
    assign(activeResultID_, {}, &ScanSessionStore::activeResultIDChanged);
    assign(pendingTrashNode_, {}, &ScanSessionStore::pendingTrashNodeChanged);
    assign(queuedResultIDs_, {}, &ScanSessionStore::queuedResultIDsChanged);
    assign(currentScanningResultID_, {}, &ScanSessionStore::currentScanningResultIDChanged);
    assign(preferredFocusPathsByResultID_, {}, &ScanSessionStore::preferredFocusPathsByResultIDChanged);
    focusHistories_.clear();
    focusedChildrenContext_.reset();
    assign(focusedChildren_, {}, &ScanSessionStore::focusedChildrenChanged);
    cancelFocusedChildrenSort();
    ++focusedChildrenSequence_; // a sort already past its cancellation check must not publish
}

void ScanSessionStore::rescanActiveResult()
{
    if (activeResultID_)
        rescanResult(*activeResultID_);
}

void ScanSessionStore::rescanResult(const QUuid &id)
{
    if (!canRescan(id))
        return;
    const ScanResultState *target = result(id);
    const FileUrl root = target->rootURL;
    // A rescan during a rescan, before the focus came back, keeps the
    // deeper path it remembered.
    QList<FileUrl> path = focusPathURLs(*target);
    if (const auto kept = preferredFocusPathsByResultID_.constFind(id);
        kept != preferredFocusPathsByResultID_.constEnd() && kept->size() > path.size())
        path = *kept;
    preferredFocusPathsByResultID_.insert(id, path);
    emit preferredFocusPathsByResultIDChanged();
    startScan(root, id);
}

bool ScanSessionStore::canRescan(const QUuid &id) const
{
    const ScanResultState *target = result(id);
    if (!target)
        return false;
    if (!target->sourceFile)
        return true;
    struct stat st;
    return target->phase == ScanResultPhase::ready && stat(target->rootURL.nativePath().constData(), &st) == 0
        && S_ISDIR(st.st_mode);
}

void ScanSessionStore::startScan(const FileUrl &url, const std::optional<QUuid> &reusing)
{
    const FileUrl root = url.standardized();
    if (!reusing) {
        for (const ScanResultState &r : results_) {
            if (r.rootURL == root) {
                activateResult(r.id);
                return;
            }
        }
    }
    const QUuid id = reusing.value_or(QUuid::createUuid());
    const bool startsNow = !currentScanningResultID_ || currentScanningResultID_ == reusing;

    ScanResultState state;
    state.id = id;
    state.rootURL = root;
    state.phase = startsNow ? ScanResultPhase::scanning : ScanResultPhase::queued;
    upsertResult(state);

    if (startsNow) {
        assign(activeResultID_, std::optional(id), &ScanSessionStore::activeResultIDChanged);
        refreshFocusedChildren(true);
        beginScan(id, root);
        return;
    }
    if (!queuedResultIDs_.contains(id)) {
        queuedResultIDs_.append(id);
        emit queuedResultIDsChanged();
    }
    if (activeResultID_ == id)
        refreshFocusedChildren(true); // its tree is gone, and so are its children
}

void ScanSessionStore::beginScan(const QUuid &resultID, const FileUrl &rootURL)
{
    setScanTask(nullptr);
    assign(currentScanningResultID_, std::optional(resultID), &ScanSessionStore::currentScanningResultIDChanged);
    updateResult(resultID, [&](ScanResultState &r) { r.rootIdentity = FileIdentity::of(rootURL.nativePath(), true); });

    // The task holds the store weakly: it is owned by the store, but its
    // last queued step may run after the store is gone.
    QPointer<ScanSessionStore> self(this);
    auto task = std::make_shared<ScanTask>();
    ScanTask *raw = task.get();
    task->reader = std::make_unique<UpdateStreamReader>(
        scanEngine_->startScan(rootURL),
        [self, resultID](const ScanUpdate &update) {
            if (self)
                self->consume(update, resultID);
        },
        [self, raw] {
            if (!self)
                return;
            // Destroys the reader inside its own end callback, which it allows.
            std::erase_if(self->endingTasks_, [raw](const auto &t) { return t.get() == raw; });
        });
    setScanTask(std::move(task));
}

void ScanSessionStore::startNextQueuedScanIfPossible()
{
    while (!currentScanningResultID_ && !scanTask_ && !queuedResultIDs_.isEmpty()) {
        const QUuid id = queuedResultIDs_.takeFirst();
        emit queuedResultIDsChanged();
        const bool exists = updateResult(id, [](ScanResultState &r) {
            r.phase = ScanResultPhase::scanning;
            r.progressSnapshot.reset();
            r.errorMessage.reset();
        });
        if (!exists)
            continue;
        assign(activeResultID_, std::optional(id), &ScanSessionStore::activeResultIDChanged);
        refreshFocusedChildren(true);
        beginScan(id, result(id)->rootURL);
    }
}

void ScanSessionStore::upsertResult(const ScanResultState &state)
{
    for (ScanResultState &r : results_) {
        if (r.id == state.id) {
            r = state;
            emit resultsChanged();
            return;
        }
    }
    results_.append(state);
    emit resultsChanged();
}

bool ScanSessionStore::updateResult(const QUuid &id, const std::function<void(ScanResultState &)> &mutation)
{
    for (ScanResultState &r : results_) {
        if (r.id == id) {
            mutation(r);
            emit resultsChanged();
            return true;
        }
    }
    return false;
}

void ScanSessionStore::setScanTask(std::shared_ptr<ScanTask> task)
{
    if (task == scanTask_)
        return;
    // Dropping the old handle destroys its reader, which abandons the stream
    // and so stops the engine's scan.
    scanTask_ = std::move(task);
    emit scanTaskChanged();
}

// --- Applying updates ---------------------------------------------------

void ScanSessionStore::consume(const ScanUpdate &update, const QUuid &id)
{
    const bool isActive = activeResultID_ == id;
    switch (update.kind()) {
    case ScanUpdate::Kind::started:
    case ScanUpdate::Kind::nodeDiscovered:
    case ScanUpdate::Kind::nodeUpdated:
    case ScanUpdate::Kind::branchCompleted:
        return;
    case ScanUpdate::Kind::progress:
        updateResult(id, [&](ScanResultState &r) { r.progressSnapshot = update.get<ProgressSnapshot>(); });
        return;
    case ScanUpdate::Kind::intermediateTree: {
        const ScanTree &tree = update.get<ScanUpdate::IntermediateTree>().tree;
        updateResult(id, [&](ScanResultState &r) {
            r.tree = tree;
            if (!r.focusedNodeID) {
                r.focusedNodeID = tree.rootID;
                r.selectedNodeID = tree.rootID;
            }
        });
        if (isActive)
            refreshFocusedChildren(true);
        return;
    }
    case ScanUpdate::Kind::finished: {
        const auto &finished = update.get<ScanUpdate::Finished>();
        const QUuid focus = restoredFocusNodeID(id, finished.tree).value_or(finished.tree.rootID);
        updateResult(id, [&](ScanResultState &r) {
            r.tree = finished.tree;
            r.summary = finished.summary;
            r.focusedNodeID = focus;
            r.selectedNodeID = focus;
            r.phase = ScanResultPhase::ready;
            r.errorMessage.reset();
            r.progressSnapshot.reset();
        });
        if (isActive)
            refreshFocusedChildren(true);
        endScan(id);
        return;
    }
    case ScanUpdate::Kind::failed: {
        const QString message = update.get<ScanFailure>().message();
        updateResult(id, [&](ScanResultState &r) {
            r.phase = ScanResultPhase::failed;
            r.errorMessage = message;
            r.progressSnapshot.reset();
        });
        if (isActive)
            refreshFocusedChildren(true);
        endScan(id);
        return;
    }
    case ScanUpdate::Kind::cancelled:
        forgetResult(id);
        refreshFocusedChildren(true);
        endScan(id);
        return;
    }
}

void ScanSessionStore::endScan(const QUuid &resultID)
{
    if (currentScanningResultID_ != resultID)
        return;
    // Not cancelled: this is the task delivering the update, and it ends
    // with its stream.
    if (scanTask_) {
        endingTasks_.push_back(std::move(scanTask_));
        emit scanTaskChanged();
    }
    assign(currentScanningResultID_, std::optional<QUuid>(), &ScanSessionStore::currentScanningResultIDChanged);
    startNextQueuedScanIfPossible();
}

std::optional<QUuid> ScanSessionStore::restoredFocusNodeID(const QUuid &resultID, const ScanTree &tree)
{
    const auto entry = preferredFocusPathsByResultID_.constFind(resultID);
    if (entry == preferredFocusPathsByResultID_.constEnd())
        return std::nullopt;
    const QList<FileUrl> remembered = *entry;
    preferredFocusPathsByResultID_.erase(entry);
    emit preferredFocusPathsByResultIDChanged();
    if (remembered.isEmpty())
        return std::nullopt;

    // Identifiers derive from paths, so each remembered URL names its
    // candidate directly; only a tree whose identifiers do not (none of
    // ours) needs the lookup over every record.
    for (qsizetype i = remembered.size() - 1; i >= 0; --i) {
        const auto node = tree.node(stableScanNodeID(remembered[i]));
        if (node && node->url.standardized() == remembered[i])
            return node->id;
    }
    QHash<QByteArray, QUuid> byURL; // by bytes: two names may show as one text
    byURL.reserve(tree.size());
    tree.forEachNode([&](const ScanNodeRecord &record) {
        byURL.insert(record.url.standardized().nativePath(), record.id); // first met wins
    });
    for (qsizetype i = remembered.size() - 1; i >= 0; --i) {
        if (const auto found = byURL.constFind(remembered[i].nativePath()); found != byURL.constEnd())
            return *found;
    }
    return std::nullopt;
}

QList<FileUrl> ScanSessionStore::focusPathURLs(const ScanResultState &result)
{
    QList<FileUrl> urls;
    if (!result.tree || !result.focusedNodeID)
        return urls;
    for (const ScanNodeRecord &record : result.tree->path(*result.focusedNodeID))
        urls.append(record.url.standardized());
    return urls;
}

// --- Focus, selection and the focused children --------------------------

void ScanSessionStore::focusNode(const QUuid &id)
{
    const ScanResultState *active = activeResult();
    if (!activeTreeNode(id))
        return;
    if (active->focusedNodeID && *active->focusedNodeID != id) {
        FocusHistory &history = focusHistories_[active->id];
        history.back.append(*active->focusedNodeID);
        if (history.back.size() > 200) // a session of clicking, not a log
            history.back.removeFirst();
        history.forward.clear();
    }
    focusFromHistory(id);
}

bool ScanSessionStore::focusFromHistory(const QUuid &id)
{
    if (!activeResultID_ || !activeTreeNode(id))
        return false;
    updateResult(*activeResultID_, [&id](ScanResultState &r) {
        r.focusedNodeID = id;
        r.selectedNodeID = id;
    });
    refreshFocusedChildren(false);
    return true;
}

void ScanSessionStore::focusParent()
{
    const ScanResultState *active = activeResult();
    if (!active || !active->tree)
        return;
    if (const std::optional<ScanNodeRecord> focused = active->tree->node(active->focusedNodeID); focused && focused->parentID)
        focusNode(*focused->parentID);
}

void ScanSessionStore::focusRoot()
{
    if (const ScanResultState *active = activeResult(); active && active->tree)
        focusNode(active->tree->rootID);
}

void ScanSessionStore::focusBack()
{
    stepThroughHistory(true);
}

void ScanSessionStore::focusForward()
{
    stepThroughHistory(false);
}

void ScanSessionStore::stepThroughHistory(bool back)
{
    const ScanResultState *active = activeResult();
    if (!active || !active->focusedNodeID)
        return;
    FocusHistory &history = focusHistories_[active->id];
    QList<QUuid> &from = back ? history.back : history.forward;
    QList<QUuid> &to = back ? history.forward : history.back;
    const QUuid current = *active->focusedNodeID;
    while (!from.isEmpty()) {
        const QUuid next = from.takeLast();
        if (next != current && focusFromHistory(next)) {
            to.append(current);
            return;
        }
    }
}

bool ScanSessionStore::canFocusBack() const
{
    const ScanResultState *active = activeResult();
    return active && !focusHistories_.value(active->id).back.isEmpty();
}

bool ScanSessionStore::canFocusForward() const
{
    const ScanResultState *active = activeResult();
    return active && !focusHistories_.value(active->id).forward.isEmpty();
}

void ScanSessionStore::selectNode(const QUuid &id)
{
    if (activeResultID_ && activeTreeNode(id))
        updateResult(*activeResultID_, [&id](ScanResultState &r) { r.selectedNodeID = id; });
}

std::optional<ScanNodeRecord> ScanSessionStore::activeTreeNode(const QUuid &id) const
{
    const ScanResultState *active = activeResult();
    if (!active || !active->tree)
        return std::nullopt;
    return active->tree->node(id);
}

std::optional<ScanNodeRecord> ScanSessionStore::activeSelectedNode() const
{
    const ScanResultState *active = activeResult();
    if (!active || !active->tree || !active->selectedNodeID)
        return std::nullopt;
    return active->tree->node(*active->selectedNodeID);
}

QList<ScanNodeRecord> ScanSessionStore::sortedChildren(QList<ScanNodeRecord> records, SizeMeasure measure)
{
    return sortedBySize(std::move(records), measure);
}

void ScanSessionStore::setSizeMeasure(SizeMeasure measure)
{
    if (measure == sizeMeasure_)
        return;
    sizeMeasure_ = measure;
    emit sizeMeasureChanged();
    refreshFocusedChildren(true); // in the new order
}

void ScanSessionStore::refreshFocusedChildren(bool force)
{
    const ScanResultState *active = activeResult();
    if (!active || !active->tree || !active->focusedNodeID) {
        focusedChildrenContext_.reset();
        assign(focusedChildren_, {}, &ScanSessionStore::focusedChildrenChanged);
        cancelFocusedChildrenSort();
        ++focusedChildrenSequence_; // as in clearAll: no older sort may publish now
        return;
    }
    const FocusedChildrenContext context{active->id, *active->focusedNodeID};
    if (!force && focusedChildrenContext_ == context)
        return;
    focusedChildrenContext_ = context;
    assign(focusedChildren_, {}, &ScanSessionStore::focusedChildrenChanged);
    cancelFocusedChildrenSort();
    const quint64 request = ++focusedChildrenSequence_;

    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    focusedChildrenSortTask_ = cancelled;
    QPointer<ScanSessionStore> self(this);
    QThreadPool::globalInstance()->start(
        [self, cancelled, request, tree = *active->tree, focus = context.focusedNodeID, measure = sizeMeasure_]() mutable {
            QList<ScanNodeRecord> sorted = sortedChildren(tree.children(focus), measure);
            if (cancelled->load())
                return;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, request, sorted = std::move(sorted)]() mutable {
                    if (self)
                        self->publishFocusedChildren(request, std::move(sorted));
                },
                Qt::QueuedConnection);
        });
}

void ScanSessionStore::publishFocusedChildren(quint64 request, QList<ScanNodeRecord> sorted)
{
    if (request != focusedChildrenSequence_)
        return;
    assign(focusedChildren_, std::move(sorted), &ScanSessionStore::focusedChildrenChanged);
    focusedChildrenSortTask_.reset();
}

void ScanSessionStore::cancelFocusedChildrenSort()
{
    if (focusedChildrenSortTask_)
        focusedChildrenSortTask_->store(true);
    focusedChildrenSortTask_.reset();
}

// --- Trash and reveal ----------------------------------------------------

bool ScanSessionStore::canTrashActiveSelection() const
{
    const ScanResultState *active = activeResult();
    if (!active || !active->tree || !active->selectedNodeID || *active->selectedNodeID == active->tree->rootID)
        return false;
    const std::optional<ScanNodeRecord> node = active->tree->node(*active->selectedNodeID);
    return node && isTrashable(*node) && existsHere(*node);
}

bool ScanSessionStore::existsHere(const ScanNodeRecord &node) const
{
    const ScanResultState *active = activeResult();
    if (!active || !active->sourceFile)
        return true;
    struct stat st;
    return lstat(node.url.nativeFilePath().constData(), &st) == 0;
}

bool ScanSessionStore::isTrashable(const ScanNodeRecord &node)
{
    // A mount point cannot move to the Trash, and moving what the scan
    // did not enter would take more than the user was shown.
    return node.mark != ScanNodeMark::otherFileSystem && node.mark != ScanNodeMark::kernelFileSystem;
}

void ScanSessionStore::requestTrashForNode(const QUuid &id)
{
    const ScanResultState *active = activeResult();
    if (!active || !active->tree || id == active->tree->rootID)
        return;
    std::optional<ScanNodeRecord> node = active->tree->node(id);
    if (!node || !isTrashable(*node) || !existsHere(*node))
        return;
    pendingTrashResultID_ = active->id;
    pendingTrashItem_ = FileIdentity::of(node->url.nativePath());
    updateResult(active->id, [&id](ScanResultState &r) { r.selectedNodeID = id; });
    assign(pendingTrashNode_, std::move(node), &ScanSessionStore::pendingTrashNodeChanged);
}

void ScanSessionStore::requestTrashForActiveSelection()
{
    if (const ScanResultState *active = activeResult(); active && active->selectedNodeID)
        requestTrashForNode(*active->selectedNodeID);
}

void ScanSessionStore::setPendingTrashNode(std::optional<ScanNodeRecord> node)
{
    assign(pendingTrashNode_, std::move(node), &ScanSessionStore::pendingTrashNodeChanged);
}

void ScanSessionStore::confirmTrashRequest()
{
    const ScanResultState *asked = pendingTrashNode_ ? result(pendingTrashResultID_) : nullptr;
    if (!asked) {
        setPendingTrashNode(std::nullopt);
        return;
    }
    const TrashTarget target{pendingTrashNode_->url, asked->rootURL, asked->rootIdentity, pendingTrashItem_};
    const QUuid resultID = pendingTrashResultID_;
    assign(pendingTrashNode_, std::optional<ScanNodeRecord>(), &ScanSessionStore::pendingTrashNodeChanged);
    QPointer<ScanSessionStore> self(this);
    services_.trashService->moveToTrash(target, [self, resultID, moved = target.url](std::optional<QString> error) {
        if (!self)
            return;
        // Whatever happened, the result it was asked from shows the disk as
        // it is now, and so does every result inside what went away.
        self->rescanResult(resultID);
        if (error) {
            const QString message = QStringLiteral("Could not move item to Trash.");
            self->updateResult(resultID, [&message](ScanResultState &r) { r.errorMessage = message; });
            emit self->actionFailed(message, *error);
            return;
        }
        const QByteArray inside = moved.nativePath() + '/';
        QList<QUuid> within;
        for (const ScanResultState &r : self->results_) {
            if (r.id != resultID && !r.sourceFile && (r.rootURL.nativePath() + '/').startsWith(inside))
                within << r.id;
        }
        for (const QUuid &id : within)
            self->rescanResult(id);
    });
}

void ScanSessionStore::revealFocusedNode()
{
    if (const std::optional<ScanNodeRecord> node = activeSelectedNode())
        revealNode(node->id);
}

void ScanSessionStore::revealNode(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = activeTreeNode(id); node && existsHere(*node))
        services_.finderRevealService->reveal({node->url}, [self = QPointer(this)](const QString &reason) {
            if (self)
                emit self->actionFailed(QStringLiteral("Could not show the item in the file manager."), reason);
        });
}

void ScanSessionStore::openNode(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = activeTreeNode(id); node && existsHere(*node))
        services_.finderRevealService->open(node->url, [self = QPointer(this)](const QString &reason) {
            if (self)
                emit self->actionFailed(QStringLiteral("Could not open the item."), reason);
        });
}

bool ScanSessionStore::canScanAsNewResult(const ScanNodeRecord &node) const
{
    // A kernel file system holds no files; another file system is exactly
    // what a scan of its own is for.
    return node.kind != ScanNodeKind::file && node.mark != ScanNodeMark::kernelFileSystem && existsHere(node);
}

void ScanSessionStore::scanAsNewResult(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = activeTreeNode(id); node && canScanAsNewResult(*node))
        startScan(node->url, std::nullopt);
}
