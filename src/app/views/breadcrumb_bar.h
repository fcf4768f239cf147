// The path from the scanned root to the focused node as clickable names
// separated by chevrons; the focused node's name is the brightest.
#pragma once

#include "scan_node_record.h"

#include <QPushButton>
#include <QScrollArea>
#include <functional>

class BreadcrumbBar : public QScrollArea {
public:
    explicit BreadcrumbBar(QWidget *parent = nullptr);

    void setItems(const QList<ScanNodeRecord> &items);
    void setOnSelect(std::function<void(const QUuid &)> f) { onSelect_ = std::move(f); }
    // A context menu asked for on a name, at a global position.
    void setOnContextMenu(std::function<void(const QUuid &, const QPoint &)> f) { onContextMenu_ = std::move(f); }
    // The names come after anchor when Tab walks the window.
    void setTabAnchor(QWidget *anchor) { tabAnchor_ = anchor; }

    const QList<QPushButton *> &itemButtons() const { return buttons_; }
    int chevronCount() const { return chevrons_; }
    QSize sizeHint() const override;

private:
    QWidget *tabAnchor_ = nullptr;
    QList<QUuid> ids_;
    QList<QString> names_;
    QList<QPushButton *> buttons_;
    int chevrons_ = 0;
    std::function<void(const QUuid &)> onSelect_;
    std::function<void(const QUuid &, const QPoint &)> onContextMenu_;
};
