// The session store's focus: which folder of the active result is focused
// and which item selected, the history of folders focused (back and
// forward), and the focused folder's children sorted off the main thread.
// It changes the store's published fields; only the store calls it. Main
// thread only.
#pragma once

#include "scan_session_store.h"

#include <atomic>

class FocusNavigation {
public:
    explicit FocusNavigation(ScanSessionStore &store);
    ~FocusNavigation();

    // Focuses a node of the active result and remembers the former focus.
    void focusNode(const QUuid &id);
    void focusParent();
    void focusRoot();
    void focusBack();
    void focusForward();
    bool canFocusBack() const;
    bool canFocusForward() const;
    void selectNode(const QUuid &id);
    std::optional<ScanNodeRecord> activeTreeNode(const QUuid &id) const;
    std::optional<ScanNodeRecord> activeSelectedNode() const;
    void setSizeMeasure(SizeMeasure measure);

    // Sorts the focused folder's children again when the focus changed, or
    // always with force (a new tree, a new order).
    void refreshFocusedChildren(bool force);
    bool hasSortTask() const { return bool(sortTask_); }
    void forgetHistory(const QUuid &resultID) { histories_.remove(resultID); }
    // No history, no children, and no sort that may still publish.
    void clear();

private:
    struct FocusHistory {
        QList<QUuid> back, forward;
    };
    // Moves the focus to a node of the history; false when it left the tree.
    bool focusFromHistory(const QUuid &id);
    void stepThroughHistory(bool back);
    void publishFocusedChildren(quint64 request, QList<ScanNodeRecord> sorted);
    void cancelSort();

    ScanSessionStore &s_;
    QHash<QUuid, FocusHistory> histories_;
    // The cancellation flag of the running background sort.
    std::shared_ptr<std::atomic<bool>> sortTask_;
};
