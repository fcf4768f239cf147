// What the session store does to the items of the active result on this
// machine: the Trash request, its confirmation and outcome, reveal and open
// in the desktop's applications, and a folder scanned as a result of its
// own. It changes the store's published fields; only the store calls it.
// Main thread only.
#pragma once

#include "scan_session_store.h"

class NodeActions {
public:
    explicit NodeActions(ScanSessionStore &store);

    void requestTrashForNode(const QUuid &id);
    bool canTrashActiveSelection() const;
    void confirmTrashRequest();
    void confirmPermanentDeletion();
    void revealNode(const QUuid &id);
    void openNode(const QUuid &id);
    void scanAsNewResult(const QUuid &id);
    bool canScanAsNewResult(const ScanNodeRecord &node) const;
    bool canActOn(const ScanNodeRecord &node) const;

private:
    // What the scan of the pending request's result saw of node.
    std::optional<TrashTarget> targetOf(const ScanNodeRecord &node) const;
    void finishRemoval(const QUuid &resultID, const FileUrl &removed, const TrashOutcome &outcome,
                       const QString &failure);

    ScanSessionStore &s_;
    // The result the pending request (to the Trash, or for good) was made in.
    QUuid pendingResultID_;
};
