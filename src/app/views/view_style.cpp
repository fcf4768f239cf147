#include "view_style.h"

#include <QApplication>
#include <QStyleFactory>
#include <QToolTip>

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QTimerEvent>

namespace style {

QFont font(qreal pixelSize, QFont::Weight weight, Design design)
{
    QFont f = design == Design::monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont)
                                           : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (design == Design::rounded)
        f.setWeight(std::max(weight, QFont::Bold));
    else
        f.setWeight(weight);
    f.setPixelSize(qMax(1, qRound(pixelSize)));
    return f;
}

QColor white(qreal opacity)
{
    return QColor::fromRgbF(1, 1, 1, float(opacity));
}

QColor focusColor()
{
    return QColor(0x8a, 0xb4, 0xff);
}

QColor black(qreal opacity)
{
    return QColor::fromRgbF(0, 0, 0, float(opacity));
}

QColor rgb(qreal r, qreal g, qreal b, qreal opacity)
{
    return QColor::fromRgbF(float(r), float(g), float(b), float(opacity));
}

QLabel *label(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *l = new QLabel(parent);
    l->setTextFormat(Qt::PlainText); // names are shown as they are, never as markup
    l->setText(text);
    l->setFont(font);
    setLabelColor(l, color);
    return l;
}

void setLabelColor(QLabel *label, const QColor &color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    label->setPalette(palette);
}

void fillGradient(QPainter &p, const QRectF &rect, const QColor &from, const QColor &to, bool vertical)
{
    QLinearGradient gradient(rect.topLeft(), vertical ? rect.bottomLeft() : rect.bottomRight());
    gradient.setColorAt(0, from);
    gradient.setColorAt(1, to);
    p.fillRect(rect, gradient);
}

namespace {

// Symbols are drawn on a 24-unit grid scaled into the box.
QPainterPath symbolPath(const QString &name)
{
    QPainterPath path;
    if (name == u"chevron.right") {
        path.moveTo(9, 5);
        path.lineTo(16, 12);
        path.lineTo(9, 19);
    } else if (name == u"chevron.down") {
        path.moveTo(5, 9);
        path.lineTo(12, 16);
        path.lineTo(19, 9);
    } else if (name == u"trash") {
        path.moveTo(3.5, 6);
        path.lineTo(20.5, 6);
        path.moveTo(9, 6);
        path.lineTo(9, 3.5);
        path.lineTo(15, 3.5);
        path.lineTo(15, 6);
        path.moveTo(5.5, 6);
        path.lineTo(6.8, 20.5);
        path.lineTo(17.2, 20.5);
        path.lineTo(18.5, 6);
        path.moveTo(10, 10);
        path.lineTo(10, 17);
        path.moveTo(14, 10);
        path.lineTo(14, 17);
    } else if (name == u"folder.badge.plus") {
        path.moveTo(13, 19);
        path.lineTo(3, 19);
        path.lineTo(3, 5);
        path.lineTo(9, 5);
        path.lineTo(11, 7.5);
        path.lineTo(20, 7.5);
        path.lineTo(20, 12);
        path.moveTo(3, 10);
        path.lineTo(20, 10);
        path.moveTo(18.5, 14);
        path.lineTo(18.5, 22);
        path.moveTo(14.5, 18);
        path.lineTo(22.5, 18);
    } else if (name == u"clock.arrow.trianglehead.counterclockwise.rotate.90") {
        path.arcMoveTo(QRectF(4, 4, 16, 16), 150);
        path.arcTo(QRectF(4, 4, 16, 16), 150, -300);
        path.moveTo(12, 8);
        path.lineTo(12, 12);
        path.lineTo(15, 14);
        // the arrowhead at the open end of the circle
        path.moveTo(2.5, 6.5);
        path.lineTo(5.1, 8.0);
        path.lineTo(6.8, 5.4);
    }
    return path;
}

} // namespace

void paintSymbol(QPainter &p, const QRectF &box, const QString &name, const QColor &color, qreal weight)
{
    const qreal side = qMin(box.width(), box.height());
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(box.center().x() - side / 2, box.center().y() - side / 2);
    p.scale(side / 24, side / 24);
    if (name == u"xmark.circle.fill") {
        QPainterPath cross;
        cross.moveTo(8.5, 8.5);
        cross.lineTo(15.5, 15.5);
        cross.moveTo(15.5, 8.5);
        cross.lineTo(8.5, 15.5);
        QPainterPathStroker stroker;
        stroker.setWidth(2.2);
        stroker.setCapStyle(Qt::RoundCap);
        QPainterPath disc;
        disc.addEllipse(QRectF(2, 2, 20, 20));
        p.fillPath(disc.subtracted(stroker.createStroke(cross)), color);
    } else {
        QPen pen(color, 1.9 * weight, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawPath(symbolPath(name));
    }
    p.restore();
}

QIcon symbolIcon(const QString &name, qreal pixelSize, const QColor &color, qreal weight)
{
    const int side = qCeil(pixelSize);
    QPixmap pixmap(side * 2, side * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    paintSymbol(p, QRectF(0, 0, side, side), name, color, weight);
    p.end();
    return QIcon(pixmap);
}

QString buttonStyleSheet(ButtonStyle style, qreal fontPixelSize)
{
    const QString size = QString::number(qRound(fontPixelSize));
    switch (style) {
    case ButtonStyle::bordered:
        return QStringLiteral("QPushButton { color: white; background: rgba(255,255,255,0.12);"
                              " border: 1px solid rgba(255,255,255,0.10); border-radius: 7px;"
                              " padding: 5px 12px; font-size: %1px; font-weight: 500; }"
                              "QPushButton:hover { background: rgba(255,255,255,0.18); }"
                              "QPushButton:pressed { background: rgba(255,255,255,0.26); }"
                              "QPushButton:focus { border: 1px solid #8ab4ff; }"
                              "QPushButton:disabled { color: rgba(255,255,255,0.32);"
                              " background: rgba(255,255,255,0.05); }")
            .arg(size);
    case ButtonStyle::prominent:
        return QStringLiteral("QPushButton { color: white; background: #2f7cf6; border: none;"
                              " border-radius: 7px; padding: 5px 14px; font-size: %1px; font-weight: 600; }"
                              "QPushButton:hover { background: #4a8ff8; }"
                              "QPushButton:pressed { background: #2468d0; }"
                              "QPushButton:focus { border: 2px solid #cfe0ff; padding: 3px 12px; }")
            .arg(size);
    case ButtonStyle::plain:
        return QStringLiteral("QPushButton, QToolButton { background: transparent; border: none; padding: 0; }");
    case ButtonStyle::borderless:
        return QStringLiteral("QPushButton { background: transparent; border: none; padding: 2px 4px;"
                              " color: rgba(255,255,255,0.68); font-size: %1px; }"
                              "QPushButton:hover { color: white; }"
                              "QPushButton:focus { color: white; text-decoration: underline; }")
            .arg(size);
    }
    return {};
}

QString tableStyleSheet()
{
    return QStringLiteral(
    "QTreeWidget, QListWidget { background: transparent; color: white; border: none; font-size: 12px; outline: none; }"
    "QTreeWidget::item, QListWidget::item { padding: 3px 0; }"
    "QTreeWidget::item:selected, QListWidget::item:selected { background: rgba(255,255,255,0.10); color: white; }"
    "QTreeWidget:focus, QListWidget:focus { border: 2px solid #8ab4ff; border-radius: 8px; }"
    "QHeaderView::section { background: transparent; color: rgba(255,255,255,0.55); border: none;"
    " padding: 4px 6px; font-size: 11px; }"
    "QScrollBar:vertical { background: transparent; width: 8px; margin: 4px 2px; }"
    "QScrollBar::handle:vertical { background: rgba(255,255,255,0.22); border-radius: 2px; min-height: 24px; }"
    "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
    "QScrollBar::add-page, QScrollBar::sub-page { background: none; }");
}

} // namespace style

void CardFrame::setCard(qreal radius, const QColor &fill, const QColor &stroke, qreal strokeWidth, QList<qreal> dashes)
{
    radius_ = radius;
    fill_ = fill;
    stroke_ = stroke;
    strokeWidth_ = strokeWidth;
    dashes_ = std::move(dashes);
    update();
}

void CardFrame::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal inset = stroke_.alpha() ? strokeWidth_ / 2 : 0;
    const QRectF r = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    QPainterPath path;
    path.addRoundedRect(r, radius_, radius_);
    p.fillPath(path, fill_);
    if (stroke_.alpha()) {
        QPen pen(stroke_, strokeWidth_);
        if (!dashes_.isEmpty()) {
            QList<qreal> pattern;
            for (qreal d : dashes_)
                pattern << d / strokeWidth_; // Qt measures dashes in pen widths
            pen.setDashPattern(pattern);
        }
        p.setPen(pen);
        p.drawPath(path);
    }
}

void style::applyDarkPalette()
{
    static bool applied = false;
    if (applied || !qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    applied = true;
    if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion); // the one built-in style that follows a palette whole
    QPalette p;
    const QColor window = rgb(0.11, 0.12, 0.15), base = rgb(0.08, 0.09, 0.11), text = white(0.92);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, rgb(0.13, 0.14, 0.17));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, rgb(0.17, 0.18, 0.21));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::ToolTipBase, rgb(0.16, 0.17, 0.20));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, white(0.45));
    p.setColor(QPalette::Highlight, rgb(0.20, 0.47, 0.96));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, rgb(0.40, 0.62, 1.0));
    p.setColor(QPalette::Light, rgb(0.24, 0.25, 0.29));
    p.setColor(QPalette::Midlight, rgb(0.20, 0.21, 0.25));
    p.setColor(QPalette::Mid, rgb(0.14, 0.15, 0.18));
    p.setColor(QPalette::Dark, rgb(0.05, 0.05, 0.07));
    p.setColor(QPalette::Shadow, Qt::black);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, white(0.38));
    QApplication::setPalette(p);
    QToolTip::setPalette(p);
}

void style::placeInTabOrder(QWidget *anchor, const QList<QWidget *> &widgets)
{
    for (QWidget *widget : widgets) {
        QWidget::setTabOrder(anchor, widget);
        anchor = widget;
    }
}

QString style::plainToolTip(const QString &text)
{
    return text.isEmpty() ? text : QStringLiteral("<qt style=\"white-space:pre\">%1</qt>").arg(text.toHtmlEscaped());
}

ShrinkingLabel::ShrinkingLabel(const QFont &font, qreal minimumScale, const QColor &color, QWidget *parent,
                               Qt::TextElideMode elide)
    : QLabel(parent), base_(font), minimumScale_(minimumScale), elide_(elide)
{
    setTextFormat(Qt::PlainText);
    setFont(font);
    style::setLabelColor(this, color);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ShrinkingLabel::setFullText(const QString &text)
{
    if (text == text_ && !QLabel::text().isEmpty())
        return;
    text_ = text;
    setToolTip(style::plainToolTip(text));
    fit();
}

QSize ShrinkingLabel::minimumSizeHint() const
{
    return {0, QFontMetrics(base_).height()};
}

void ShrinkingLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    fit();
}

void ShrinkingLabel::fit()
{
    QFont f = base_;
    const int full = QFontMetrics(base_).horizontalAdvance(text_);
    if (full > width() && full > 0) {
        const qreal scale = std::max(minimumScale_, qreal(width()) / full);
        f.setPixelSize(qMax(1, int(base_.pixelSize() * scale)));
    }
    setFont(f);
    setText(QFontMetrics(f).elidedText(text_, elide_, width()));
}

ActivitySpinner::ActivitySpinner(int side, QWidget *parent) : QWidget(parent)
{
    setFixedSize(side, side);
}

void ActivitySpinner::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal side = width();
    const qreal pen = qMax(1.5, side / 10);
    const QRectF r(pen, pen, side - 2 * pen, side - 2 * pen);
    p.setPen(QPen(style::white(0.18), pen));
    p.drawEllipse(r);
    p.setPen(QPen(style::white(), pen, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(r, -angle_ * 16, 100 * 16);
}

void ActivitySpinner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != timer_)
        return;
    angle_ = (angle_ + 12) % 360;
    update();
}

void ActivitySpinner::showEvent(QShowEvent *)
{
    if (!timer_)
        timer_ = startTimer(33);
}

void ActivitySpinner::hideEvent(QHideEvent *)
{
    if (timer_)
        killTimer(timer_);
    timer_ = 0;
}
