// The chart panel: the sunburst of the active tree around the focused node,
// the focused node's name and size at the centre, a card for the segment
// under the pointer, and a click on a node segment reported to onSelect.
// The layout runs on the thread pool, only when segmentCacheKey() changes.
#pragma once

#include "sunburst_layout_service.h"

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

    void setInputs(const ScanTree &tree, const QUuid &focusedNodeID);
    void setOnSelect(std::function<void(const QUuid &)> onSelect) { onSelect_ = std::move(onSelect); }
    void setLayoutService(const SunburstLayoutService &service);

    QString segmentCacheKey() const;
    const QList<SunburstSegment> &segments() const { return segments_; }
    const std::optional<SunburstSegment> &hoveredSegment() const { return hoveredSegment_; }
    std::optional<SunburstSegment> hitTest(const QPointF &point) const;
    // A point in the middle of the segment's band, in the view's coordinates.
    QPointF segmentMidpoint(const SunburstSegment &segment) const;

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

private:
    void refreshLayoutIfKeyChanged();
    void applyLayout(const QString &key, const QList<SunburstSegment> &segments);
    void setHovered(const std::optional<SunburstSegment> &segment);
    // The card follows the hovered node's newest sizes, and goes with it.
    void refreshHoverCard();
    std::optional<ScanNodeRecord> segmentNode(const SunburstSegment &segment) const;
    void paintSegments(QPainter &p, const Geometry &g) const;
    void paintCentre(QPainter &p, const Geometry &g) const;
    void paintHoverCard(QPainter &p) const;

    ScanTree tree_;
    QUuid focusedNodeID_;
    SunburstLayoutService layoutService_;
    std::function<void(const QUuid &)> onSelect_;
    QList<SunburstSegment> segments_;
    std::optional<SunburstSegment> hoveredSegment_;
    QString requestedKey_;  // the key of the newest layout asked for
    QStringList cardLines_; // the card being shown or fading out
    QVariantAnimation cardFade_;
};
