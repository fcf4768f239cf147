// The change view beside the chart: the focused folder's items with how much
// each grew or shrank since the earlier scan (sortable by either), a row
// for what was deleted that opens their list, and "Compare With…". Also
// the chart's colours (grown, shrunk, new, unchanged), their legend and the
// hover card's "was …, now …".
#pragma once

#include "scan_session_store.h"
#include "sunburst_segment.h"

#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>

class ChangeView : public QWidget {
    Q_OBJECT
public:
    explicit ChangeView(ScanSessionStore &store, QWidget *parent = nullptr);

    void refresh();
    std::optional<QColor> tint(const ScanTree &tree, const SunburstSegment &segment) const;
    QList<std::pair<QColor, QString>> legend() const;
    // For the hover card: "was 1.2 GB, now 2.4 GB (+1.2 GB)", "new since 3 Dec".
    QString note(const QUuid &node) const;

    // "+1.2 GB since 3 Dec 2026", "no change since …"; empty without an
    // earlier scan.
    static QString sinceText(const ScanSessionStore &store);

    QTreeWidget *changesTree() const { return changes_; }
    QPushButton *compareButton() const { return compare_; }
    // The kept scans of the folder to compare with, and any scan file.
    QMenu *comparisonMenu();
    void showComparisonMenu();
    QLabel *summaryLabel() const { return summary_; }

private:
    ScanSessionStore &store_;
    QLabel *summary_ = nullptr;
    QTreeWidget *changes_ = nullptr;
    QPushButton *compare_ = nullptr;
    QString filledFor_; // the comparison and focus the rows are of
};
