#include "sidebar_list_view.h"

#include "background_work.h"

#include "byte_count_text.h"
#include "node_color.h"
#include "scan_session_store.h"
#include "stable_scan_node_id.h"
#include "sunburst_layout_service.h"
#include "view_style.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

namespace {

constexpr int kNodeRole = Qt::UserRole;

class SidebarRowDelegate : public QStyledItemDelegate {
public:
    explicit SidebarRowDelegate(const SidebarListView *view) : QStyledItemDelegate(const_cast<SidebarListView *>(view)), view_(view) {}

    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const override
    {
        return {200, SidebarListView::kRowHeight};
    }

    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const auto *node = static_cast<const ScanNodeRecord *>(index.data(kNodeRole).value<const void *>());
        if (!node)
            return;
        const QRect row = option.rect;
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        if (view_->selectedNodeID() == node->id) {
            p->fillRect(row, style::white(0.09));
            if (view_->hasFocus()) { // where the keys are
                p->setPen(QPen(style::focusColor(), 2));
                p->setBrush(Qt::NoBrush);
                p->drawRoundedRect(QRectF(row).adjusted(3, 2, -3, -3), 8, 8);
            }
        }
        p->fillRect(QRect(row.left(), row.bottom(), row.width(), 1), style::white(0.06));

        const QRect content = row.adjusted(14, 12, -14, -12);
        const QRect trash = SidebarListView::trashButtonRect(row);
        if (view_->offersTrash(*node))
            style::paintSymbol(*p, trash, QStringLiteral("trash"), style::white(0.28), 1.1);

        QRect select = content;
        select.setRight(trash.left() - 10);
        p->setPen(Qt::NoPen);
        p->setBrush(view_->dotColor(*node)); // the chart's key
        p->drawEllipse(QRectF(select.left(), select.center().y() - 4.5, 10, 10));

        const QString size = byteCountText(sizeOf(*node, view_->sizeMeasure()));
        const QFont sizeFont = style::font(12, QFont::DemiBold, style::Design::monospaced);
        const int sizeWidth = QFontMetrics(sizeFont).horizontalAdvance(size);
        p->setFont(sizeFont);
        p->setPen(style::white(0.82));
        p->drawText(QRect(select.right() - sizeWidth, select.top(), sizeWidth, select.height()),
                    Qt::AlignVCenter | Qt::AlignRight, size);

        const QRect text(select.left() + 22, select.top(), select.width() - 22 - sizeWidth - 12, select.height());
        const QFont nameFont = style::font(13, QFont::DemiBold);
        const QFont detailFont = style::font(11, QFont::Medium);
        const int nameHeight = QFontMetrics(nameFont).height();
        const int detailHeight = QFontMetrics(detailFont).height();
        const int top = text.center().y() - (nameHeight + 4 + detailHeight) / 2;
        p->setFont(nameFont);
        p->setPen(style::white());
        p->drawText(QRect(text.left(), top, text.width(), nameHeight), Qt::AlignLeft | Qt::AlignVCenter,
                    QFontMetrics(nameFont).elidedText(node->displayName, Qt::ElideRight, text.width()));
        p->setFont(detailFont);
        p->setPen(style::white(0.52));
        p->drawText(QRect(text.left(), top + nameHeight + 4, text.width(), detailHeight), Qt::AlignLeft | Qt::AlignVCenter,
                    QFontMetrics(detailFont).elidedText(view_->detailText(*node), Qt::ElideRight, text.width()));
        p->restore();
    }

private:
    const SidebarListView *view_;
};

} // namespace

void SidebarListModel::setNodes(const QList<ScanNodeRecord> &nodes)
{
    beginResetModel();
    // Freeing a million records holds the main thread a quarter of a
    // second: a large list that may be the last copy goes elsewhere.
    if (nodes_.size() > 10000 && nodes_.constData() != nodes.constData())
        backgroundPool().start([old = std::exchange(nodes_, {})] {});
    nodes_ = nodes;
    endResetModel();
}

int SidebarListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(nodes_.size());
}

QVariant SidebarListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= nodes_.size())
        return {};
    const ScanNodeRecord &node = nodes_[index.row()];
    switch (role) {
    case kNodeRole:
        return QVariant::fromValue(static_cast<const void *>(&node));
    case Qt::DisplayRole:
        return node.displayName;
    case Qt::ToolTipRole:
        return style::plainToolTip(node.url.path());
    case Qt::AccessibleTextRole:
        return node.displayName + QStringLiteral(", ") + byteCountText(sizeOf(node, measure));
    case Qt::AccessibleDescriptionRole:
        if (const auto *view = qobject_cast<const SidebarListView *>(QObject::parent()))
            return view->detailText(node);
        return scanNodeDetailText(node);
    default:
        return {};
    }
}

SidebarListView::SidebarListView(QWidget *parent) : QListView(parent), model_(this)
{
    setModel(&model_);
    setItemDelegate(new SidebarRowDelegate(this));
    setUniformItemSizes(true); // lets the view skip measuring rows it does not show
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("Largest items"));
    setMouseTracking(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalScrollBar()->setSingleStep(20);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QListView { background: transparent; }"
                                 "QScrollBar:vertical { background: transparent; width: 8px; margin: 14px 2px; }"
                                 "QScrollBar::handle:vertical { background: rgba(255,255,255,0.22); border-radius: 2px; min-height: 24px; }"
                                 "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
                                 "QScrollBar::add-page, QScrollBar::sub-page { background: none; }"));
}

void SidebarListView::setNodes(const QList<ScanNodeRecord> &nodes)
{
    if (nodes.constData() == allNodes_.constData() && nodes.size() == allNodes_.size())
        return; // the same shared list: nothing to redo
    allNodes_ = nodes;
    applyFilter();
}

void SidebarListView::setFilter(const QString &text)
{
    if (text == filter_)
        return;
    filter_ = text;
    applyFilter();
}

void SidebarListView::applyFilter()
{
    if (filter_.isEmpty()) {
        model_.setNodes(allNodes_); // shared, not copied
    } else {
        QList<ScanNodeRecord> shown;
        for (const ScanNodeRecord &node : allNodes_) {
            if (node.displayName.contains(filter_, Qt::CaseInsensitive))
                shown.append(node);
        }
        model_.setNodes(shown);
    }
    const int row = selectedRow();
    if (row >= 0)
        setCurrentIndex(model_.index(row));
    viewport()->update();
}

int SidebarListView::selectedRow() const
{
    if (!selectedNodeID_)
        return -1;
    const QList<ScanNodeRecord> &nodes = model_.nodes();
    for (int i = 0; i < nodes.size(); ++i) {
        if (nodes[i].id == *selectedNodeID_)
            return i;
    }
    return -1;
}

void SidebarListView::setSelectedNodeID(const std::optional<QUuid> &id)
{
    if (id == selectedNodeID_)
        return;
    selectedNodeID_ = id;
    // The current index is what assistive technology reads out.
    if (const int row = selectedRow(); row >= 0) {
        setCurrentIndex(model_.index(row));
        scrollTo(model_.index(row));
    }
    viewport()->update();
}

QString SidebarListView::emptyText(const ScanNodeRecord &node, SizeMeasure measure)
{
    switch (node.mark) {
    case ScanNodeMark::otherFileSystem: return QStringLiteral("Another file system is mounted here. It was not scanned.");
    case ScanNodeMark::kernelFileSystem: return QStringLiteral("A kernel file system is mounted here. It holds no files to scan.");
    case ScanNodeMark::excluded: return QStringLiteral("This folder was excluded from the scan.");
    case ScanNodeMark::unreadable: return QStringLiteral("This folder could not be read.");
    case ScanNodeMark::none: break;
    }
    if (node.kind == ScanNodeKind::directory)
        return QStringLiteral("This folder is empty.");
    return scanNodeDetailText(node) + QStringLiteral(" \u2022 ") + byteCountText(sizeOf(node, measure));
}

QString SidebarListView::detailText(const ScanNodeRecord &node) const
{
    return detailText_ ? detailText_(node) : scanNodeDetailText(node);
}

QColor SidebarListView::dotColor(const ScanNodeRecord &node) const
{
    return dotColor_ ? dotColor_(node) : nodeColor(uuidText(node.id)); // one colour per node
}

bool SidebarListView::offersTrash(const ScanNodeRecord &node) const
{
    return offersTrash_ ? offersTrash_(node) : ScanSessionStore::isTrashable(node);
}

void SidebarListView::setSizeMeasure(SizeMeasure measure)
{
    if (measure == model_.measure)
        return;
    model_.measure = measure;
    viewport()->update();
}

void SidebarListView::setEmptyText(const QString &text)
{
    if (text == emptyText_)
        return;
    emptyText_ = text;
    viewport()->update();
}

void SidebarListView::paintEvent(QPaintEvent *event)
{
    QListView::paintEvent(event);
    if (hasFocus() && selectedRow() < 0) { // the keys are here, though no row is chosen yet
        QPainter p(viewport());
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(style::focusColor(), 2));
        p.drawRoundedRect(QRectF(viewport()->rect()).adjusted(3, 2, -3, -2), 10, 10);
    }
    if (model_.rowCount() > 0)
        return;
    const QString text = allNodes_.isEmpty() ? emptyText_ : QStringLiteral("No item is named like \u201C%1\u201D.").arg(filter_);
    if (text.isEmpty())
        return;
    QPainter p(viewport());
    p.setFont(style::font(12, QFont::Medium));
    p.setPen(style::white(0.52));
    p.drawText(viewport()->rect().adjusted(24, 24, -24, -24), Qt::AlignCenter | Qt::TextWordWrap, text);
}

QRect SidebarListView::trashButtonRect(const QRect &row)
{
    const int side = 16;
    return QRect(row.right() - 14 - side + 1, row.center().y() - side / 2, side, side);
}

void SidebarListView::mouseReleaseEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() != Qt::LeftButton || !index.isValid())
        return QListView::mouseReleaseEvent(event);
    const ScanNodeRecord &node = model_.nodes().at(index.row());
    const QUuid id = node.id;
    // The Trash button is the row's right end; the rest of the row selects.
    const QRect trashHit = trashButtonRect(visualRect(index)).adjusted(-8, -12, 8, 12);
    if (trashHit.contains(event->position().toPoint()) && offersTrash(node)) {
        if (onTrash_)
            onTrash_(id);
    } else if (onSelect_) {
        onSelect_(id);
    }
    event->accept();
}

void SidebarListView::keyPressEvent(QKeyEvent *event)
{
    const QList<ScanNodeRecord> &nodes = model_.nodes();
    const int row = selectedRow();
    const int page = std::max(1, viewport()->height() / kRowHeight - 1);
    int target = -1;
    switch (event->key()) {
    case Qt::Key_Down: target = row < 0 ? 0 : row + 1; break;
    case Qt::Key_Up: target = row < 0 ? 0 : row - 1; break;
    case Qt::Key_PageDown: target = row < 0 ? 0 : row + page; break;
    case Qt::Key_PageUp: target = row - page; break;
    case Qt::Key_Home: target = 0; break;
    case Qt::Key_End: target = int(nodes.size()) - 1; break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (row >= 0 && onActivate_)
            onActivate_(nodes[row].id);
        return event->accept();
    case Qt::Key_F10:
        if (!(event->modifiers() & Qt::ShiftModifier))
            return QListView::keyPressEvent(event);
        [[fallthrough]];
    case Qt::Key_Menu:
        if (row >= 0 && onContextMenu_)
            onContextMenu_(nodes[row].id, viewport()->mapToGlobal(visualRect(model_.index(row)).center()));
        return event->accept();
    default:
        return QListView::keyPressEvent(event);
    }
    if (!nodes.isEmpty() && onMoveSelection_)
        onMoveSelection_(nodes[std::clamp(target, 0, int(nodes.size()) - 1)].id);
    event->accept();
}

void SidebarListView::contextMenuEvent(QContextMenuEvent *event)
{
    const QModelIndex index = event->reason() == QContextMenuEvent::Mouse ? indexAt(event->pos()) : model_.index(selectedRow());
    if (!index.isValid() || !onContextMenu_)
        return;
    const QPoint at = event->reason() == QContextMenuEvent::Mouse ? event->globalPos()
                                                                   : viewport()->mapToGlobal(visualRect(index).center());
    onContextMenu_(model_.nodes().at(index.row()).id, at);
    event->accept();
}
