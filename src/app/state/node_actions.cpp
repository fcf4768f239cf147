#include "node_actions.h"

#include "scan_result_queue.h"

#include <sys/stat.h>

NodeActions::NodeActions(ScanSessionStore &store) : s_(store) {}

bool NodeActions::canTrashActiveSelection() const
{
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->tree || !active->selectedNodeID || *active->selectedNodeID == active->tree->rootID)
        return false;
    const std::optional<ScanNodeRecord> node = active->tree->node(*active->selectedNodeID);
    return node && ScanSessionStore::isTrashable(*node) && existsHere(*node);
}

bool NodeActions::existsHere(const ScanNodeRecord &node) const
{
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->sourceFile)
        return true;
    struct stat st;
    return lstat(node.url.nativeFilePath().constData(), &st) == 0;
}

void NodeActions::requestTrashForNode(const QUuid &id)
{
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->tree || id == active->tree->rootID)
        return;
    std::optional<ScanNodeRecord> node = active->tree->node(id);
    if (!node || !ScanSessionStore::isTrashable(*node) || !existsHere(*node))
        return;
    pendingTrashResultID_ = active->id;
    pendingTrashItem_ = fileIdentityOf(node->url.nativePath().constData());
    s_.updateResult(active->id, [&id](ScanResultState &r) { r.selectedNodeID = id; });
    s_.assign(s_.pendingTrashNode_, std::move(node), &ScanSessionStore::pendingTrashNodeChanged);
}

void NodeActions::confirmTrashRequest()
{
    const ScanResultState *asked = s_.pendingTrashNode_ ? s_.result(pendingTrashResultID_) : nullptr;
    if (!asked) {
        s_.setPendingTrashNode(std::nullopt);
        return;
    }
    const TrashTarget target{s_.pendingTrashNode_->url, asked->rootURL, asked->rootIdentity, pendingTrashItem_};
    const QUuid resultID = pendingTrashResultID_;
    s_.assign(s_.pendingTrashNode_, std::optional<ScanNodeRecord>(), &ScanSessionStore::pendingTrashNodeChanged);
    QPointer<ScanSessionStore> self(&s_);
    s_.services_.trashService->moveToTrash(target, [self, resultID, moved = target.url](std::optional<QString> error) {
        if (!self)
            return;
        // Whatever happened, the result it was asked from shows the disk as
        // it is now, and so does every result inside what went away.
        self->queue_->rescanResult(resultID);
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
            self->queue_->rescanResult(id);
    });
}

void NodeActions::revealNode(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = s_.activeTreeNode(id); node && existsHere(*node))
        s_.services_.finderRevealService->reveal({node->url}, [self = QPointer(&s_)](const QString &reason) {
            if (self)
                emit self->actionFailed(QStringLiteral("Could not show the item in the file manager."), reason);
        });
}

void NodeActions::openNode(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = s_.activeTreeNode(id); node && existsHere(*node))
        s_.services_.finderRevealService->open(node->url, [self = QPointer(&s_)](const QString &reason) {
            if (self)
                emit self->actionFailed(QStringLiteral("Could not open the item."), reason);
        });
}

bool NodeActions::canScanAsNewResult(const ScanNodeRecord &node) const
{
    // A kernel file system holds no files; another file system is exactly
    // what a scan of its own is for.
    return node.kind != ScanNodeKind::file && node.mark != ScanNodeMark::kernelFileSystem && existsHere(node);
}

void NodeActions::scanAsNewResult(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = s_.activeTreeNode(id); node && canScanAsNewResult(*node))
        s_.queue_->startScan(node->url, std::nullopt);
}
