#include "scan_session_store.h"

#include "analysis_tables.h"
#include "change_history.h"
#include "focus_navigation.h"
#include "node_actions.h"
#include "scan_result_queue.h"
#include "scan_history.h"

ScanSessionStore::ScanSessionStore(std::shared_ptr<ScanEngineProviding> scanEngine,
                                   ScanSessionServices services, QObject *parent)
    : QObject(parent), scanEngine_(std::move(scanEngine)), services_(std::move(services)),
      queue_(std::make_unique<ScanResultQueue>(*this)), navigation_(std::make_unique<FocusNavigation>(*this)),
      actions_(std::make_unique<NodeActions>(*this)), analysisTables_(std::make_unique<AnalysisTables>(*this)), changes_(std::make_unique<ChangeHistory>(*this))
{
}

ScanSessionStore::~ScanSessionStore() = default;

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

void ScanSessionStore::setPendingTrashNode(std::optional<ScanNodeRecord> node)
{
    assign(pendingTrashNode_, std::move(node), &ScanSessionStore::pendingTrashNodeChanged);
}

bool ScanSessionStore::isTrashable(const ScanNodeRecord &node)
{
    // A mount point cannot move to the Trash, and moving what the scan
    // did not enter would take more than the user was shown.
    return node.mark != ScanNodeMark::otherFileSystem && node.mark != ScanNodeMark::kernelFileSystem;
}

// --- Handed to the result queue -------------------------------------------

void ScanSessionStore::acceptIncoming(const QList<QUrl> &urls) { queue_->acceptIncoming(urls); }
void ScanSessionStore::openScanFile(const QString &path) { queue_->openScanFile(path); }
void ScanSessionStore::receiveScanFile(int descriptor, const QString &keptPath)
{
    queue_->receiveScanFile(descriptor, keptPath);
}
void ScanSessionStore::chooseFolder() { queue_->chooseFolder(); }
void ScanSessionStore::saveActiveResult() { changes_->saveActiveResult(); }
bool ScanSessionStore::canSaveActiveResult() const { return changes_->canSaveActiveResult(); }
void ScanSessionStore::activateResult(const QUuid &id) { queue_->activateResult(id); }
void ScanSessionStore::removeResult(const QUuid &id) { queue_->removeResult(id); }
void ScanSessionStore::clearAll() { queue_->clearAll(); }
void ScanSessionStore::rescanActiveResult()
{
    if (activeResultID_)
        queue_->rescanResult(*activeResultID_);
}
void ScanSessionStore::rescanResult(const QUuid &id) { queue_->rescanResult(id); }
bool ScanSessionStore::canRescan(const QUuid &id) const { return queue_->canRescan(id); }
void ScanSessionStore::stopScan() { queue_->stopScan(); }
bool ScanSessionStore::canStopScan() const { return queue_->canStopScan(); }
bool ScanSessionStore::canRescanActiveResult() const { return activeResultID_ && canRescan(*activeResultID_); }

// --- Handed to focus navigation -------------------------------------------

void ScanSessionStore::focusNode(const QUuid &id) { navigation_->focusNode(id); }
void ScanSessionStore::focusParent() { navigation_->focusParent(); }
void ScanSessionStore::focusRoot() { navigation_->focusRoot(); }
void ScanSessionStore::focusBack() { navigation_->focusBack(); }
void ScanSessionStore::focusForward() { navigation_->focusForward(); }
bool ScanSessionStore::canFocusBack() const { return navigation_->canFocusBack(); }
bool ScanSessionStore::canFocusForward() const { return navigation_->canFocusForward(); }
void ScanSessionStore::selectNode(const QUuid &id) { navigation_->selectNode(id); }
std::optional<ScanNodeRecord> ScanSessionStore::activeTreeNode(const QUuid &id) const
{
    return navigation_->activeTreeNode(id);
}
std::optional<ScanNodeRecord> ScanSessionStore::activeSelectedNode() const { return navigation_->activeSelectedNode(); }
void ScanSessionStore::setSizeMeasure(SizeMeasure measure) { navigation_->setSizeMeasure(measure); }
bool ScanSessionStore::hasFocusedChildrenSortTask() const { return navigation_->hasSortTask(); }
void ScanSessionStore::setAnalysisView(AnalysisView view)
{
    if (analysis_.view == view)
        return;
    analysis_.view = view;
    analysis_.highlight = {};
    analysisTables_->refresh(false);
}
std::optional<ResultComparison> ScanSessionStore::activeComparison() const
{
    const ScanResultState *active = activeResult();
    return active ? changes_->comparisonFor(*active) : std::nullopt;
}
void ScanSessionStore::compareActiveWith(const QString &scanFile)
{
    if (activeResultID_)
        changes_->compareWith(*activeResultID_, scanFile);
}
QList<ScanHistoryEntry> ScanSessionStore::keptScansOfActive() const
{
    const ScanResultState *active = activeResult();
    if (!active || history_.folder.isEmpty())
        return {};
    return ScanHistory(history_.folder).scansOf(active->rootURL);
}
void ScanSessionStore::chooseComparison()
{
    if (const std::optional<QString> file = services_.openPanel->chooseScanFile())
        compareActiveWith(*file);
}
void ScanSessionStore::setAnalysisHighlight(const FileFilter &highlight)
{
    if (analysis_.highlight == highlight)
        return;
    analysis_.highlight = highlight;
    analysisTables_->refresh(false);
}

// --- Handed to node actions -----------------------------------------------

void ScanSessionStore::requestTrashForNode(const QUuid &id) { actions_->requestTrashForNode(id); }
void ScanSessionStore::requestTrashForActiveSelection()
{
    if (const ScanResultState *active = activeResult(); active && active->selectedNodeID)
        actions_->requestTrashForNode(*active->selectedNodeID);
}
bool ScanSessionStore::canTrashActiveSelection() const { return actions_->canTrashActiveSelection(); }
void ScanSessionStore::confirmTrashRequest() { actions_->confirmTrashRequest(); }
void ScanSessionStore::confirmPermanentDeletion() { actions_->confirmPermanentDeletion(); }
void ScanSessionStore::cancelPendingDeletion()
{
    assign(pendingDeletion_, std::optional<PendingDeletion>(), &ScanSessionStore::pendingDeletionChanged);
}
void ScanSessionStore::revealFocusedNode()
{
    if (const std::optional<ScanNodeRecord> node = activeSelectedNode())
        actions_->revealNode(node->id);
}
void ScanSessionStore::revealNode(const QUuid &id) { actions_->revealNode(id); }
void ScanSessionStore::openNode(const QUuid &id) { actions_->openNode(id); }
void ScanSessionStore::scanAsNewResult(const QUuid &id) { actions_->scanAsNewResult(id); }
bool ScanSessionStore::canScanAsNewResult(const ScanNodeRecord &node) const
{
    return actions_->canScanAsNewResult(node);
}
bool ScanSessionStore::canActOn(const ScanNodeRecord &node) const { return actions_->canActOn(node); }
QString ScanSessionStore::whyNotActing() const
{
    const ScanResultState *active = activeResult();
    return active && active->sourceFile ? QStringLiteral("Read from a file: scan this folder here to act on it")
                                        : QString();
}
