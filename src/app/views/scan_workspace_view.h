// The screen for a result with a tree: a header card with the folder's name,
// a summary line and the four actions, then the breadcrumb, the sunburst
// chart and the list of the focused folder's largest children.
#pragma once

#include "scan_session_store.h"

#include <QLabel>
#include <QDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QWidget>

class BreadcrumbBar;
class ShrinkingLabel;
class SidebarListView;
class SunburstCanvasView;

class ScanWorkspaceView : public QWidget {
public:
    static constexpr int kSidebarWidth = 380;

    explicit ScanWorkspaceView(ScanSessionStore &store, QWidget *parent = nullptr);

    // "250ms", "12.3s", "2m 5s": the thresholds compare the seconds before rounding.
    static QString scanDuration(double seconds);
    static QString scanDuration(const ScanSummary &summary);
    // savedIn: the result was opened from a scan file, which says when it
    // was made rather than how long the scan took.
    // " • Stopped — partial" for a scan stopped early, else nothing.
    static QString partialSuffix(const ScanSummary &summary);
    static QString summaryText(const ScanSummary &summary, bool saved = false);
    static QString detailText(const ScanSummary &summary, const ScanNodeRecord &focusedNode, bool saved = false,
                              SizeMeasure measure = SizeMeasure::allocated);
    // The header's subtitle for the store's active result; empty while it has no summary.
    static QString subtitleText(const ScanSessionStore &store);
    // "1 folder could not be read", "3 folders could not be read"; empty for none.
    static QString unreadableText(qint64 count);

    // Applies the store's current state; called on every change, coalesced.
    void refresh();
    // Shows the name filter above the list and gives it the keys.
    void showFilter();
    QLineEdit *filterField() const { return filter_; }
    // Lists the active result's unreadable folders; choosing one focuses it.
    void showUnreadableFolders();
    QDialog *unreadableDialog() const { return unreadableDialog_; }

    ShrinkingLabel *titleLabel() const { return title_; }
    ShrinkingLabel *subtitleLabel() const { return subtitle_; }
    QPushButton *unreadableButton() const { return unreadable_; }
    QPushButton *revealButton() const { return reveal_; }
    QPushButton *trashButton() const { return trash_; }
    const QLabel *fromFileNote() const { return fromFile_; }
    QPushButton *rescanButton() const { return rescan_; }
    QPushButton *stopButton() const { return stop_; }
    QTabBar *viewTabs() const { return viewTabs_; }
    class FileAnalysisView *analysisView() const { return analysis_; }
    class ChartLegend *chartLegend() const { return legend_; }
    QPushButton *scanAnotherButton() const { return scanAnother_; }
    BreadcrumbBar *breadcrumb() const { return breadcrumb_; }
    SunburstCanvasView *chart() const { return chart_; }
    SidebarListView *sidebar() const { return sidebar_; }
    bool showsBody() const { return body_->currentIndex() == 0; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildHeader();
    QWidget *buildBody();

    ScanSessionStore &store_;
    ShrinkingLabel *title_ = nullptr;
    ShrinkingLabel *subtitle_ = nullptr;
    QPushButton *unreadable_ = nullptr;
    QPointer<QDialog> unreadableDialog_;
    QPushButton *reveal_ = nullptr;
    QPushButton *trash_ = nullptr;
    QLabel *fromFile_ = nullptr; // why nothing of a result read from a file is acted on
    QPushButton *rescan_ = nullptr;
    QPushButton *stop_ = nullptr;
    QTabBar *viewTabs_ = nullptr;
    QStackedWidget *sidebarPages_ = nullptr; // the folder's list, or the analysis
    class FileAnalysisView *analysis_ = nullptr;
    class ChartLegend *legend_ = nullptr;
    bool refreshing_ = false;
    QPushButton *scanAnother_ = nullptr;
    QStackedWidget *body_ = nullptr;
    BreadcrumbBar *breadcrumb_ = nullptr;
    SunburstCanvasView *chart_ = nullptr;
    SidebarListView *sidebar_ = nullptr;
    QLineEdit *filter_ = nullptr;
    std::optional<QUuid> filteredFolder_; // the filter is of one folder's list
};
