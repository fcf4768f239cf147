// The focused folder's children as the store sorted them: colour dot, name,
// detail, size and a Trash button per row. A list view over a model, so rows
// are painted only when they scroll into view, however many there are.
// Transparent: the workspace puts it on its card.
#pragma once

#include "scan_node_record.h"
#include "size_order.h"

#include <QAbstractListModel>
#include <QListView>
#include <QStyledItemDelegate>
#include <functional>

class SidebarListModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    void setNodes(const QList<ScanNodeRecord> &nodes);
    const QList<ScanNodeRecord> &nodes() const { return nodes_; }
    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    SizeMeasure measure = SizeMeasure::allocated;

private:
    QList<ScanNodeRecord> nodes_; // shared with the store's list, never copied
};

class SidebarListView : public QListView {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 58;

    explicit SidebarListView(QWidget *parent = nullptr);

    void setNodes(const QList<ScanNodeRecord> &nodes);
    void setSelectedNodeID(const std::optional<QUuid> &id);
    // Only the rows whose name holds text, in any case.
    void setFilter(const QString &text);
    const QString &filter() const { return filter_; }
    // The rows shown, after the filter.
    const QList<ScanNodeRecord> &shownNodes() const { return model_.nodes(); }

    // A click on a row (focus it), the keys moving the selection, Enter
    // on a row, its Trash button or Delete, and a context menu at a
    // global position.
    void setOnSelect(std::function<void(const QUuid &)> f) { onSelect_ = std::move(f); }
    void setOnMoveSelection(std::function<void(const QUuid &)> f) { onMoveSelection_ = std::move(f); }
    void setOnActivate(std::function<void(const QUuid &)> f) { onActivate_ = std::move(f); }
    void setOnTrash(std::function<void(const QUuid &)> f) { onTrash_ = std::move(f); }
    void setOnContextMenu(std::function<void(const QUuid &, const QPoint &)> f) { onContextMenu_ = std::move(f); }
    // Which rows carry a Trash button (by default those the store may trash).
    void setOffersTrash(std::function<bool(const ScanNodeRecord &)> f) { offersTrash_ = std::move(f); }
    bool offersTrash(const ScanNodeRecord &node) const;
    // The second line of a row (by default the node's detail: its children,
    // a mark) and its dot's colour (by default the chart's key of the node).
    void setDetailText(std::function<QString(const ScanNodeRecord &)> f) { detailText_ = std::move(f); }
    QString detailText(const ScanNodeRecord &node) const;
    void setDotColor(std::function<QColor(const ScanNodeRecord &)> f) { dotColor_ = std::move(f); }
    QColor dotColor(const ScanNodeRecord &node) const;

    const std::optional<QUuid> &selectedNodeID() const { return selectedNodeID_; }
    // The size each row shows (the store sorts by the same).
    void setSizeMeasure(SizeMeasure measure);
    SizeMeasure sizeMeasure() const { return model_.measure; }
    // What the list says when the focused node has nothing below it: why
    // (not entered, empty, unreadable), or what the focused file is.
    static QString emptyText(const ScanNodeRecord &focused, SizeMeasure measure = SizeMeasure::allocated);
    // Shown while the list has no rows.
    void setEmptyText(const QString &text);
    // Where a row's Trash button lies, in the row's own coordinates.
    static QRect trashButtonRect(const QRect &row);

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void applyFilter();
    int selectedRow() const;

    SidebarListModel model_;
    QList<ScanNodeRecord> allNodes_;
    QString filter_;
    QString emptyText_;
    std::optional<QUuid> selectedNodeID_;
    std::function<void(const QUuid &)> onSelect_;
    std::function<void(const QUuid &)> onMoveSelection_;
    std::function<void(const QUuid &)> onActivate_;
    std::function<void(const QUuid &)> onTrash_;
    std::function<void(const QUuid &, const QPoint &)> onContextMenu_;
    std::function<bool(const ScanNodeRecord &)> offersTrash_;
    std::function<QString(const ScanNodeRecord &)> detailText_;
    std::function<QColor(const ScanNodeRecord &)> dotColor_;
};
