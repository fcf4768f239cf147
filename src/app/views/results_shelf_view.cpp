#include "results_shelf_view.h"

#include "byte_count_text.h"

#include <QDir>
#include <QHash>
#include <QLocale>

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>

namespace {

class Dot : public QWidget {
public:
    explicit Dot(QWidget *parent) : QWidget(parent) { setFixedSize(8, 8); }
    QColor color;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(rect());
    }
};

// As tall as its rows up to three and a half of them; the rest scrolls.
class ShelfRowsArea : public QScrollArea {
public:
    explicit ShelfRowsArea(QWidget *parent) : QScrollArea(parent)
    {
        setWidgetResizable(true);
        setFrameShape(QFrame::NoFrame);
        setFocusPolicy(Qt::NoFocus); // a Tab stop with no mark; the rows' buttons take the keys
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
        setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget, QScrollArea > QWidget > QWidget"
                                     " { background: transparent; }"));
    }
    QSize sizeHint() const override
    {
        const int rows = widget() ? widget()->sizeHint().height() : 0;
        return {QScrollArea::sizeHint().width(), std::min(rows, kMaxHeight)};
    }
    QSize minimumSizeHint() const override { return {0, std::min(sizeHint().height(), kMinHeight)}; }

private:
    static constexpr int kMaxHeight = 3 * 64 + 32; // three rows and half of the fourth
    static constexpr int kMinHeight = 64;
};

} // namespace

ResultShelfRow::ResultShelfRow(QWidget *parent) : CardFrame(parent)
{
    setCursor(Qt::PointingHandCursor);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(12, 10, 12, 10);
    row->setSpacing(12);
    dot_ = new Dot(this);
    row->addWidget(dot_);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(4);
    name_ = new ShrinkingLabel(style::font(14, QFont::DemiBold), 1, style::white(), this, Qt::ElideMiddle);
    status_ = new ShrinkingLabel(style::font(11, QFont::Medium), 1, style::white(0.6), this);
    parent_ = new ShrinkingLabel(style::font(11), 1, style::white(0.4), this, Qt::ElideMiddle);
    parent_->hide();
    texts->addWidget(name_);
    texts->addWidget(parent_);
    texts->addWidget(status_);
    row->addLayout(texts, 1);
    row->addSpacing(8);
    spinner_ = new ActivitySpinner(16, this);
    row->addWidget(spinner_);
    remove_ = new QPushButton(this);
    remove_->setIcon(style::symbolIcon(QStringLiteral("xmark.circle.fill"), 15, style::white(0.36)));
    remove_->setIconSize(QSize(15, 15));
    remove_->setStyleSheet(style::buttonStyleSheet(style::ButtonStyle::plain));
    remove_->setToolTip(QStringLiteral("Remove"));
    connect(remove_, &QPushButton::clicked, this, [this] {
        if (onRemove_)
            onRemove_();
    });
    row->addWidget(remove_);
}

void ResultShelfRow::setResult(const ScanResultState &result, bool isActive, SizeMeasure measure)
{
    id_ = result.id;
    active_ = isActive;
    setCard(14, style::white(isActive ? 0.11 : 0.035), isActive ? style::white(0.14) : QColor(Qt::transparent));
    static_cast<Dot *>(dot_)->color = style::white(isActive ? 0.76 : 0.28);
    dot_->update();
    const QString name = ResultsShelfView::displayName(result);
    name_->setFullText(name);
    path_ = result.rootURL.path();
    name_->setToolTip(style::plainToolTip(path_));
    status_->setFullText(ResultsShelfView::statusText(result, measure));
    spinner_->setVisible(result.phase == ScanResultPhase::queued || result.phase == ScanResultPhase::scanning);
}

void ResultShelfRow::setParentPath(const QString &path)
{
    parent_->setFullText(path);
    parent_->setVisible(!path.isEmpty());
}

void ResultShelfRow::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onActivate_)
        onActivate_();
}

ResultsShelfView::ResultsShelfView(QWidget *parent) : CardFrame(parent)
{
    setCard(22, style::black(0.18), style::white(0.08));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(16, 12, 16, 10);
    header->setSpacing(10);
    expand_ = new QPushButton(QStringLiteral("SCANS"), this);
    expand_->setFont([] {
        QFont f = style::font(12, QFont::Bold);
        f.setLetterSpacing(QFont::AbsoluteSpacing, 0.8);
        return f;
    }());
    expand_->setIconSize(QSize(11, 11));
    expand_->setCursor(Qt::PointingHandCursor);
    expand_->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; padding: 0;"
                                          " color: rgba(255,255,255,0.68); text-align: left; }"));
    connect(expand_, &QPushButton::clicked, this, [this] { setExpanded(!expanded_); });
    header->addWidget(expand_);
    count_ = style::label({}, style::font(12, QFont::Medium), style::white(0.42), this);
    header->addWidget(count_);
    activeName_ = new ShrinkingLabel(style::font(12, QFont::Medium), 1, style::white(0.52), this, Qt::ElideMiddle);
    activeName_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    activeName_->setMaximumWidth(260);
    header->addWidget(activeName_, 1);
    save_ = new QPushButton(QStringLiteral("Save Scan\u2026"), this);
    save_->setStyleSheet(style::buttonStyleSheet(style::ButtonStyle::borderless, 13));
    save_->setCursor(Qt::PointingHandCursor);
    save_->setToolTip(QStringLiteral("Save the shown scan as a file that Burrowlens, ncdu and gdu open (Ctrl+S)"));
    connect(save_, &QPushButton::clicked, this, [this] {
        if (onSave_)
            onSave_();
    });
    header->addWidget(save_);
    clearAll_ = new QPushButton(QStringLiteral("Clear All"), this);
    clearAll_->setStyleSheet(style::buttonStyleSheet(style::ButtonStyle::borderless, 13));
    clearAll_->setCursor(Qt::PointingHandCursor);
    connect(clearAll_, &QPushButton::clicked, this, [this] {
        if (onClearAll_)
            onClearAll_();
    });
    header->addWidget(clearAll_);
    headerMargins_ = new QVBoxLayout;
    headerMargins_->setContentsMargins(0, 0, 0, 0);
    headerMargins_->addLayout(header);
    column->addLayout(headerMargins_);

    // The rows scroll once there are more than about three, so the shelf
    // never pushes the screen below it out of the window.
    rowsScroll_ = new ShelfRowsArea(this);
    rowsPanel_ = new QWidget(rowsScroll_);
    rowsLayout_ = new QVBoxLayout(rowsPanel_);
    rowsLayout_->setContentsMargins(12, 0, 12, 12);
    rowsLayout_->setSpacing(8);
    rowsScroll_->setWidget(rowsPanel_);
    column->addWidget(rowsScroll_);
    setExpanded(true);
}

void ResultsShelfView::setExpanded(bool expanded)
{
    expanded_ = expanded;
    rowsScroll_->setVisible(expanded);
    auto *header = static_cast<QHBoxLayout *>(headerMargins_->itemAt(0)->layout());
    header->setContentsMargins(16, 12, 16, expanded ? 10 : 12);
    expand_->setIcon(style::symbolIcon(expanded ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"), 11,
                                       style::white(0.68), 1.4));
    expand_->setProperty("symbol", expanded ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"));
}

void ResultsShelfView::setResults(const QList<ScanResultState> &results, const std::optional<QUuid> &activeResultID)
{
    // Rows are kept per result, so a spinner keeps turning across progress updates.
    QList<ResultShelfRow *> kept;
    for (const ScanResultState &result : results) {
        ResultShelfRow *row = nullptr;
        for (ResultShelfRow *r : std::as_const(rows_)) {
            if (r->resultID() == result.id)
                row = r;
        }
        if (!row) {
            row = new ResultShelfRow(rowsPanel_);
            const QUuid id = result.id;
            row->setOnActivate([this, id] {
                if (onActivate_)
                    onActivate_(id);
            });
            row->setOnRemove([this, id] {
                if (onRemove_)
                    onRemove_(id);
            });
        }
        row->setResult(result, activeResultID == result.id, measure_);
        kept << row;
    }
    // Folders of one name (/usr/share, ~/.local/share) are told apart by
    // where they are, without hovering.
    QHash<QString, int> named;
    for (const ScanResultState &result : results)
        ++named[displayName(result)];
    for (qsizetype i = 0; i < results.size(); ++i) {
        const ScanResultState &result = results[i];
        QString parent;
        if (named.value(displayName(result)) > 1 && result.rootURL.path() != u"/") {
            parent = result.rootURL.path().left(std::max<qsizetype>(result.rootURL.path().lastIndexOf(u'/'), 1));
            const QString home = QDir::homePath();
            if (home != u"/" && (parent == home || parent.startsWith(home + u'/')))
                parent = u'~' + parent.mid(home.size());
        }
        kept[i]->setParentPath(parent);
    }
    for (ResultShelfRow *r : std::as_const(rows_)) {
        if (!kept.contains(r))
            delete r;
    }
    const bool rowsChanged = kept != rows_;
    if (rowsChanged) {
        // Laid out again only when rows come, go or move, not on every progress update.
        for (ResultShelfRow *row : std::as_const(kept)) {
            rowsLayout_->removeWidget(row);
            rowsLayout_->addWidget(row);
        }
        rows_ = kept;
        QList<QWidget *> removes;
        for (ResultShelfRow *row : std::as_const(rows_))
            removes << row->removeButton();
        style::placeInTabOrder(clearAll_, removes); // after the header, not at the window's end
    }

    count_->setText(QStringLiteral("%1 folders").arg(results.size()));
    const ScanResultState *active = nullptr;
    for (const ScanResultState &r : results) {
        if (activeResultID == r.id) {
            active = &r;
            break;
        }
    }
    activeName_->setVisible(active);
    if (active)
        activeName_->setFullText(displayName(*active));
    rowsScroll_->updateGeometry();
    // The active row in sight, once the rows are laid out: when it or the
    // rows change, not on every update (the user may scroll the shelf).
    const std::optional<QUuid> shown = active ? std::optional(active->id) : std::nullopt;
    if (active && (rowsChanged || shown != inSight_))
        QMetaObject::invokeMethod(
            this,
            [this, id = active->id] {
                for (ResultShelfRow *row : std::as_const(rows_)) {
                    if (row->resultID() == id && expanded_)
                        rowsScroll_->ensureWidgetVisible(row, 0, 0);
                }
            },
            Qt::QueuedConnection);
    inSight_ = shown;
}

namespace {

// A root that was not entered (a kernel file system) or not wholly read says
// so on its row, as its entry would in a list.
QString rootMarkText(const ScanResultState &result)
{
    const auto root = result.tree ? result.tree->rootNode() : std::nullopt;
    const QString marked = root ? scanNodeMarkText(*root) : QString();
    return marked.isEmpty() ? QString() : QStringLiteral(" \u2022 ") + marked;
}

} // namespace

void ResultsShelfView::setSaveEnabled(bool enabled)
{
    save_->setEnabled(enabled);
}

QString ResultsShelfView::statusText(const ScanResultState &result, SizeMeasure measure)
{
    switch (result.phase) {
    case ScanResultPhase::queued:
        return QStringLiteral("Queued");
    case ScanResultPhase::scanning:
        if (result.receivedBytes)
            return byteCountText(*result.receivedBytes) + QStringLiteral(" received");
        if (result.sourceFile)
            return QStringLiteral("Opening\u2026");
        return result.progressSnapshot ? QStringLiteral("%1 items \u2022 scanning").arg(result.progressSnapshot->itemsScanned)
                                       : QStringLiteral("Scanning\u2026");
    case ScanResultPhase::ready:
        if (!result.summary)
            return QStringLiteral("Ready");
        return byteCountText(result.totalSize(measure)) + QStringLiteral(" \u2022 ")
            + QString::number(result.summary->itemsScanned) + QStringLiteral(" items") + rootMarkText(result)
            + (result.summary->isPartial ? QStringLiteral(" \u2022 ") + partialScanText() : QString())
            + (result.sourceFile ? QStringLiteral(" \u2022 from a file of ")
                                       + QLocale().toString(result.summary->finishedAt.toLocalTime().date(), QLocale::ShortFormat)
                                 : QString());
    case ScanResultPhase::failed:
        return result.errorMessage.value_or(QStringLiteral("Scan failed"));
    }
    return {};
}

QString ResultsShelfView::displayName(const ScanResultState &result)
{
    const QString path = result.rootURL.path();
    const QString last = path == u"/" ? QString() : result.rootURL.lastPathComponent();
    return last.isEmpty() ? path : last;
}
