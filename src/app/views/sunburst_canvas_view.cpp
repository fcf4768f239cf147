#include "sunburst_canvas_view.h"

#include "byte_count_text.h"
#include "node_color.h"
#include "view_style.h"

#include <QCoreApplication>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QtConcurrent/QtConcurrentRun>
#include <cmath>

namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;
constexpr int kRings = 5; // equals the layout's maximum depth

// Arc point at a screen angle in radians (y down, so angles turn clockwise).
QPointF polar(const QPointF &centre, double radius, double angle)
{
    return centre + QPointF(radius * std::cos(angle), radius * std::sin(angle));
}

} // namespace

SunburstCanvasView::Geometry SunburstCanvasView::geometry(const QSizeF &size)
{
    Geometry g;
    g.side = std::min(size.width(), size.height());
    g.chartRadius = g.side * 0.5 - 28;
    g.centreRadius = std::max(g.chartRadius * 0.25, 36.0);
    g.ringThickness = std::max((g.chartRadius - g.centreRadius) / kRings, 10.0);
    g.centre = QPointF(size.width() / 2, size.height() / 2);
    return g;
}

SunburstCanvasView::SunburstCanvasView(QWidget *parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    cardFade_.setDuration(120);
    cardFade_.setEasingCurve(QEasingCurve::InOutQuad);
    cardFade_.setStartValue(0.0);
    cardFade_.setEndValue(1.0);
    connect(&cardFade_, &QVariantAnimation::valueChanged, this, [this] { update(); });
}

void SunburstCanvasView::setInputs(const ScanTree &tree, const QUuid &focusedNodeID)
{
    tree_ = tree; // shares the tables: O(1)
    focusedNodeID_ = focusedNodeID;
    refreshLayoutIfKeyChanged();
    refreshHoverCard();
    update();
}

void SunburstCanvasView::setLayoutService(const SunburstLayoutService &service)
{
    layoutService_ = service;
    requestedKey_.clear(); // new settings: lay out again
    refreshLayoutIfKeyChanged();
}

QString SunburstCanvasView::segmentCacheKey() const
{
    const ScanTree::NodeRef focus = tree_.ref(focusedNodeID_);
    return uuidText(tree_.rootID) + "-" + uuidText(focusedNodeID_) + "-" +
           QString::number(tree_.size()) + "-" + QString::number(focus.isValid() ? focus.allocatedSize() : 0);
}

void SunburstCanvasView::refreshLayoutIfKeyChanged()
{
    const QString key = segmentCacheKey();
    if (key == requestedKey_)
        return;
    requestedKey_ = key;
    const SunburstLayoutService service = layoutService_;
    const ScanTree tree = tree_;
    const QUuid focus = focusedNodeID_;
    QPointer<SunburstCanvasView> self(this);
    // Layout never runs on the main thread; its result comes back queued.
    (void)QtConcurrent::run([self, key, service, tree, focus] {
        const QList<SunburstSegment> segments = service.makeSegments(tree, focus);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, key, segments] {
            if (self)
                self->applyLayout(key, segments);
        }, Qt::QueuedConnection);
    });
}

void SunburstCanvasView::applyLayout(const QString &key, const QList<SunburstSegment> &segments)
{
    if (key != requestedKey_)
        return; // computed for inputs that have changed since
    if (hoveredSegment_) {
        const bool stillThere = std::any_of(segments.begin(), segments.end(),
                                            [&](const SunburstSegment &s) { return s.id == hoveredSegment_->id; });
        if (!stillThere)
            setHovered(std::nullopt);
    }
    segments_ = segments;
    update();
    Q_EMIT segmentsChanged();
}

std::optional<SunburstSegment> SunburstCanvasView::hitTest(const QPointF &point) const
{
    const Geometry g = geometry(size());
    const double dx = point.x() - g.centre.x();
    const double dy = point.y() - g.centre.y();
    double angle = std::fmod(std::atan2(dy, dx) * 180.0 / M_PI + 90.0, 360.0);
    if (angle < 0)
        angle += 360.0;
    const double distance = std::sqrt(dx * dx + dy * dy);
    for (qsizetype i = segments_.size() - 1; i >= 0; --i) {
        const SunburstSegment &s = segments_[i];
        const double inner = g.centreRadius + double(s.ringIndex - 1) * g.ringThickness;
        const double outer = g.centreRadius + double(s.ringIndex) * g.ringThickness;
        if (distance < inner || distance > outer)
            continue;
        const bool inRange = s.startDegrees <= s.endDegrees
                                 ? s.startDegrees <= angle && angle <= s.endDegrees
                                 : angle >= s.startDegrees || angle <= s.endDegrees;
        if (inRange)
            return s;
    }
    return std::nullopt;
}

QPointF SunburstCanvasView::segmentMidpoint(const SunburstSegment &segment) const
{
    const Geometry g = geometry(size());
    const double radius = g.centreRadius + (double(segment.ringIndex) - 0.5) * g.ringThickness;
    double degrees = (segment.startDegrees + segment.endDegrees) / 2;
    if (segment.startDegrees > segment.endDegrees)
        degrees += 180; // the segment wraps through twelve o'clock
    return polar(g.centre, radius, (degrees - 90) * kDegreesToRadians);
}

std::optional<ScanNodeRecord> SunburstCanvasView::segmentNode(const SunburstSegment &segment) const
{
    return segment.backingNodeID ? tree_.node(segment.backingNodeID) : std::nullopt;
}

QString SunburstCanvasView::centreTitle() const
{
    const auto focus = tree_.node(focusedNodeID_);
    return focus ? focus->displayName : QStringLiteral("Folder");
}

QString SunburstCanvasView::centreSize() const
{
    const auto focus = tree_.node(focusedNodeID_);
    return byteCountText(focus ? focus->allocatedSize : 0);
}

QStringList SunburstCanvasView::hoverCardLines() const
{
    if (!hoveredSegment_)
        return {};
    const auto node = segmentNode(*hoveredSegment_);
    if (!node)
        return {};
    return {node->displayName, byteCountText(node->allocatedSize), scanNodeDetailText(*node)};
}

void SunburstCanvasView::setHovered(const std::optional<SunburstSegment> &segment)
{
    const QString before = hoveredSegment_ ? hoveredSegment_->id : QString();
    const QString after = segment ? segment->id : QString();
    if (before == after && hoveredSegment_.has_value() == segment.has_value())
        return;
    hoveredSegment_ = segment;
    const QStringList lines = hoverCardLines();
    // Fade in a new card; fade the old one out while its text stays.
    if (!lines.isEmpty()) {
        cardLines_ = lines;
        cardFade_.setDirection(QAbstractAnimation::Forward);
    } else {
        cardFade_.setDirection(QAbstractAnimation::Backward);
    }
    if (cardFade_.state() != QAbstractAnimation::Running)
        cardFade_.start();
    update();
}

void SunburstCanvasView::refreshHoverCard()
{
    if (!hoveredSegment_)
        return;
    const QStringList lines = hoverCardLines();
    if (lines.isEmpty())
        setHovered(std::nullopt);
    else
        cardLines_ = lines;
}

void SunburstCanvasView::mouseMoveEvent(QMouseEvent *event)
{
    setHovered(hitTest(event->position()));
}

void SunburstCanvasView::leaveEvent(QEvent *)
{
    setHovered(std::nullopt);
}

void SunburstCanvasView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const auto hit = hitTest(event->position());
    if (hit && hit->backingNodeID && onSelect_)
        onSelect_(*hit->backingNodeID);
}

void SunburstCanvasView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const Geometry g = geometry(size());

    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient background(frame.topLeft(), frame.bottomRight());
    background.setColorAt(0, QColor::fromRgbF(0.12f, 0.14f, 0.17f));
    background.setColorAt(1, QColor::fromRgbF(0.09f, 0.10f, 0.13f));
    p.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.08f), 1));
    p.setBrush(background);
    p.drawRoundedRect(frame, 28, 28);

    paintSegments(p, g);
    paintCentre(p, g);
    paintHoverCard(p);
}

void SunburstCanvasView::paintSegments(QPainter &p, const Geometry &g) const
{
    p.setPen(Qt::NoPen);
    for (const SunburstSegment &s : segments_) {
        const double r1 = double(s.ringIndex) * g.ringThickness + g.centreRadius - 2;
        const double r0 = std::max(r1 - g.ringThickness + 4, g.centreRadius);
        const double a0 = (s.startDegrees - 90) * kDegreesToRadians;
        const double a1 = (s.endDegrees - 90) * kDegreesToRadians;
        QPainterPath path;
        path.setFillRule(Qt::WindingFill);
        // Qt's arcTo counts degrees counter-clockwise with y up; ours turn
        // clockwise on screen, hence the negated sweep.
        const QRectF outer(g.centre.x() - r1, g.centre.y() - r1, 2 * r1, 2 * r1);
        const QRectF inner(g.centre.x() - r0, g.centre.y() - r0, 2 * r0, 2 * r0);
        const double startQt = -a0 / kDegreesToRadians;
        const double sweepQt = -(a1 - a0) / kDegreesToRadians;
        path.moveTo(polar(g.centre, r1, a0));
        path.arcTo(outer, startQt, sweepQt);
        path.lineTo(polar(g.centre, r0, a1));
        path.arcTo(inner, startQt + sweepQt, -sweepQt);
        path.closeSubpath();

        QColor colour = s.kind.isOther() ? QColor::fromRgbF(1, 1, 1, 0.22f) : nodeColor(s.id);
        if (hoveredSegment_ && hoveredSegment_->id == s.id)
            colour.setAlphaF(colour.alphaF() * 0.55f);
        p.fillPath(path, colour);
    }
}

SunburstCanvasView::CentreLayout SunburstCanvasView::centreLayout(const Geometry &g, const QString &name,
                                                                  const QString &size)
{
    CentreLayout l;
    l.discRadius = g.centreRadius * 1.85 / 2;
    l.titleFont = style::font(std::max(g.side * 0.035, 13.0), QFont::Bold);
    l.sizeFont = style::font(std::max(g.side * 0.026, 11.0), QFont::DemiBold, style::Design::monospaced);
    const double fullTitle = l.titleFont.pixelSize(), fullSize = l.sizeFont.pixelSize();
    // The width a line may take: the disc's chord at the line's edge farther
    // from the centre, less a margin.
    const double inner = std::max(l.discRadius - 3, 1.0);
    const auto room = [inner](double top, double bottom) {
        const double edge = std::max(std::abs(top), std::abs(bottom));
        return edge >= inner ? 0.0 : 2 * std::sqrt(inner * inner - edge * edge) - 6;
    };
    double titleRoom = 0, sizeRoom = 0, top = 0;
    for (int step = 0; step < 64; ++step) {
        const QFontMetricsF tm(l.titleFont), sm(l.sizeFont);
        const double height = tm.height() + 4 + sm.height();
        top = -height / 2;
        titleRoom = room(top, top + tm.height());
        sizeRoom = room(top + tm.height() + 4, height / 2);
        // The size is never cut: its font shrinks to a third if it must.
        if (sm.horizontalAdvance(size) > sizeRoom && l.sizeFont.pixelSize() > std::max(fullSize / 3, 6.0)) {
            l.sizeFont.setPixelSize(l.sizeFont.pixelSize() - 1);
            continue;
        }
        // The name shrinks to half its size before it is cut short.
        if (tm.horizontalAdvance(name) > titleRoom && l.titleFont.pixelSize() > fullTitle / 2) {
            l.titleFont.setPixelSize(l.titleFont.pixelSize() - 1);
            continue;
        }
        break;
    }
    const QFontMetricsF tm(l.titleFont), sm(l.sizeFont);
    l.titleRect = QRectF(g.centre.x() - titleRoom / 2, g.centre.y() + top, titleRoom, tm.height());
    l.sizeRect = QRectF(g.centre.x() - sizeRoom / 2, l.titleRect.bottom() + 4, sizeRoom, sm.height());
    l.titleText = tm.elidedText(name, Qt::ElideRight, titleRoom);
    l.sizeText = size;
    return l;
}

void SunburstCanvasView::paintCentre(QPainter &p, const Geometry &g) const
{
    const CentreLayout l = centreLayout(g, centreTitle(), centreSize());
    const double r = l.discRadius;
    // A soft shadow below the disc: black at 0.18, blurred over about 18 points.
    for (int i = 6; i >= 1; --i) {
        const double spread = 18.0 * i / 6;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor::fromRgbF(0, 0, 0, 0.18f / 6));
        p.drawEllipse(g.centre + QPointF(0, 10), r + spread / 2, r + spread / 2);
    }
    p.setBrush(QColor::fromRgbF(0.06f, 0.07f, 0.09f));
    p.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.12f), 1));
    p.drawEllipse(g.centre, r, r);

    p.setPen(Qt::white);
    p.setFont(l.titleFont);
    p.drawText(l.titleRect, Qt::AlignCenter, l.titleText);
    p.setPen(QColor::fromRgbF(1, 1, 1, 0.78f));
    p.setFont(l.sizeFont);
    p.drawText(l.sizeRect, Qt::AlignCenter | Qt::TextDontClip, l.sizeText);
}

namespace {

const QFont *cardFonts()
{
    static const QFont fonts[3] = {style::font(13, QFont::Bold),
                                   style::font(12, QFont::DemiBold, style::Design::monospaced),
                                   style::font(11, QFont::Medium)};
    return fonts;
}

} // namespace

QRectF SunburstCanvasView::hoverCardRect(double viewWidth, const QStringList &lines)
{
    // As wide as its longest line up to 260, and never past the left edge.
    const double widest = std::max(viewWidth - 48 - 28, 16.0);
    double width = 0, height = 0;
    for (int i = 0; i < 3 && i < lines.size(); ++i) {
        const QFontMetricsF m(cardFonts()[i]);
        width = std::max(width, std::min({m.horizontalAdvance(lines[i]), 260.0, widest}));
        height += m.height() + (i ? 6 : 0);
    }
    return QRectF(viewWidth - 24 - (width + 28), 24, width + 28, height + 20);
}

void SunburstCanvasView::paintHoverCard(QPainter &p) const
{
    const double opacity = cardFade_.currentValue().toDouble();
    if (cardLines_.size() != 3 || opacity <= 0)
        return;
    const QFont *fonts = cardFonts();
    const double alphas[3] = {1.0, 0.82, 0.56};
    const QRectF card = hoverCardRect(width(), cardLines_);
    const double textWidth = card.width() - 28;
    p.setOpacity(opacity);
    p.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.12f), 1));
    p.setBrush(QColor::fromRgbF(0.16f, 0.17f, 0.20f, 0.86f)); // stands in for the thin dark material
    p.drawRoundedRect(card, 14, 14);
    double y = card.top() + 10;
    for (int i = 0; i < 3; ++i) {
        const QFontMetricsF m(fonts[i]);
        p.setFont(fonts[i]);
        p.setPen(QColor::fromRgbF(1, 1, 1, float(alphas[i])));
        p.drawText(QRectF(card.left() + 14, y, textWidth, m.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   m.elidedText(cardLines_[i], Qt::ElideRight, textWidth));
        y += m.height() + 6;
    }
    p.setOpacity(1);
}
