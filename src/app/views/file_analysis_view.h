// The views beside the chart other than the folder's own list, over the
// store's analysis of the focused folder: its largest files anywhere below
// it, its files by type (categories holding their extensions) and by age
// (bars). Choosing a type or an age singles its files out in the chart and,
// for a type, lists its largest files. Also the chart's colours and legend
// in those views. Transparent: the workspace puts it on its card.
#pragma once

#include "scan_session_store.h"
#include "sunburst_segment.h"

#include <QListWidget>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QWidget>

class SidebarListView;

class FileAnalysisView : public QStackedWidget {
    Q_OBJECT
public:
    explicit FileAnalysisView(ScanSessionStore &store, QWidget *parent = nullptr);

    // Shows the store's analysis; the page is the store's view.
    void refresh();
    // The colour of a chart segment in the view shown; nothing: its own.
    std::optional<QColor> tint(const ScanTree &tree, const SunburstSegment &segment) const;
    // What the chart's colours mean in the view shown (empty for folders).
    QList<std::pair<QColor, QString>> legend() const;

    SidebarListView *largestFilesList() const { return largest_; }
    QTreeWidget *typesTree() const { return types_; }
    SidebarListView *typeFilesList() const { return typeFiles_; }
    QListWidget *agesList() const { return ages_; }
    class ChangeView *changeView() const { return changes_; }
    // The second line of a file's row: where it is, its share, its date.
    QString fileDetail(const ScanNodeRecord &file) const;

private:
    SidebarListView *makeFileList(QWidget *parent);
    void fillTypes();
    void fillAges();

    ScanSessionStore &store_;
    SidebarListView *largest_ = nullptr;
    QTreeWidget *types_ = nullptr;
    SidebarListView *typeFiles_ = nullptr;
    QListWidget *ages_ = nullptr;
    class ChangeView *changes_ = nullptr;
    QHash<QUuid, QString> paths_; // of the files listed, below the focus
    bool filling_ = false;        // the tables change: not the user's choice
};

// A row of coloured swatches with what they stand for, under the chart.
class ChartLegend : public QWidget {
public:
    explicit ChartLegend(QWidget *parent = nullptr);
    void setItems(const QList<std::pair<QColor, QString>> &items);
    const QList<std::pair<QColor, QString>> &items() const { return items_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QList<QRect> layoutItems(int width) const;
    QList<std::pair<QColor, QString>> items_;
};
