#include "file_analysis_view.h"

#include "byte_count_text.h"
#include "change_view.h"
#include "node_color.h"
#include "sidebar_list_view.h"
#include "view_style.h"
#include "window_actions.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLocale>
#include <QPainter>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

constexpr int kFilterRole = Qt::UserRole + 1;

QString shareText(qint64 part, qint64 whole)
{
    return whole > 0 ? QLocale().toString(100.0 * double(part) / double(whole), 'f', 1) + u'%' : QString();
}

QString extensionText(const QByteArray &extension)
{
    return extension.isEmpty() ? QStringLiteral("No extension") : u'.' + displayTextOf(extension, nullptr);
}

QIcon swatch(const QColor &color)
{
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QRectF(1, 1, 10, 10));
    return QIcon(pixmap);
}


// An age's bar: its name, a bar as long as its share of the largest, its size.
class AgeBarDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const override { return {200, 40}; }
    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QRect row = option.rect.adjusted(10, 4, -10, -4);
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        if (option.state & QStyle::State_Selected)
            p->fillRect(option.rect, style::white(0.10));
        const QColor color = index.data(Qt::DecorationRole).value<QColor>();
        const double fraction = index.data(Qt::UserRole + 2).toDouble();
        const QString label = index.data(Qt::DisplayRole).toString();
        const QString figure = index.data(Qt::UserRole + 3).toString();
        const QFont labelFont = style::font(12, QFont::Medium);
        p->setFont(labelFont);
        p->setPen(style::white(0.85));
        const QRect top(row.left(), row.top(), row.width(), row.height() / 2);
        p->drawText(top, Qt::AlignLeft | Qt::AlignVCenter, label);
        p->setPen(style::white(0.6));
        p->drawText(top, Qt::AlignRight | Qt::AlignVCenter, figure);
        const QRectF track(row.left(), row.top() + row.height() / 2.0 + 3, row.width(), 8);
        p->setPen(Qt::NoPen);
        p->setBrush(style::white(0.06));
        p->drawRoundedRect(track, 4, 4);
        p->setBrush(color);
        p->drawRoundedRect(QRectF(track.left(), track.top(), std::max(track.width() * fraction, fraction > 0 ? 4.0 : 0.0),
                                  track.height()),
                           4, 4);
        p->restore();
    }
};

} // namespace

FileAnalysisView::FileAnalysisView(ScanSessionStore &store, QWidget *parent) : QStackedWidget(parent), store_(store)
{
    largest_ = makeFileList(this);
    largest_->setAccessibleName(QStringLiteral("Largest files below the folder"));
    addWidget(largest_);

    auto *typesPage = new QSplitter(Qt::Vertical, this);
    typesPage->setChildrenCollapsible(false);
    types_ = new QTreeWidget(typesPage);
    types_->setAccessibleName(QStringLiteral("Files by type"));
    types_->setColumnCount(4);
    types_->setHeaderLabels({QStringLiteral("Type"), QStringLiteral("Size"), QStringLiteral("Files"), QStringLiteral("Share")});
    types_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int c = 1; c < 4; ++c)
        types_->header()->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    types_->header()->setStretchLastSection(false);
    types_->setRootIsDecorated(true);
    types_->setUniformRowHeights(true);
    types_->setStyleSheet(style::tableStyleSheet());
    connect(types_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *item) {
        if (filling_)
            return;
        store_.setAnalysisHighlight(item ? item->data(0, kFilterRole).value<FileFilter>() : FileFilter{});
    });
    typeFiles_ = makeFileList(typesPage);
    typeFiles_->setAccessibleName(QStringLiteral("Largest files of the chosen type"));
    typesPage->addWidget(types_);
    typesPage->addWidget(typeFiles_);
    typesPage->setStretchFactor(0, 3);
    typesPage->setStretchFactor(1, 2);
    addWidget(typesPage);

    ages_ = new QListWidget(this);
    ages_->setAccessibleName(QStringLiteral("Files by the time of their last change"));
    ages_->setItemDelegate(new AgeBarDelegate(ages_));
    ages_->setStyleSheet(style::tableStyleSheet());
    connect(ages_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *item) {
        if (filling_)
            return;
        store_.setAnalysisHighlight(item ? item->data(kFilterRole).value<FileFilter>() : FileFilter{});
    });
    addWidget(ages_);
    changes_ = new ChangeView(store_, this);
    addWidget(changes_);
}

SidebarListView *FileAnalysisView::makeFileList(QWidget *parent)
{
    auto *list = new SidebarListView(parent);
    list->setDetailText([this](const ScanNodeRecord &file) { return fileDetail(file); });
    list->setDotColor([](const ScanNodeRecord &file) {
        return categoryColor(fileCategoryOfName(file.url.nativeLastPathComponent()));
    });
    list->setOffersTrash([this](const ScanNodeRecord &node) {
        return ScanSessionStore::isTrashable(node) && store_.canActOn(node);
    });
    // A click chooses the file; Enter (or a double click) shows it in its folder.
    list->setOnSelect([this](const QUuid &id) { store_.selectNode(id); });
    list->setOnMoveSelection([this](const QUuid &id) { store_.selectNode(id); });
    list->setOnActivate([this](const QUuid &id) {
        if (const std::optional<ScanNodeRecord> file = store_.activeTreeNode(id); file && file->parentID) {
            store_.focusNode(*file->parentID);
            store_.selectNode(id);
        }
    });
    list->setOnTrash([this](const QUuid &id) { store_.requestTrashForNode(id); });
    list->setOnContextMenu([this](const QUuid &id, const QPoint &at) {
        store_.selectNode(id);
        QMenu *menu = WindowActions::nodeMenu(store_, id, this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(at);
    });
    return list;
}

QString FileAnalysisView::fileDetail(const ScanNodeRecord &file) const
{
    const FileAnalysis &a = store_.analysis();
    const ScanResultState *active = store_.activeResult();
    const std::optional<ScanNodeRecord> focus = active && active->tree ? active->tree->node(a.focusedNodeID) : std::nullopt;
    QStringList parts;
    const QString path = paths_.value(file.id);
    const qsizetype slash = path.lastIndexOf(u'/');
    parts << (slash < 0 ? QStringLiteral("Here") : path.left(slash));
    if (focus)
        parts << shareText(sizeOf(file, a.measure), sizeOf(*focus, a.measure));
    parts << (file.modifiedAt ? QLocale().toString(QDateTime::fromSecsSinceEpoch(file.modifiedAt).date(), QLocale::ShortFormat)
                              : QStringLiteral("Date unknown"));
    parts.removeAll(QString());
    return parts.join(QStringLiteral(" \u2022 "));
}

void FileAnalysisView::refresh()
{
    const FileAnalysis &a = store_.analysis();
    filling_ = true;
    paths_.clear();
    for (qsizetype i = 0; i < a.largestFiles.size() && i < a.largestPaths.size(); ++i)
        paths_.insert(a.largestFiles[i].id, displayTextOf(a.largestPaths[i], nullptr));
    const QString waiting = a.ready ? QStringLiteral("No files below this folder.") : QStringLiteral("Looking through the files\u2026");
    for (SidebarListView *list : {largest_, typeFiles_}) {
        list->setSizeMeasure(a.measure);
        list->setEmptyText(waiting);
        list->setSelectedNodeID(store_.activeResult() ? store_.activeResult()->selectedNodeID : std::nullopt);
    }
    switch (a.view) {
    case AnalysisView::folders:
    case AnalysisView::largestFiles:
        largest_->setNodes(a.largestFiles);
        setCurrentIndex(0);
        break;
    case AnalysisView::types:
        fillTypes();
        typeFiles_->setNodes(a.highlight.kind == FileFilter::Kind::all ? QList<ScanNodeRecord>() : a.largestFiles);
        typeFiles_->setVisible(a.highlight.kind != FileFilter::Kind::all);
        setCurrentIndex(1);
        break;
    case AnalysisView::ages:
        fillAges();
        setCurrentIndex(2);
        break;
    case AnalysisView::changes:
        changes_->refresh();
        setCurrentIndex(3);
        break;
    }
    filling_ = false;
}

void FileAnalysisView::fillTypes()
{
    const FileAnalysis &a = store_.analysis();
    // Built again only when the tables are new, so the keys keep their place.
    const QString key = QString::number(qintptr(a.types.constData())) + u'/' + QString::number(a.types.size());
    if (types_->property("tables").toString() == key && a.ready)
        return;
    types_->setProperty("tables", key);
    types_->clear();
    qint64 total = 0;
    for (const FileTypeRow &c : a.categories)
        total += c.size;
    QHash<int, QTreeWidgetItem *> byCategory;
    const auto fill = [&](QTreeWidgetItem *item, const FileTypeRow &row) {
        item->setText(1, byteCountText(row.size));
        item->setText(2, QLocale().toString(row.count));
        item->setText(3, shareText(row.size, total));
        for (int c = 1; c < 4; ++c)
            item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        item->setData(0, Qt::AccessibleTextRole,
                      item->text(0) + QStringLiteral(", ") + item->text(1) + QStringLiteral(", ") + item->text(2) +
                          QStringLiteral(" files, ") + item->text(3));
    };
    for (const FileTypeRow &c : a.categories) {
        auto *item = new QTreeWidgetItem(types_, {fileCategoryName(c.category)});
        item->setIcon(0, swatch(categoryColor(c.category)));
        FileFilter filter;
        filter.kind = FileFilter::Kind::category;
        filter.category = c.category;
        item->setData(0, kFilterRole, QVariant::fromValue(filter));
        fill(item, c);
        byCategory.insert(int(c.category), item);
    }
    for (const FileTypeRow &t : a.types) {
        auto *item = new QTreeWidgetItem(byCategory.value(int(t.category)), {extensionText(t.extension)});
        FileFilter filter;
        filter.kind = FileFilter::Kind::extension;
        filter.extension = t.extension;
        item->setData(0, kFilterRole, QVariant::fromValue(filter));
        fill(item, t);
    }
    for (int i = 0; i < types_->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = types_->topLevelItem(i);
        if (item->data(0, kFilterRole).value<FileFilter>() == a.highlight)
            types_->setCurrentItem(item);
        for (int k = 0; k < item->childCount(); ++k)
            if (item->child(k)->data(0, kFilterRole).value<FileFilter>() == a.highlight) {
                item->setExpanded(true);
                types_->setCurrentItem(item->child(k));
            }
    }
}

void FileAnalysisView::fillAges()
{
    const FileAnalysis &a = store_.analysis();
    ages_->clear();
    qint64 total = 0, largest = 0;
    for (const FileAgeRow &row : a.ages) {
        total += row.size;
        largest = std::max(largest, row.size);
    }
    for (const FileAgeRow &row : a.ages) {
        if (row.count == 0 && row.age == FileAge::unknown)
            continue;
        auto *item = new QListWidgetItem(fileAgeName(row.age), ages_);
        item->setData(Qt::DecorationRole, ageColor(row.age));
        item->setData(Qt::UserRole + 2, largest > 0 ? double(row.size) / double(largest) : 0.0);
        const QString figure = byteCountText(row.size) + QStringLiteral("  ") + shareText(row.size, total);
        item->setData(Qt::UserRole + 3, figure);
        item->setData(Qt::AccessibleTextRole, fileAgeName(row.age) + QStringLiteral(", ") + figure + QStringLiteral(", ") +
                                                   QLocale().toString(row.count) + QStringLiteral(" files"));
        FileFilter filter;
        filter.kind = FileFilter::Kind::age;
        filter.age = row.age;
        filter.now = a.now;
        item->setData(kFilterRole, QVariant::fromValue(filter));
        if (filter == a.highlight)
            ages_->setCurrentItem(item);
    }
}

std::optional<QColor> FileAnalysisView::tint(const ScanTree &tree, const SunburstSegment &segment) const
{
    const FileAnalysis &a = store_.analysis();
    if (a.view == AnalysisView::changes)
        return changes_->tint(tree, segment);
    if (a.view != AnalysisView::types && a.view != AnalysisView::ages)
        return std::nullopt;
    const QColor dim = style::white(0.10);
    if (!segment.backingNodeID || !a.ready)
        return dim;
    const ScanTree::NodeRef node = tree.ref(*segment.backingNodeID);
    if (!node.isValid())
        return dim;
    const bool byType = a.view == AnalysisView::types;
    const auto colorOf = [&](int slot) { return byType ? categoryColor(FileCategory(slot)) : ageColor(FileAge(slot)); };
    const bool highlighting = a.highlight.kind != FileFilter::Kind::all;
    if (node.kind() != ScanNodeKind::directory) {
        if (highlighting && !a.highlight.matches(node))
            return dim;
        return colorOf(mixSlotOf(a.view, node, a.now));
    }
    // A folder: the colour of most of its bytes, or, with a type or an age
    // chosen, that one as strong as its share.
    const auto mix = a.folderMix ? a.folderMix->constFind(*segment.backingNodeID) : QHash<QUuid, FolderMix>::const_iterator();
    if (!a.folderMix || mix == a.folderMix->cend())
        return dim;
    qint64 sum = 0;
    int dominant = 0;
    for (int k = 0; k < kFileAgeCount; ++k) {
        sum += (*mix)[size_t(k)];
        if ((*mix)[size_t(k)] > (*mix)[size_t(dominant)])
            dominant = k;
    }
    if (sum <= 0)
        return dim;
    if (!highlighting)
        return colorOf(dominant);
    int chosen = -1;
    if (a.highlight.kind == FileFilter::Kind::age)
        chosen = int(a.highlight.age);
    else if (a.highlight.kind == FileFilter::Kind::category)
        chosen = int(a.highlight.category);
    else
        chosen = int(fileCategoryOf(a.highlight.extension));
    const double share = double((*mix)[size_t(chosen)]) / double(sum);
    if (share <= 0)
        return dim;
    QColor c = colorOf(chosen);
    c.setAlphaF(float(0.35 + 0.65 * share));
    return c;
}

QList<std::pair<QColor, QString>> FileAnalysisView::legend() const
{
    const FileAnalysis &a = store_.analysis();
    QList<std::pair<QColor, QString>> items;
    if (a.view == AnalysisView::changes)
        return changes_->legend();
    if (a.view == AnalysisView::types) {
        for (const FileTypeRow &c : a.categories)
            items.append({categoryColor(c.category), fileCategoryName(c.category)});
    } else if (a.view == AnalysisView::ages) {
        for (const FileAgeRow &row : a.ages)
            if (row.count > 0)
                items.append({ageColor(row.age), fileAgeName(row.age)});
    }
    return items;
}

ChartLegend::ChartLegend(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ChartLegend::setItems(const QList<std::pair<QColor, QString>> &items)
{
    if (items == items_)
        return;
    items_ = items;
    QStringList names;
    for (const auto &item : items_)
        names << item.second;
    setAccessibleName(QStringLiteral("Chart colours: ") + names.join(QStringLiteral(", ")));
    setVisible(!items_.isEmpty());
    updateGeometry();
    update();
}

QList<QRect> ChartLegend::layoutItems(int width) const
{
    const QFontMetrics metrics(style::font(11, QFont::Medium));
    QList<QRect> rects;
    int x = 0, y = 0;
    const int h = metrics.height() + 4;
    for (const auto &item : items_) {
        const int w = 16 + metrics.horizontalAdvance(item.second);
        if (x > 0 && x + w > width) {
            x = 0;
            y += h + 2;
        }
        rects.append(QRect(x, y, w, h));
        x += w + 14;
    }
    return rects;
}

int ChartLegend::heightForWidth(int width) const
{
    const QList<QRect> rects = layoutItems(width);
    return rects.isEmpty() ? 0 : rects.last().bottom() + 1;
}

QSize ChartLegend::sizeHint() const
{
    return {200, heightForWidth(std::max(width(), 200))};
}

void ChartLegend::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setFont(style::font(11, QFont::Medium));
    const QList<QRect> rects = layoutItems(width());
    for (qsizetype i = 0; i < rects.size(); ++i) {
        const QRect r = rects[i];
        p.setPen(Qt::NoPen);
        p.setBrush(items_[i].first);
        p.drawEllipse(QRectF(r.left(), r.center().y() - 4.5, 9, 9));
        p.setPen(style::white(0.72));
        p.drawText(r.adjusted(16, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, items_[i].second);
    }
}
