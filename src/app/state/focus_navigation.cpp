#include "focus_navigation.h"

#include "background_work.h"

#include "analysis_tables.h"

#include "size_order.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

FocusNavigation::FocusNavigation(ScanSessionStore &store) : s_(store) {}

FocusNavigation::~FocusNavigation()
{
    cancelSort();
}

void FocusNavigation::focusNode(const QUuid &id)
{
    const ScanResultState *active = s_.activeResult();
    if (!activeTreeNode(id))
        return;
    if (active->focusedNodeID && *active->focusedNodeID != id) {
        FocusHistory &history = histories_[active->id];
        history.back.append(*active->focusedNodeID);
        if (history.back.size() > 200) // a session of clicking, not a log
            history.back.removeFirst();
        history.forward.clear();
    }
    focusFromHistory(id);
}

bool FocusNavigation::focusFromHistory(const QUuid &id)
{
    if (!s_.activeResultID_ || !activeTreeNode(id))
        return false;
    s_.updateResult(*s_.activeResultID_, [&id](ScanResultState &r) {
        r.focusedNodeID = id;
        r.selectedNodeID = id;
    });
    refreshFocusedChildren(false);
    return true;
}

void FocusNavigation::focusParent()
{
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->tree)
        return;
    if (const std::optional<ScanNodeRecord> focused = active->tree->node(active->focusedNodeID); focused && focused->parentID)
        focusNode(*focused->parentID);
}

void FocusNavigation::focusRoot()
{
    if (const ScanResultState *active = s_.activeResult(); active && active->tree)
        focusNode(active->tree->rootID);
}

void FocusNavigation::focusBack()
{
    stepThroughHistory(true);
}

void FocusNavigation::focusForward()
{
    stepThroughHistory(false);
}

void FocusNavigation::stepThroughHistory(bool back)
{
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->focusedNodeID)
        return;
    FocusHistory &history = histories_[active->id];
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

bool FocusNavigation::canFocusBack() const
{
    const ScanResultState *active = s_.activeResult();
    return active && !histories_.value(active->id).back.isEmpty();
}

bool FocusNavigation::canFocusForward() const
{
    const ScanResultState *active = s_.activeResult();
    return active && !histories_.value(active->id).forward.isEmpty();
}

void FocusNavigation::selectNode(const QUuid &id)
{
    if (s_.activeResultID_ && activeTreeNode(id))
        s_.updateResult(*s_.activeResultID_, [&id](ScanResultState &r) { r.selectedNodeID = id; });
}

std::optional<ScanNodeRecord> FocusNavigation::activeTreeNode(const QUuid &id) const
{
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->tree)
        return std::nullopt;
    return active->tree->node(id);
}

std::optional<ScanNodeRecord> FocusNavigation::activeSelectedNode() const
{
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->tree || !active->selectedNodeID)
        return std::nullopt;
    return active->tree->node(*active->selectedNodeID);
}

void FocusNavigation::setSizeMeasure(SizeMeasure measure)
{
    if (measure == s_.sizeMeasure_)
        return;
    s_.sizeMeasure_ = measure;
    emit s_.sizeMeasureChanged();
    refreshFocusedChildren(true); // in the new order
}

void FocusNavigation::clear()
{
    histories_.clear();
    s_.focusedChildrenContext_.reset();
    s_.assign(s_.focusedChildren_, {}, &ScanSessionStore::focusedChildrenChanged);
    cancelSort();
    ++s_.focusedChildrenSequence_; // a sort already past its cancellation check must not publish
}

void FocusNavigation::refreshFocusedChildren(bool force)
{
    s_.analysisTables_->refresh(force); // the tables follow the focused folder too
    const ScanResultState *active = s_.activeResult();
    if (!active || !active->tree || !active->focusedNodeID) {
        s_.focusedChildrenContext_.reset();
        s_.assign(s_.focusedChildren_, {}, &ScanSessionStore::focusedChildrenChanged);
        cancelSort();
        ++s_.focusedChildrenSequence_; // as in clear: no older sort may publish now
        return;
    }
    const FocusedChildrenContext context{active->id, *active->focusedNodeID};
    if (!force && s_.focusedChildrenContext_ == context)
        return;
    s_.focusedChildrenContext_ = context;
    s_.assign(s_.focusedChildren_, {}, &ScanSessionStore::focusedChildrenChanged);
    cancelSort();
    const quint64 request = ++s_.focusedChildrenSequence_;

    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    sortTask_ = cancelled;
    QPointer<ScanSessionStore> self(&s_);
    backgroundPool().start(
        [self, cancelled, request, tree = *active->tree, focus = context.focusedNodeID, measure = s_.sizeMeasure_]() mutable {
            QList<ScanNodeRecord> sorted = sortedChildren(tree, focus, measure);
            if (cancelled->load())
                return;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, request, sorted = std::move(sorted)]() mutable {
                    if (self)
                        self->navigation_->publishFocusedChildren(request, std::move(sorted));
                },
                Qt::QueuedConnection);
        });
}

void FocusNavigation::publishFocusedChildren(quint64 request, QList<ScanNodeRecord> sorted)
{
    if (request != s_.focusedChildrenSequence_)
        return;
    s_.assign(s_.focusedChildren_, std::move(sorted), &ScanSessionStore::focusedChildrenChanged);
    sortTask_.reset();
}

void FocusNavigation::cancelSort()
{
    if (sortTask_)
        sortTask_->store(true);
    sortTask_.reset();
}
