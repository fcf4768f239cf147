// The look shared by the window's views: fonts in logical pixels, white at
// an opacity, the dark gradients, rounded cards, and the project's own
// monochrome symbols, drawn in the current text colour.
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QLinearGradient>
#include <QWidget>

namespace style {

enum class Design { standard, rounded, monospaced };

QFont font(qreal pixelSize, QFont::Weight weight = QFont::Normal, Design design = Design::standard);
QColor white(qreal opacity = 1.0);
QColor black(qreal opacity);
// The mark of the widget the keys go to.
QColor focusColor();
// Widgets made after the window join the end of its Tab order; this puts
// them, in their order, right after anchor.
void placeInTabOrder(QWidget *anchor, const QList<QWidget *> &widgets);
QColor rgb(qreal r, qreal g, qreal b, qreal opacity = 1.0);

// A label in the given font and colour; elided labels never wrap.
QLabel *label(const QString &text, const QFont &font, const QColor &color, QWidget *parent = nullptr);
// One dark look for the whole application, so that the stock dialogs, the
// open panel, menus, tooltips and scroll bars match the window.
void applyDarkPalette();
// A tooltip that shows text as it is: Qt takes a tooltip that looks like
// markup for markup, and a name may look like anything.
QString plainToolTip(const QString &text);
void setLabelColor(QLabel *label, const QColor &color);

// A diagonal (top-leading to bottom-trailing) or vertical gradient over rect.
void fillGradient(QPainter &p, const QRectF &rect, const QColor &from, const QColor &to, bool vertical = false);

// One of the symbol names of the design ("folder.badge.plus", "trash", ...)
// drawn into box in colour; unknown names draw nothing.
void paintSymbol(QPainter &p, const QRectF &box, const QString &name, const QColor &color, qreal weight = 1.0);
QIcon symbolIcon(const QString &name, qreal pixelSize, const QColor &color, qreal weight = 1.0);

// Push-button looks: bordered, bordered prominent, or plain (no chrome).
enum class ButtonStyle { bordered, prominent, plain, borderless };
QString buttonStyleSheet(ButtonStyle style, qreal fontPixelSize = 13);
// Tables and lists on a card: transparent, white text, the focus outlined.
QString tableStyleSheet();

} // namespace style

// A panel that paints a rounded rectangle behind its children: fill, and an
// outline that may be dashed. Cards, the drop zone and the list backgrounds.
class CardFrame : public QWidget {
public:
    explicit CardFrame(QWidget *parent = nullptr) : QWidget(parent) {}
    void setCard(qreal radius, const QColor &fill, const QColor &stroke = Qt::transparent, qreal strokeWidth = 1,
                 QList<qreal> dashes = {});

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    qreal radius_ = 0;
    QColor fill_ = Qt::transparent;
    QColor stroke_ = Qt::transparent;
    qreal strokeWidth_ = 1;
    QList<qreal> dashes_;
};

// A line of text that shrinks to fit and then elides, like the titles in the
// header, also after a resize; it never asks for more width than it has.
class ShrinkingLabel : public QLabel {
public:
    ShrinkingLabel(const QFont &font, qreal minimumScale, const QColor &color, QWidget *parent = nullptr,
                   Qt::TextElideMode elide = Qt::ElideRight);
    void setFullText(const QString &text);
    const QString &fullText() const { return text_; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void fit();
    QString text_;
    QFont base_;
    qreal minimumScale_;
    Qt::TextElideMode elide_;
};

// The indeterminate circular activity indicator.
class ActivitySpinner : public QWidget {
public:
    explicit ActivitySpinner(int side, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    int angle_ = 0;
    int timer_ = 0;
};
