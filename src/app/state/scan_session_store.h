// Everything the window shows: the scanned folders, which one is active, the
// scan queue and the one running scan, focus and selection, the sorted
// children of the focused folder, and a pending Trash request. Views read it
// and call its operations; nothing else changes it. It keeps the published
// state and hands the work to its parts: the result queue, focus
// navigation, node actions, the analysis tables and the change history.
// Main thread only.
#pragma once

#include "app_activation_service.h"
#include "file_analysis.h"
#include "finder_reveal_service.h"
#include "focused_children_context.h"
#include "open_panel_service.h"
#include "result_comparison.h"
#include "scan_history.h"
#include "scan_engine_providing.h"
#include "scan_result_state.h"
#include "size_order.h"
#include "trash_service.h"

#include <QPointer>
#include <QHash>
#include <QObject>
#include <QUrl>
#include <functional>
#include <memory>
#include <vector>

// The desktop services the store calls; tests replace any of them.
struct ScanSessionServices {
    std::shared_ptr<const TrashService> trashService = std::make_shared<TrashService>();
    std::shared_ptr<const FinderRevealService> finderRevealService = std::make_shared<FinderRevealService>();
    std::shared_ptr<const OpenPanelService> openPanel = std::make_shared<OpenPanelService>();
    std::shared_ptr<const AppActivationService> appActivation = std::make_shared<AppActivationService>();
};

// Where finished scans are kept, to compare the next ones with; an empty
// folder keeps none.
struct ScanHistorySettings {
    QString folder;
    int perFolder = 10;
    qint64 totalBytes = qint64(1) << 30;
};

class ScanResultQueue;
class FocusNavigation;
class NodeActions;
class AnalysisTables;
class ChangeHistory;

class ScanSessionStore : public QObject {
    Q_OBJECT

public:
    // The consumer of one scan's update stream; cancelling it is destroying it.
    class ScanTask;

    explicit ScanSessionStore(std::shared_ptr<ScanEngineProviding> scanEngine,
                              ScanSessionServices services = {}, QObject *parent = nullptr);
    ~ScanSessionStore() override;

    // Published fields; each has a change signal below.
    const QList<ScanResultState> &results() const { return results_; }
    const std::optional<QUuid> &activeResultID() const { return activeResultID_; }
    const std::optional<ScanNodeRecord> &pendingTrashNode() const { return pendingTrashNode_; }
    // An item the Trash could not take, its file system having none: the
    // user may delete it for good instead. where: which file system.
    struct PendingDeletion {
        ScanNodeRecord node;
        QString where;
        friend bool operator==(const PendingDeletion &, const PendingDeletion &) = default;
    };
    const std::optional<PendingDeletion> &pendingDeletion() const { return pendingDeletion_; }
    const ScanTask *scanTask() const { return scanTask_.get(); }
    const QList<QUuid> &queuedResultIDs() const { return queuedResultIDs_; }
    const std::optional<QUuid> &currentScanningResultID() const { return currentScanningResultID_; }
    const QHash<QUuid, QList<FileUrl>> &preferredFocusPathsByResultID() const { return preferredFocusPathsByResultID_; }
    const QList<ScanNodeRecord> &focusedChildren() const { return focusedChildren_; }

    const std::optional<FocusedChildrenContext> &focusedChildrenContext() const { return focusedChildrenContext_; }
    bool hasFocusedChildrenSortTask() const;
    quint64 focusedChildrenSequence() const { return focusedChildrenSequence_; }

    // The result the window shows; null when there is none.
    const ScanResultState *activeResult() const;
    const ScanResultState *result(const QUuid &id) const;

    // Folders from a drop, the command line or a later launch, and scan
    // files (exports), which open as results; anything that is neither an
    // existing local directory nor a regular file is dropped silently.
    void acceptIncoming(const QList<QUrl> &urls);
    // Reads the export at path off the main thread into a new result; one
    // that cannot be read fails with the reader's message.
    void openScanFile(const QString &path);
    // Reads a scan file as it arrives on descriptor (standard input, from
    // ssh), keeping a copy at keptPath, into a new result that counts the
    // bytes received; opened like openScanFile once the sender is done.
    void receiveScanFile(int descriptor, const QString &keptPath);
    void chooseFolder();
    // Asks where, then writes the active result as a scan file off the main
    // thread; scanSaved tells how it went.
    void saveActiveResult();
    bool canSaveActiveResult() const;
    void activateResult(const QUuid &id);
    void removeResult(const QUuid &id);
    void clearAll();
    void rescanActiveResult();
    // Remembers the result's focus path and scans its folder again.
    void rescanResult(const QUuid &id);
    // A result opened from a scan file is scanned again only once it is
    // whole and when its folder is on this machine: as a new result, the
    // one read from the file stays as it was.
    bool canRescan(const QUuid &id) const;
    bool canRescanActiveResult() const;
    // Ends the running scan early: its result keeps what was found, marked
    // partial ("Stopped — partial"), and can be rescanned.
    void stopScan();
    bool canStopScan() const;

    // Focuses a node of the active result and remembers the former focus
    // for focusBack.
    void focusNode(const QUuid &id);
    void focusParent();
    void focusRoot();
    // Through the focus history of the active result; nodes that have left
    // its tree are skipped.
    void focusBack();
    void focusForward();
    bool canFocusBack() const;
    bool canFocusForward() const;
    // Selects a node of the active result without focusing it; the Trash
    // and reveal actions act on it.
    void selectNode(const QUuid &id);
    std::optional<ScanNodeRecord> activeTreeNode(const QUuid &id) const;
    std::optional<ScanNodeRecord> activeSelectedNode() const;
    // The size the list is ordered by and every view shows.
    SizeMeasure sizeMeasure() const { return sizeMeasure_; }
    // What the focused folder is made of, for the view beside the chart;
    // ready once made (off the main thread).
    const FileAnalysis &analysis() const { return analysis_; }
    void setAnalysisView(AnalysisView view);
    // The type or age whose files the chart and the list single out.
    void setAnalysisHighlight(const FileFilter &highlight);
    // The active result beside an earlier scan of its folder: the one kept
    // before it, or the file chosen by compareActiveWith.
    std::optional<ResultComparison> activeComparison() const;
    void compareActiveWith(const QString &scanFile);
    // Asks the open panel for the scan file to compare with.
    void chooseComparison();
    // The kept scans of the active result's folder, newest first (none
    // when the history is off).
    QList<ScanHistoryEntry> keptScansOfActive() const;
    void setHistorySettings(const ScanHistorySettings &settings) { history_ = settings; }
    const ScanHistorySettings &historySettings() const { return history_; }
    void setSizeMeasure(SizeMeasure measure);

    void requestTrashForNode(const QUuid &id);
    void requestTrashForActiveSelection();
    bool canTrashActiveSelection() const;
    // Mount points below the root are not offered for the Trash.
    static bool isTrashable(const ScanNodeRecord &node);
    void confirmTrashRequest();
    // The window's dismissal of the confirmation sets it absent.
    void setPendingTrashNode(std::optional<ScanNodeRecord> node);
    // Deletes the pending item for good (the window asked twice); nothing
    // of it goes through a link, and a failure part-way says what is left.
    void confirmPermanentDeletion();
    void cancelPendingDeletion();
    void revealFocusedNode();
    void revealNode(const QUuid &id);
    // Opens the node with the desktop's default application (a folder with
    // the file manager).
    void openNode(const QUuid &id);
    // A folder of the active result, scanned as a result of its own.
    void scanAsNewResult(const QUuid &id);
    bool canScanAsNewResult(const ScanNodeRecord &node) const;
    // Whether Trash, Open and Reveal may act on the node of the active
    // result: only on a scan made here. A result read from a file is for
    // looking, however much its paths look like this machine's.
    bool canActOn(const ScanNodeRecord &node) const;
    // Why they may not, for the list and the menus; empty when they may.
    QString whyNotActing() const;

signals:
    void resultsChanged();
    void activeResultIDChanged();
    void pendingTrashNodeChanged();
    void pendingDeletionChanged();
    void scanTaskChanged();
    void queuedResultIDsChanged();
    void currentScanningResultIDChanged();
    void preferredFocusPathsByResultIDChanged();
    void focusedChildrenChanged();
    void sizeMeasureChanged();
    void analysisChanged();
    void comparisonChanged();
    // error is empty when the file was written whole.
    void scanSaved(const QString &path, const QString &error);
    // What the user asked for did not happen (a confirmed move to the
    // Trash, a reveal): what, and why.
    void actionFailed(const QString &message, const QString &reason);

private:
    friend class ScanResultQueue;
    friend class FocusNavigation;
    friend class NodeActions;
    friend class AnalysisTables;
    friend class ChangeHistory;

    void upsertResult(const ScanResultState &state);
    bool updateResult(const QUuid &id, const std::function<void(ScanResultState &)> &mutation);
    void setScanTask(std::shared_ptr<ScanTask> task);
    // Whole-value assignment: observers hear of it only when the value differs.
    template <typename T> void assign(T &field, T value, void (ScanSessionStore::*changed)())
    {
        if (field == value)
            return;
        field = std::move(value);
        emit(this->*changed)();
    }

    std::shared_ptr<ScanEngineProviding> scanEngine_;
    ScanSessionServices services_;

    QList<ScanResultState> results_;
    std::optional<QUuid> activeResultID_;
    std::optional<ScanNodeRecord> pendingTrashNode_;
    std::optional<PendingDeletion> pendingDeletion_;
    std::shared_ptr<ScanTask> scanTask_;
    QList<QUuid> queuedResultIDs_;
    std::optional<QUuid> currentScanningResultID_;
    QHash<QUuid, QList<FileUrl>> preferredFocusPathsByResultID_;
    QList<ScanNodeRecord> focusedChildren_;
    std::optional<FocusedChildrenContext> focusedChildrenContext_;
    quint64 focusedChildrenSequence_ = 0;
    SizeMeasure sizeMeasure_ = SizeMeasure::allocated;
    FileAnalysis analysis_;
    ScanHistorySettings history_;

    // The parts the work goes to; each reads and writes the fields above.
    std::unique_ptr<ScanResultQueue> queue_;
    std::unique_ptr<FocusNavigation> navigation_;
    std::unique_ptr<NodeActions> actions_;
    std::unique_ptr<AnalysisTables> analysisTables_;
    std::unique_ptr<ChangeHistory> changes_;
};
