#include "scan_result_queue.h"

#include "background_work.h"

#include "change_history.h"
#include "focus_navigation.h"
#include "scan_file_io.h"
#include "stable_scan_node_id.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <sys/stat.h>
#include <thread>

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

ScanResultQueue::ScanResultQueue(ScanSessionStore &store) : s_(store) {}

ScanResultQueue::~ScanResultQueue()
{
    closing_->store(true);
}

// --- Folders and scan files in ------------------------------------------

void ScanResultQueue::acceptIncoming(const QList<QUrl> &urls)
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
        s_.services_.appActivation->bringToFront();
}

QUuid ScanResultQueue::beginOpening(const FileUrl &name, const QString &sourceFile)
{
    ScanResultState state;
    state.id = QUuid::createUuid();
    state.rootURL = name;
    state.phase = ScanResultPhase::scanning;
    state.sourceFile = sourceFile;
    s_.upsertResult(state);
    s_.assign(s_.activeResultID_, std::optional(state.id), &ScanSessionStore::activeResultIDChanged);
    s_.navigation_->refreshFocusedChildren(true);
    return state.id;
}

void ScanResultQueue::finishOpening(const QPointer<ScanSessionStore> &self, const QUuid &id,
                                    std::optional<ScanFileContents> contents, const QString &failure)
{
    const QString error = QStringLiteral("Could not open the scan file: %1").arg(failure);
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
            self->navigation_->refreshFocusedChildren(true);
    });
}

void ScanResultQueue::openScanFile(const QString &path)
{
    const QUuid id = beginOpening(FileUrl::fromPath(path), path);
    QPointer<ScanSessionStore> self(&s_);
    backgroundPool().start([self, id, path] {
        QString error;
        std::optional<ScanFileContents> contents = loadScanFile(path, &error);
        finishOpening(self, id, std::move(contents), error);
    });
}

void ScanResultQueue::receiveScanFile(int descriptor, const QString &keptPath)
{
    const QUuid id = beginOpening(FileUrl::fromPath(QStringLiteral("standard input")), keptPath);
    s_.updateResult(id, [](ScanResultState &r) { r.receivedBytes = 0; });
    QPointer<ScanSessionStore> self(&s_);
    // Its own thread, not the pool's: the sender may take hours, and the
    // pool is waited for when the application quits.
    std::thread([self, id, descriptor, keptPath, closing = closing_] {
        ScanFileReception reception;
        reception.progress = [self, id](qint64 received) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), [self, id, received] {
                if (self)
                    self->updateResult(id, [&](ScanResultState &r) {
                        if (r.receivedBytes)
                            r.receivedBytes = received;
                    });
            });
        };
        reception.stopped = [&closing] { return closing->load(); };
        QString error;
        std::optional<ScanFileContents> contents = ::receiveScanFile(descriptor, keptPath, reception, &error);
        if (!closing->load())
            finishOpening(self, id, std::move(contents), error);
    }).detach();
}

void ScanResultQueue::chooseFolder()
{
    const std::optional<QString> path = s_.services_.openPanel->chooseFolder();
    if (!path || path->isEmpty())
        return;
    if (QFileInfo(*path).isFile())
        openScanFile(*path);
    else
        startScan(folderURL(*path), std::nullopt);
}

// --- The shelf ------------------------------------------------------------

void ScanResultQueue::activateResult(const QUuid &id)
{
    if (!s_.result(id))
        return;
    s_.assign(s_.activeResultID_, std::optional(id), &ScanSessionStore::activeResultIDChanged);
    s_.navigation_->refreshFocusedChildren(false);
}

void ScanResultQueue::removeResult(const QUuid &id)
{
    if (s_.queuedResultIDs_.removeAll(id) > 0)
        emit s_.queuedResultIDsChanged();
    if (s_.currentScanningResultID_ == id) {
        s_.setScanTask(nullptr);
        s_.assign(s_.currentScanningResultID_, std::optional<QUuid>(),
                  &ScanSessionStore::currentScanningResultIDChanged);
    }
    forgetResult(id);
    s_.assign(s_.pendingTrashNode_, std::optional<ScanNodeRecord>(), &ScanSessionStore::pendingTrashNodeChanged);
    s_.navigation_->refreshFocusedChildren(true);
    startNextQueuedScanIfPossible();
}

void ScanResultQueue::forgetResult(const QUuid &id)
{
    if (s_.results_.removeIf([&id](const ScanResultState &r) { return r.id == id; }) > 0)
        emit s_.resultsChanged();
    if (s_.preferredFocusPathsByResultID_.remove(id) > 0)
        emit s_.preferredFocusPathsByResultIDChanged();
    s_.navigation_->forgetHistory(id);
    s_.changes_->forget(id);
    if (s_.activeResultID_ == id)
        chooseActiveAfterRemoval();
}

void ScanResultQueue::chooseActiveAfterRemoval()
{
    std::optional<QUuid> next;
    for (const ScanResultState &r : s_.results_) {
        if (r.phase != ScanResultPhase::queued) {
            next = r.id;
            break;
        }
    }
    if (!next && !s_.results_.isEmpty())
        next = s_.results_.constFirst().id;
    s_.assign(s_.activeResultID_, next, &ScanSessionStore::activeResultIDChanged);
}

void ScanResultQueue::clearAll()
{
    s_.setScanTask(nullptr);
    endingTasks_.clear();
    s_.assign(s_.results_, {}, &ScanSessionStore::resultsChanged);
    s_.assign(s_.activeResultID_, {}, &ScanSessionStore::activeResultIDChanged);
    s_.assign(s_.pendingTrashNode_, {}, &ScanSessionStore::pendingTrashNodeChanged);
    s_.assign(s_.queuedResultIDs_, {}, &ScanSessionStore::queuedResultIDsChanged);
    s_.assign(s_.currentScanningResultID_, {}, &ScanSessionStore::currentScanningResultIDChanged);
    s_.assign(s_.preferredFocusPathsByResultID_, {}, &ScanSessionStore::preferredFocusPathsByResultIDChanged);
    s_.navigation_->clear();
}

// --- The queue and the scan lifecycle -------------------------------------

void ScanResultQueue::rescanResult(const QUuid &id)
{
    if (!canRescan(id))
        return;
    const ScanResultState *target = s_.result(id);
    const FileUrl root = target->rootURL;
    if (target->sourceFile) {
        // Scanned here as a result of its own (again, when there is one):
        // the one read from the file stays what the file says.
        for (const ScanResultState &r : s_.results_) {
            if (r.rootURL == root && !r.sourceFile) {
                s_.assign(s_.activeResultID_, std::optional(r.id), &ScanSessionStore::activeResultIDChanged);
                rescanResult(r.id);
                return;
            }
        }
        startScan(root, std::nullopt);
        return;
    }
    // A rescan during a rescan, before the focus came back, keeps the
    // deeper path it remembered.
    QList<FileUrl> path = focusPathURLs(*target);
    if (const auto kept = s_.preferredFocusPathsByResultID_.constFind(id);
        kept != s_.preferredFocusPathsByResultID_.constEnd() && kept->size() > path.size())
        path = *kept;
    s_.preferredFocusPathsByResultID_.insert(id, path);
    emit s_.preferredFocusPathsByResultIDChanged();
    startScan(root, id);
}

bool ScanResultQueue::canRescan(const QUuid &id) const
{
    const ScanResultState *target = s_.result(id);
    if (!target)
        return false;
    if (!target->sourceFile)
        return true;
    struct stat st;
    return target->phase == ScanResultPhase::ready && stat(target->rootURL.nativePath().constData(), &st) == 0
        && S_ISDIR(st.st_mode);
}

void ScanResultQueue::startScan(const FileUrl &url, const std::optional<QUuid> &reusing)
{
    const FileUrl root = url.standardized();
    if (!reusing) {
        // A folder with a result of its own scanned here only comes forward;
        // one read from a file is another thing.
        for (const ScanResultState &r : s_.results_) {
            if (r.rootURL == root && !r.sourceFile) {
                activateResult(r.id);
                return;
            }
        }
    }
    const QUuid id = reusing.value_or(QUuid::createUuid());
    const bool startsNow = !s_.currentScanningResultID_ || s_.currentScanningResultID_ == reusing;

    ScanResultState state;
    state.id = id;
    state.rootURL = root;
    state.phase = startsNow ? ScanResultPhase::scanning : ScanResultPhase::queued;
    s_.upsertResult(state);

    if (startsNow) {
        s_.assign(s_.activeResultID_, std::optional(id), &ScanSessionStore::activeResultIDChanged);
        s_.navigation_->refreshFocusedChildren(true);
        beginScan(id, root);
        return;
    }
    if (!s_.queuedResultIDs_.contains(id)) {
        s_.queuedResultIDs_.append(id);
        emit s_.queuedResultIDsChanged();
    }
    if (s_.activeResultID_ == id)
        s_.navigation_->refreshFocusedChildren(true); // its tree is gone, and so are its children
}

void ScanResultQueue::beginScan(const QUuid &resultID, const FileUrl &rootURL)
{
    s_.setScanTask(nullptr);
    s_.assign(s_.currentScanningResultID_, std::optional(resultID), &ScanSessionStore::currentScanningResultIDChanged);
    s_.updateResult(resultID, [&](ScanResultState &r) { r.rootIdentity = fileIdentityOf(rootURL.nativePath().constData(), true); });

    // The task holds the store weakly: it is owned by the store, but its
    // last queued step may run after the store is gone.
    QPointer<ScanSessionStore> self(&s_);
    auto task = std::make_shared<ScanTask>();
    ScanTask *raw = task.get();
    task->stream = s_.scanEngine_->startScan(rootURL);
    task->reader = std::make_unique<UpdateStreamReader>(
        task->stream,
        [self, resultID](const ScanUpdate &update) {
            if (self)
                self->queue_->consume(update, resultID);
        },
        [self, raw] {
            if (!self)
                return;
            // Destroys the reader inside its own end callback, which it allows.
            std::erase_if(self->queue_->endingTasks_, [raw](const auto &t) { return t.get() == raw; });
        });
    s_.setScanTask(std::move(task));
}

bool ScanResultQueue::canStopScan() const
{
    return s_.currentScanningResultID_ && s_.scanTask_ && s_.scanTask_->stream;
}

void ScanResultQueue::stopScan()
{
    if (canStopScan())
        s_.scanTask_->stream->requestStop();
}

void ScanResultQueue::startNextQueuedScanIfPossible()
{
    while (!s_.currentScanningResultID_ && !s_.scanTask_ && !s_.queuedResultIDs_.isEmpty()) {
        const QUuid id = s_.queuedResultIDs_.takeFirst();
        emit s_.queuedResultIDsChanged();
        const bool exists = s_.updateResult(id, [](ScanResultState &r) {
            r.phase = ScanResultPhase::scanning;
            r.progressSnapshot.reset();
            r.errorMessage.reset();
        });
        if (!exists)
            continue;
        s_.assign(s_.activeResultID_, std::optional(id), &ScanSessionStore::activeResultIDChanged);
        s_.navigation_->refreshFocusedChildren(true);
        beginScan(id, s_.result(id)->rootURL);
    }
}

// --- Applying updates -----------------------------------------------------

void ScanResultQueue::consume(const ScanUpdate &update, const QUuid &id)
{
    const bool isActive = s_.activeResultID_ == id;
    switch (update.kind()) {
    case ScanUpdate::Kind::started:
    case ScanUpdate::Kind::nodeDiscovered:
    case ScanUpdate::Kind::nodeUpdated:
    case ScanUpdate::Kind::branchCompleted:
        return;
    case ScanUpdate::Kind::progress:
        s_.updateResult(id, [&](ScanResultState &r) { r.progressSnapshot = update.get<ProgressSnapshot>(); });
        return;
    case ScanUpdate::Kind::intermediateTree: {
        const ScanTree &tree = update.get<ScanUpdate::IntermediateTree>().tree;
        s_.updateResult(id, [&](ScanResultState &r) {
            r.tree = tree;
            if (!r.focusedNodeID) {
                r.focusedNodeID = tree.rootID;
                r.selectedNodeID = tree.rootID;
            }
        });
        if (isActive)
            s_.navigation_->refreshFocusedChildren(true);
        return;
    }
    case ScanUpdate::Kind::finished: {
        const auto &finished = update.get<ScanUpdate::Finished>();
        const QUuid focus = restoredFocusNodeID(id, finished.tree).value_or(finished.tree.rootID);
        s_.updateResult(id, [&](ScanResultState &r) {
            r.tree = finished.tree;
            r.summary = finished.summary;
            r.focusedNodeID = focus;
            r.selectedNodeID = focus;
            r.phase = ScanResultPhase::ready;
            r.errorMessage.reset();
            r.progressSnapshot.reset();
        });
        if (isActive)
            s_.navigation_->refreshFocusedChildren(true);
        endScan(id);
        s_.changes_->scanFinished(id);
        return;
    }
    case ScanUpdate::Kind::failed: {
        const QString message = update.get<ScanFailure>().message();
        s_.updateResult(id, [&](ScanResultState &r) {
            r.phase = ScanResultPhase::failed;
            r.errorMessage = message;
            r.progressSnapshot.reset();
        });
        if (isActive)
            s_.navigation_->refreshFocusedChildren(true);
        endScan(id);
        return;
    }
    case ScanUpdate::Kind::cancelled:
        forgetResult(id);
        s_.navigation_->refreshFocusedChildren(true);
        endScan(id);
        return;
    }
}

void ScanResultQueue::endScan(const QUuid &resultID)
{
    if (s_.currentScanningResultID_ != resultID)
        return;
    // Not cancelled: this is the task delivering the update, and it ends
    // with its stream.
    if (s_.scanTask_) {
        endingTasks_.push_back(std::move(s_.scanTask_));
        emit s_.scanTaskChanged();
    }
    s_.assign(s_.currentScanningResultID_, std::optional<QUuid>(), &ScanSessionStore::currentScanningResultIDChanged);
    startNextQueuedScanIfPossible();
}

std::optional<QUuid> ScanResultQueue::restoredFocusNodeID(const QUuid &resultID, const ScanTree &tree)
{
    const auto entry = s_.preferredFocusPathsByResultID_.constFind(resultID);
    if (entry == s_.preferredFocusPathsByResultID_.constEnd())
        return std::nullopt;
    const QList<FileUrl> remembered = *entry;
    s_.preferredFocusPathsByResultID_.erase(entry);
    emit s_.preferredFocusPathsByResultIDChanged();
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

QList<FileUrl> ScanResultQueue::focusPathURLs(const ScanResultState &result)
{
    QList<FileUrl> urls;
    if (!result.tree || !result.focusedNodeID)
        return urls;
    for (const ScanNodeRecord &record : result.tree->path(*result.focusedNodeID))
        urls.append(record.url.standardized());
    return urls;
}
