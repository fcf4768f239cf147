#include "breadcrumb_bar.h"

#include "view_style.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QScrollBar>

BreadcrumbBar::BreadcrumbBar(QWidget *parent) : QScrollArea(parent)
{
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus); // its names take the keys, one Tab each
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWidgetResizable(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(sizeHint().height());
    setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"));
    viewport()->setAutoFillBackground(false);
}

QSize BreadcrumbBar::sizeHint() const
{
    return {200, QFontMetrics(style::font(13, QFont::DemiBold)).height() + 4 + 6};
}

void BreadcrumbBar::setItems(const QList<ScanNodeRecord> &items)
{
    QList<QUuid> ids;
    QList<QString> names;
    for (const ScanNodeRecord &item : items) {
        ids << item.id;
        names << item.displayName;
    }
    if (ids == ids_ && names == names_)
        return;
    // The keys stay on the same folder's name when the bar is rebuilt.
    std::optional<QUuid> focused;
    for (qsizetype i = 0; i < buttons_.size(); ++i)
        focused = buttons_[i]->hasFocus() ? std::optional(ids_[i]) : focused;
    ids_ = ids;
    names_ = names;
    buttons_.clear();
    chevrons_ = 0;

    auto *row = new QWidget;
    row->setAutoFillBackground(false);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(8);
    const QFont font = style::font(13, QFont::DemiBold);
    for (qsizetype i = 0; i < items.size(); ++i) {
        const bool last = i == items.size() - 1;
        // "&" would mark a shortcut: "R&D" is shown as it is.
        auto *button = new QPushButton(QString(items[i].displayName).replace(u'&', QStringLiteral("&&")), row);
        button->setFont(font);
        button->setCursor(Qt::PointingHandCursor);
        button->setFlat(true);
        button->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; padding: 0;"
                                             " color: rgba(255,255,255,%1); }"
                                             "QPushButton:hover { color: white; }"
                                             "QPushButton:focus { color: white; text-decoration: underline; }")
                                  .arg(last ? 1.0 : 0.72));
        const QUuid id = items[i].id;
        connect(button, &QPushButton::clicked, this, [this, id] {
            if (onSelect_)
                onSelect_(id);
        });
        button->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(button, &QWidget::customContextMenuRequested, this, [this, id, button](const QPoint &at) {
            if (onContextMenu_)
                onContextMenu_(id, button->mapToGlobal(at));
        });
        button->setAccessibleName(items[i].displayName);
        button->setAccessibleDescription(last ? QStringLiteral("The focused folder") : QStringLiteral("Focus this folder"));
        layout->addWidget(button);
        buttons_ << button;
        if (!last) {
            auto *chevron = new QLabel(row);
            chevron->setPixmap(style::symbolIcon(QStringLiteral("chevron.right"), 11, style::white(0.36), 1.3).pixmap(11, 11));
            layout->addWidget(chevron);
            ++chevrons_;
        }
    }
    layout->addStretch(1);
    setWidget(row); // deletes the previous row
    row->setAutoFillBackground(false); // setWidget turned it on
    if (tabAnchor_)
        style::placeInTabOrder(tabAnchor_, {buttons_.begin(), buttons_.end()});
    if (focused && !buttons_.isEmpty())
        buttons_[ids_.contains(*focused) ? ids_.indexOf(*focused) : buttons_.size() - 1]->setFocus(Qt::OtherFocusReason);
    // Keep the focused end in sight when the path is wider than the bar.
    horizontalScrollBar()->setValue(horizontalScrollBar()->maximum());
}
