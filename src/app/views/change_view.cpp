#include "change_view.h"

#include "byte_count_text.h"
#include "node_color.h"
#include "scan_analysis.h"
#include "view_style.h"

#include <QHeaderView>
#include <QLocale>
#include <QMenu>
#include <QVBoxLayout>

namespace {

constexpr int kSortRole = Qt::UserRole + 5;
constexpr int kNodeRole = Qt::UserRole + 6;

QString dayText(const QDateTime &time)
{
    return time.isValid() ? QLocale().toString(time.toLocalTime().date(), QLocale::ShortFormat) : QStringLiteral("the earlier scan");
}

// Sorts by the numbers behind the texts.
class ChangeItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem &other) const override
    {
        const int c = treeWidget() ? treeWidget()->sortColumn() : 0;
        if (c == 0)
            return text(0).localeAwareCompare(other.text(0)) < 0;
        return data(c, kSortRole).toLongLong() < other.data(c, kSortRole).toLongLong();
    }
};

} // namespace

ChangeView::ChangeView(ScanSessionStore &store, QWidget *parent) : QWidget(parent), store_(store)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(12, 8, 12, 8);
    column->setSpacing(8);
    summary_ = style::label(QString(), style::font(12, QFont::Medium), style::white(0.78), this);
    summary_->setWordWrap(true);
    column->addWidget(summary_);
    changes_ = new QTreeWidget(this);
    changes_->setAccessibleName(QStringLiteral("Changes since the earlier scan"));
    changes_->setColumnCount(3);
    changes_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Change")});
    changes_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    changes_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    changes_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    changes_->header()->setStretchLastSection(false);
    changes_->setSortingEnabled(true);
    changes_->sortByColumn(2, Qt::DescendingOrder);
    changes_->setUniformRowHeights(true);
    changes_->setStyleSheet(style::tableStyleSheet());
    // A folder's row focuses it; a file's selects it.
    connect(changes_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) {
        const QUuid id = item->data(0, kNodeRole).toUuid();
        if (const std::optional<ScanNodeRecord> node = id.isNull() ? std::nullopt : store_.activeTreeNode(id))
            node->kind == ScanNodeKind::file ? store_.selectNode(id) : store_.focusNode(id);
    });
    column->addWidget(changes_, 1);
    compare_ = new QPushButton(QStringLiteral("Compare With\u2026"), this);
    compare_->setAccessibleName(QStringLiteral("Compare with a scan file"));
    compare_->setAutoDefault(false);
    connect(compare_, &QPushButton::clicked, this, &ChangeView::showComparisonMenu);
    column->addWidget(compare_, 0, Qt::AlignLeft);
}

QMenu *ChangeView::comparisonMenu()
{
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const std::optional<ResultComparison> shown = store_.activeComparison();
    const ScanResultState *active = store_.activeResult();
    for (const ScanHistoryEntry &e : store_.keptScansOfActive()) {
        if (active && active->summary && e.finishedAt >= active->summary->finishedAt.toUTC())
            continue; // this scan itself
        QAction *a = menu->addAction(QLocale().toString(e.finishedAt.toLocalTime(), QLocale::ShortFormat));
        a->setCheckable(true);
        a->setChecked(shown && shown->olderFile == e.file);
        connect(a, &QAction::triggered, &store_, [this, file = e.file] { store_.compareActiveWith(file); });
    }
    if (!menu->isEmpty())
        menu->addSeparator();
    connect(menu->addAction(QStringLiteral("Scan File\u2026")), &QAction::triggered, &store_,
            &ScanSessionStore::chooseComparison);
    return menu;
}

void ChangeView::showComparisonMenu()
{
    comparisonMenu()->popup(compare_->mapToGlobal(QPoint(0, compare_->height())));
}

QString ChangeView::sinceText(const ScanSessionStore &store)
{
    const std::optional<ResultComparison> c = store.activeComparison();
    const ScanResultState *active = store.activeResult();
    if (!c || !active || !active->tree)
        return {};
    const ScanTree::NodeRef focus = active->tree->ref(active->focusedNodeID.value_or(active->tree->rootID));
    if (!focus.isValid())
        return {};
    const QString since = QStringLiteral(" since ") + dayText(c->olderTime);
    if (c->comparison->isNew(focus))
        return QStringLiteral("new") + since;
    return byteChangeText(c->comparison->change(focus, store.sizeMeasure())) + since;
}

void ChangeView::refresh()
{
    const std::optional<ResultComparison> c = store_.activeComparison();
    const ScanResultState *active = store_.activeResult();
    if (!c || !active || !active->tree || !active->focusedNodeID) {
        summary_->setText(QStringLiteral("There is no earlier scan of this folder yet. The next scan shows what "
                                         "changed since this one; or compare with a scan file."));
        changes_->clear();
        changes_->hide();
        filledFor_.clear();
        return;
    }
    changes_->show();
    const SizeMeasure measure = store_.sizeMeasure();
    const ScanTree &tree = *active->tree;
    const ScanTree::NodeRef focus = tree.ref(*active->focusedNodeID);
    summary_->setText(QStringLiteral("%1 (%2)").arg(sinceText(store_), c->olderFile.section(u'/', -1)));
    const QString key = QString::number(qintptr(c->comparison.get())) + u'/' + active->focusedNodeID->toString() +
                        u'/' + QString::number(int(measure));
    if (key == filledFor_)
        return;
    filledFor_ = key;
    changes_->setSortingEnabled(false);
    changes_->clear();
    const auto fill = [&](QTreeWidgetItem *item, const QString &name, qint64 now, qint64 change, const QString &changeLabel) {
        item->setText(0, name);
        item->setText(1, now < 0 ? QStringLiteral("gone") : byteCountText(now));
        item->setText(2, changeLabel);
        item->setData(1, kSortRole, now);
        item->setData(2, kSortRole, change);
        for (int col = 1; col < 3; ++col)
            item->setTextAlignment(col, Qt::AlignRight | Qt::AlignVCenter);
        item->setData(0, Qt::AccessibleTextRole, name + QStringLiteral(", ") + item->text(1) + QStringLiteral(", ") + changeLabel);
    };
    QByteArray scratch;
    for (const ScanTree::NodeRef &child : focus.children()) {
        const qint64 now = measure == SizeMeasure::logical ? child.logicalSize() : child.allocatedSize();
        const qint64 change = c->comparison->change(child, measure);
        auto *item = new ChangeItem(changes_);
        fill(item, displayTextOf(child.nativeName(scratch), nullptr), now, change,
             c->comparison->isNew(child) ? QStringLiteral("new") : byteChangeText(change));
        item->setData(0, kNodeRole, child.id());
        item->setForeground(2, changeColor(c->comparison->isNew(child) ? ChangeKind::added
                                           : change > 0               ? ChangeKind::grown
                                           : change < 0               ? ChangeKind::shrunk
                                                                      : ChangeKind::unchanged)
                                   .lighter(120));
    }
    // What is gone from below the focus: one row that opens their list.
    const QByteArray below = ScanAnalysis::pathBelow(tree, tree.rootID, focus);
    qint64 goneItems = 0, goneBytes = 0;
    QList<std::pair<QByteArray, qint64>> gone;
    const QByteArray inside = below + '/';
    for (const ScanComparison::Removed &r : c->comparison->removed) {
        if (!below.isEmpty() && !r.path.startsWith(inside))
            continue;
        const qint64 size = measure == SizeMeasure::logical ? r.node.logicalSize() : r.node.allocatedSize();
        goneItems += r.items;
        goneBytes += size;
        gone.append({below.isEmpty() ? r.path : r.path.mid(below.size() + 1), size});
    }
    if (goneItems > 0) {
        auto *deleted = new ChangeItem(changes_);
        fill(deleted,
             goneItems == 1 ? QStringLiteral("1 item deleted") : QStringLiteral("%1 items deleted").arg(QLocale().toString(goneItems)),
             -1, -goneBytes, byteChangeText(-goneBytes));
        deleted->setForeground(2, changeColor(ChangeKind::shrunk).lighter(120));
        for (const auto &[path, size] : gone) {
            auto *row = new ChangeItem(deleted);
            fill(row, displayTextOf(path, nullptr), -1, -size, byteChangeText(-size));
        }
    }
    changes_->setSortingEnabled(true);
}

std::optional<QColor> ChangeView::tint(const ScanTree &tree, const SunburstSegment &segment) const
{
    const std::optional<ResultComparison> c = store_.activeComparison();
    if (!c || !c->newer.sharesStorageWith(tree) || !segment.backingNodeID)
        return changeColor(ChangeKind::unchanged);
    const ScanTree::NodeRef node = tree.ref(*segment.backingNodeID);
    if (!node.isValid())
        return changeColor(ChangeKind::unchanged);
    if (c->comparison->isNew(node))
        return changeColor(ChangeKind::added);
    const qint64 change = c->comparison->change(node, store_.sizeMeasure());
    return changeColor(change > 0 ? ChangeKind::grown : change < 0 ? ChangeKind::shrunk : ChangeKind::unchanged);
}

QList<std::pair<QColor, QString>> ChangeView::legend() const
{
    if (!store_.activeComparison())
        return {};
    return {{changeColor(ChangeKind::grown), QStringLiteral("Grown")},
            {changeColor(ChangeKind::shrunk), QStringLiteral("Shrunk")},
            {changeColor(ChangeKind::added), QStringLiteral("New")},
            {changeColor(ChangeKind::unchanged), QStringLiteral("Unchanged")}};
}

QString ChangeView::note(const QUuid &id) const
{
    const std::optional<ResultComparison> c = store_.activeComparison();
    const ScanResultState *active = store_.activeResult();
    if (!c || !active || !active->tree)
        return {};
    const ScanTree::NodeRef node = active->tree->ref(id);
    if (!node.isValid())
        return {};
    if (c->comparison->isNew(node))
        return QStringLiteral("new since ") + dayText(c->olderTime);
    const SizeMeasure measure = store_.sizeMeasure();
    const qint64 now = measure == SizeMeasure::logical ? node.logicalSize() : node.allocatedSize();
    const qint64 change = c->comparison->change(node, measure);
    if (change == 0)
        return QStringLiteral("no change since ") + dayText(c->olderTime);
    return QStringLiteral("was %1, now %2 (%3)").arg(byteCountText(now - change), byteCountText(now), byteChangeText(change));
}
