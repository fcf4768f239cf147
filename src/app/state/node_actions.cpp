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
    return node && ScanSessionStore::isTrashable(*node) && canActOn(*node);
}

bool NodeActions::canActOn(const ScanNodeRecord &) const
{
    // A path of a result read from a file names whatever lies there on this
    // machine, not what the file describes.
    const ScanResultState *active = s_.activeResult();
    return active && !active->sourceFile;
}

void NodeActions::requestTrashForNode(const QUuid &id)
{
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->tree || id == active->tree->rootID)
        return;
    std::optional<ScanNodeRecord> node = active->tree->node(id);
    if (!node || !ScanSessionStore::isTrashable(*node) || !canActOn(*node))
        return;
    pendingResultID_ = active->id;
    s_.updateResult(active->id, [&id](ScanResultState &r) { r.selectedNodeID = id; });
    s_.assign(s_.pendingTrashNode_, std::move(node), &ScanSessionStore::pendingTrashNodeChanged);
}

std::optional<TrashTarget> NodeActions::targetOf(const ScanNodeRecord &node) const
{
    const ScanResultState *asked = s_.result(pendingResultID_);
    if (!asked || !asked->tree || asked->sourceFile)
        return std::nullopt;
    // What the scan saw, not what is there now: the move compares the two.
    return TrashTarget{node.url,          asked->rootURL,   asked->rootIdentity, node.kind,
                       node.isSpecial,    node.logicalSize, asked->tree->linkedFile(node.id)};
}

void NodeActions::confirmTrashRequest()
{
    const std::optional<TrashTarget> target = s_.pendingTrashNode_ ? targetOf(*s_.pendingTrashNode_) : std::nullopt;
    if (!target) {
        s_.setPendingTrashNode(std::nullopt);
        return;
    }
    const std::optional<ScanNodeRecord> node = s_.pendingTrashNode_;
    const QUuid resultID = pendingResultID_;
    s_.assign(s_.pendingTrashNode_, std::optional<ScanNodeRecord>(), &ScanSessionStore::pendingTrashNodeChanged);
    QPointer<ScanSessionStore> self(&s_);
    s_.services_.trashService->moveToTrash(*target, [self, resultID, node, target](const TrashOutcome &outcome) {
        if (!self)
            return;
        if (outcome.kind == TrashOutcome::Kind::noTrash) {
            // The item is untouched: the user may delete it instead.
            self->actions_->pendingResultID_ = resultID;
            self->assign(self->pendingDeletion_,
                         std::optional(ScanSessionStore::PendingDeletion{*node, outcome.reason}),
                         &ScanSessionStore::pendingDeletionChanged);
            return;
        }
        self->actions_->finishRemoval(resultID, target->url, outcome, QStringLiteral("Could not move item to Trash."));
    });
}

void NodeActions::confirmPermanentDeletion()
{
    const std::optional<TrashTarget> target =
        s_.pendingDeletion_ ? targetOf(s_.pendingDeletion_->node) : std::nullopt;
    const QUuid resultID = pendingResultID_;
    s_.assign(s_.pendingDeletion_, std::optional<ScanSessionStore::PendingDeletion>(),
              &ScanSessionStore::pendingDeletionChanged);
    if (!target)
        return;
    QPointer<ScanSessionStore> self(&s_);
    s_.services_.trashService->deletePermanently(*target, [self, resultID, url = target->url](const TrashOutcome &outcome) {
        if (self)
            self->actions_->finishRemoval(resultID, url, outcome, QStringLiteral("Could not delete the item."));
    });
}

void NodeActions::finishRemoval(const QUuid &resultID, const FileUrl &removed, const TrashOutcome &outcome,
                                const QString &failure)
{
    // Whatever happened, the result it was asked from shows the disk as it
    // is now, and so does every result inside what went away.
    s_.queue_->rescanResult(resultID);
    if (outcome.kind != TrashOutcome::Kind::done) {
        s_.updateResult(resultID, [&failure](ScanResultState &r) { r.errorMessage = failure; });
        emit s_.actionFailed(failure, outcome.reason);
        return;
    }
    const QByteArray inside = removed.nativePath() + '/';
    QList<QUuid> within;
    for (const ScanResultState &r : s_.results_) {
        if (r.id != resultID && !r.sourceFile && (r.rootURL.nativePath() + '/').startsWith(inside))
            within << r.id;
    }
    for (const QUuid &id : within)
        s_.queue_->rescanResult(id);
}

void NodeActions::revealNode(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = s_.activeTreeNode(id); node && canActOn(*node))
        s_.services_.finderRevealService->reveal({node->url}, [self = QPointer(&s_)](const QString &reason) {
            if (self)
                emit self->actionFailed(QStringLiteral("Could not show the item in the file manager."), reason);
        });
}

void NodeActions::openNode(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = s_.activeTreeNode(id); node && canActOn(*node))
        s_.services_.finderRevealService->open(node->url, [self = QPointer(&s_)](const QString &reason) {
            if (self)
                emit self->actionFailed(QStringLiteral("Could not open the item."), reason);
        });
}

bool NodeActions::canScanAsNewResult(const ScanNodeRecord &node) const
{
    // A kernel file system holds no files; another file system is exactly
    // what a scan of its own is for. A folder of a result read from a file
    // is scanned where it is here, if it is.
    if (node.kind == ScanNodeKind::file || node.mark == ScanNodeMark::kernelFileSystem)
        return false;
    struct stat st;
    return canActOn(node) || (stat(node.url.nativeFilePath().constData(), &st) == 0 && S_ISDIR(st.st_mode));
}

void NodeActions::scanAsNewResult(const QUuid &id)
{
    if (const std::optional<ScanNodeRecord> node = s_.activeTreeNode(id); node && canScanAsNewResult(*node))
        s_.queue_->startScan(node->url, std::nullopt);
}
