// The chart panel: the sunburst of the active tree around the focused node,
// the focused node's name and size at the centre, a card for the segment
// under the pointer, and a click on a node segment reported to onSelect.
// The layout runs on the thread pool, only when segmentCacheKey() changes.
#pragma once

#include "sunburst_layout_service.h"

#include <QPainterPath>
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>
#include <functional>

class SunburstCanvasView : public QWidget {
    Q_OBJECT
public:
    struct Geometry {
        double side = 0;
        double chartRadius = 0;
        double centreRadius = 0;
        double ringThickness = 0;
        QPointF centre;
    };
    static Geometry geometry(const QSizeF &size);

    // Where the centre disc's two lines go: both inside the disc, the size
    // whole (its font shrinks first), the name shrunk, then elided.
    struct CentreLayout {
        double discRadius = 0;
        QFont titleFont, sizeFont;
        QRectF titleRect, sizeRect;
        QString titleText, sizeText;
    };
    static CentreLayout centreLayout(const Geometry &g, const QString &name, const QString &size);
    // The hover card's frame in a view of width, for lines of text.
    static QRectF hoverCardRect(double viewWidth, const QStringList &lines);

    explicit SunburstCanvasView(QWidget *parent = nullptr);
    ~SunburstCanvasView() override;

    void setInputs(const ScanTree &tree, const QUuid &focusedNodeID);
    void setOnSelect(std::function<void(const QUuid &)> onSelect) { onSelect_ = std::move(onSelect); }
    // A context menu asked for on a node's segment, at a global position.
    void setOnContextMenu(std::function<void(const QUuid &, const QPoint &)> f) { onContextMenu_ = std::move(f); }
    void setLayoutService(const SunburstLayoutService &service);
    // The colours of the segments when they follow something other than
    // the folder (type, age): nothing keeps a segment's own colour.
    using Tint = std::function<std::optional<QColor>(const SunburstSegment &segment)>;
    void setTint(Tint tint);
    // A last line for the hover card of a node's segment ("was 1.2 GB, now
    // 2.4 GB"); an empty text adds none.
    void setCardNote(std::function<QString(const QUuid &node)> note);
    QColor segmentColor(const SunburstSegment &segment) const;
    const SunburstLayoutService &layoutService() const { return layoutService_; }

    QString segmentCacheKey() const;
    const QList<SunburstSegment> &segments() const { return segments_; }
    const std::optional<SunburstSegment> &hoveredSegment() const { return hoveredSegment_; }
    std::optional<SunburstSegment> hitTest(const QPointF &point) const;
    // A point in the middle of the segment's band, in the view's coordinates.
    QPointF segmentMidpoint(const SunburstSegment &segment) const;
    // Its outline as painted, in the view's coordinates.
    QPainterPath segmentPath(const SunburstSegment &segment) const;
    // What assistive technology reads for a segment: its name, size and
    // share of its parent.
    QString segmentDescription(const SunburstSegment &segment) const;

    // The segment the arrow keys are on; the card shows it like a hovered one.
    const std::optional<SunburstSegment> &keySegment() const { return keySegment_; }

    // What the centre disc and the hover card say (empty: no card).
    QString centreTitle() const;
    QString centreSize() const;
    QStringList hoverCardLines() const;
    // What the card shows now, also while it fades out.
    const QStringList &shownCardLines() const { return cardLines_; }

Q_SIGNALS:
    // A layout for the current key has been applied.
    void segmentsChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    // The segment the key leads to from the key segment, if any.
    std::optional<SunburstSegment> segmentForKey(int key) const;
    void setKeySegment(const std::optional<SunburstSegment> &segment);
    void refreshLayoutIfKeyChanged();
    void applyLayout(const QString &key, const QList<SunburstSegment> &segments);
    void setHovered(const std::optional<SunburstSegment> &segment);
    // The card follows the hovered node's newest sizes, and goes with it.
    void refreshHoverCard();
    std::optional<ScanNodeRecord> segmentNode(const SunburstSegment &segment) const;
    void paintSegments(QPainter &p) const;
    void paintCentre(QPainter &p, const Geometry &g) const;
    void paintHoverCard(QPainter &p) const;

    ScanTree tree_;
    QUuid focusedNodeID_;
    SunburstLayoutService layoutService_;
    std::function<void(const QUuid &)> onSelect_;
    Tint tint_;
    std::function<QString(const QUuid &)> cardNote_;
    QList<SunburstSegment> segments_;
    std::function<void(const QUuid &, const QPoint &)> onContextMenu_;
    std::optional<SunburstSegment> hoveredSegment_;
    std::optional<SunburstSegment> keySegment_;
    QString requestedKey_;  // the key of the newest layout asked for
    QStringList cardLines_; // the card being shown or fading out
    QVariantAnimation cardFade_;
};
