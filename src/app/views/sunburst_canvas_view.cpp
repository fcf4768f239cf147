#include "sunburst_canvas_view.h"

#include "background_work.h"

#include "byte_count_text.h"
#include "node_color.h"
#include "stable_scan_node_id.h"
#include "view_style.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QLinearGradient>
#include <QLocale>
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

double midDegrees(const SunburstSegment &s)
{
    const double mid = (s.startDegrees + s.endDegrees) / 2;
    return s.startDegrees <= s.endDegrees ? mid : std::fmod(mid + 180, 360); // wraps through twelve
}

bool spans(const SunburstSegment &s, double degrees)
{
    return s.startDegrees <= s.endDegrees ? s.startDegrees <= degrees && degrees <= s.endDegrees
                                          : degrees >= s.startDegrees || degrees <= s.endDegrees;
}

// One segment as assistive technology sees it: a child of the chart that
// lives as long as the segment is shown.
class SegmentAccessible : public QAccessibleInterface {
public:
    SegmentAccessible(SunburstCanvasView *view, QString segmentID) : view_(view), id_(std::move(segmentID)) {}

    std::optional<SunburstSegment> segment() const
    {
        if (!view_)
            return std::nullopt;
        for (const SunburstSegment &s : view_->segments()) {
            if (s.id == id_)
                return s;
        }
        return std::nullopt;
    }
    bool isValid() const override { return segment().has_value(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(view_.data()); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *focusChild() const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        const std::optional<SunburstSegment> s = segment();
        if (!s)
            return {};
        if (t == QAccessible::Name)
            return view_->segmentDescription(*s);
        if (t == QAccessible::Description)
            return QStringLiteral("Ring %1").arg(s->ringIndex);
        return {};
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        const std::optional<SunburstSegment> s = segment();
        if (!s)
            return {};
        const QRect local = view_->segmentPath(*s).boundingRect().toAlignedRect();
        return QRect(view_->mapToGlobal(local.topLeft()), local.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State st;
        st.focusable = true;
        st.selectable = true;
        const std::optional<SunburstSegment> s = segment();
        st.focused = s && view_->hasFocus() && view_->keySegment() && view_->keySegment()->id == s->id;
        st.selected = st.focused;
        return st;
    }

private:
    QPointer<SunburstCanvasView> view_;
    QString id_;
};

// The chart with its segments as children, so that a screen reader can
// walk the rings.
class SunburstAccessible : public QAccessibleWidget {
public:
    explicit SunburstAccessible(SunburstCanvasView *view) : QAccessibleWidget(view, QAccessible::Chart) {}
    SunburstCanvasView *view() const { return static_cast<SunburstCanvasView *>(widget()); }

    int childCount() const override { return int(view()->segments().size()); }
    QAccessibleInterface *child(int index) const override
    {
        const QList<SunburstSegment> &segments = view()->segments();
        return index >= 0 && index < segments.size() ? segmentInterface(view(), segments[index].id) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (int i = 0; i < childCount(); ++i) {
            if (this->child(i) == child)
                return i;
        }
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const std::optional<SunburstSegment> hit = view()->hitTest(view()->mapFromGlobal(QPoint(x, y)));
        return hit ? segmentInterface(view(), hit->id) : nullptr;
    }
    QAccessibleInterface *focusChild() const override
    {
        const auto &key = view()->keySegment();
        return key && view()->hasFocus() ? segmentInterface(view(), key->id) : nullptr;
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return QStringLiteral("Chart of ") + view()->centreTitle() + QStringLiteral(", ") + view()->centreSize();
        return QAccessibleWidget::text(t);
    }

    // One interface per segment for as long as it is shown: Qt owns them
    // once registered, and a screen reader may hold on to their ids.
    static QAccessibleInterface *segmentInterface(SunburstCanvasView *view, const QString &id)
    {
        auto &cache = interfaces()[view];
        if (const auto found = cache.constFind(id); found != cache.constEnd()) {
            if (QAccessibleInterface *known = QAccessible::accessibleInterface(*found))
                return known;
        }
        auto *created = new SegmentAccessible(view, id);
        cache.insert(id, QAccessible::registerAccessibleInterface(created));
        return created;
    }
    // Drops the interfaces of segments no longer shown.
    static void prune(const SunburstCanvasView *view, const QList<SunburstSegment> &segments)
    {
        auto &cache = interfaces()[view];
        QSet<QString> shown;
        for (const SunburstSegment &s : segments)
            shown.insert(s.id);
        for (auto it = cache.begin(); it != cache.end();) {
            if (shown.contains(it.key())) {
                ++it;
                continue;
            }
            QAccessible::deleteAccessibleInterface(it.value());
            it = cache.erase(it);
        }
        if (cache.isEmpty())
            interfaces().remove(view);
    }

private:
    static QHash<const SunburstCanvasView *, QHash<QString, QAccessible::Id>> &interfaces()
    {
        static QHash<const SunburstCanvasView *, QHash<QString, QAccessible::Id>> all;
        return all;
    }
};

QAccessibleInterface *chartAccessibility(const QString &, QObject *object)
{
    if (auto *view = qobject_cast<SunburstCanvasView *>(object))
        return new SunburstAccessible(view);
    return nullptr;
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
    static const bool accessible = (QAccessible::installFactory(chartAccessibility), true);
    (void)accessible;
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent, false);

    cardFade_.setDuration(120);
    cardFade_.setEasingCurve(QEasingCurve::InOutQuad);
    cardFade_.setStartValue(0.0);
    cardFade_.setEndValue(1.0);
    connect(&cardFade_, &QVariantAnimation::valueChanged, this, [this] { update(); });
}

SunburstCanvasView::~SunburstCanvasView()
{
    SunburstAccessible::prune(this, {});
}

void SunburstCanvasView::setInputs(const ScanTree &tree, const QUuid &focusedNodeID)
{
    tree_ = tree; // shares the tables: O(1)
    focusedNodeID_ = focusedNodeID;
    refreshLayoutIfKeyChanged();
    refreshHoverCard();
    update();
}

void SunburstCanvasView::setCardNote(std::function<QString(const QUuid &)> note)
{
    cardNote_ = std::move(note);
    refreshHoverCard();
}

void SunburstCanvasView::setTint(Tint tint)
{
    tint_ = std::move(tint);
    update();
}

QColor SunburstCanvasView::segmentColor(const SunburstSegment &s) const
{
    if (tint_)
        if (const std::optional<QColor> tinted = tint_(s))
            return *tinted;
    return s.kind.isOther() ? QColor::fromRgbF(1, 1, 1, 0.22f) : nodeColor(s.id);
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
           QString::number(tree_.size()) + "-" + QString::number(focus.isValid() ? focus.allocatedSize() : 0) + "-" +
           QString::number(focus.isValid() ? focus.logicalSize() : 0);
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
    (void)QtConcurrent::run(&backgroundPool(), [self, key, service, tree, focus] {
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
    if (keySegment_) {
        // The keys stay on the same node when it is still shown.
        const auto same = std::find_if(segments.begin(), segments.end(), [&](const SunburstSegment &s) { return s.id == keySegment_->id; });
        keySegment_ = same == segments.end() ? std::nullopt : std::optional(*same);
    }
    segments_ = segments;
    SunburstAccessible::prune(this, segments_);
    update();
    if (QAccessible::isActive()) {
        QAccessibleEvent changed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&changed);
    }
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
        if (spans(s, angle))
            return s;
    }
    return std::nullopt;
}

QPointF SunburstCanvasView::segmentMidpoint(const SunburstSegment &segment) const
{
    const Geometry g = geometry(size());
    const double radius = g.centreRadius + (double(segment.ringIndex) - 0.5) * g.ringThickness;
    return polar(g.centre, radius, (midDegrees(segment) - 90) * kDegreesToRadians);
}

QString SunburstCanvasView::segmentDescription(const SunburstSegment &segment) const
{
    const std::optional<ScanNodeRecord> node = segmentNode(segment);
    if (!node)
        return QStringLiteral("%1 smaller items").arg(segment.kind.itemCount);
    const std::optional<ScanNodeRecord> parent = tree_.node(node->parentID);
    const SizeMeasure m = layoutService_.measure;
    QString text = node->displayName + QStringLiteral(", ") + byteCountText(sizeOf(*node, m));
    if (parent && sizeOf(*parent, m) > 0)
        text += QStringLiteral(", %1% of %2")
                    .arg(QLocale().toString(100.0 * double(sizeOf(*node, m)) / double(sizeOf(*parent, m)), 'f', 1),
                         parent->displayName);
    return text;
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
    return byteCountText(focus ? sizeOf(*focus, layoutService_.measure) : 0);
}

QStringList SunburstCanvasView::hoverCardLines() const
{
    if (!hoveredSegment_)
        return {};
    const auto node = segmentNode(*hoveredSegment_);
    if (!node)
        return {};
    QStringList lines{node->displayName, byteCountText(sizeOf(*node, layoutService_.measure)), scanNodeDetailText(*node)};
    if (cardNote_)
        if (const QString note = cardNote_(node->id); !note.isEmpty())
            lines << note;
    return lines;
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

std::optional<SunburstSegment> SunburstCanvasView::segmentForKey(int key) const
{
    if (segments_.isEmpty())
        return std::nullopt;
    auto ring = [this](qint64 index) {
        QList<SunburstSegment> found;
        for (const SunburstSegment &s : segments_) {
            if (s.ringIndex == index)
                found.append(s);
        }
        std::sort(found.begin(), found.end(), [](const SunburstSegment &a, const SunburstSegment &b) { return a.startDegrees < b.startDegrees; });
        return found;
    };
    if (!keySegment_)
        return ring(1).value(0, segments_.first());
    const SunburstSegment &at = *keySegment_;
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right: {
        const QList<SunburstSegment> same = ring(at.ringIndex);
        const qsizetype i = std::find(same.begin(), same.end(), at) - same.begin();
        const qsizetype step = key == Qt::Key_Right ? 1 : -1; // clockwise, as the ring is read
        return same.value((i + step + same.size()) % same.size());
    }
    case Qt::Key_Up: // outwards: the first child, clockwise
        for (const SunburstSegment &s : ring(at.ringIndex + 1)) {
            if (spans(at, midDegrees(s)))
                return s;
        }
        return std::nullopt;
    case Qt::Key_Down: // inwards: the parent
        for (const SunburstSegment &s : ring(at.ringIndex - 1)) {
            if (spans(s, midDegrees(at)))
                return s;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

void SunburstCanvasView::setKeySegment(const std::optional<SunburstSegment> &segment)
{
    keySegment_ = segment;
    setHovered(segment);
    update();
    if (segment && hasFocus() && QAccessible::isActive()) {
        QAccessibleEvent focused(SunburstAccessible::segmentInterface(this, segment->id), QAccessible::Focus);
        QAccessible::updateAccessibility(&focused);
    }
}

void SunburstCanvasView::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (event->modifiers() & Qt::AltModifier)
            break; // the window's history keys
        if (const std::optional<SunburstSegment> next = segmentForKey(event->key()))
            setKeySegment(next);
        return event->accept();
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (keySegment_ && keySegment_->backingNodeID && onSelect_)
            onSelect_(*keySegment_->backingNodeID);
        return event->accept();
    case Qt::Key_F10:
        if (!(event->modifiers() & Qt::ShiftModifier))
            break;
        [[fallthrough]];
    case Qt::Key_Menu:
        if (keySegment_ && keySegment_->backingNodeID && onContextMenu_)
            onContextMenu_(*keySegment_->backingNodeID, mapToGlobal(segmentMidpoint(*keySegment_).toPoint()));
        return event->accept();
    }
    QWidget::keyPressEvent(event);
}

void SunburstCanvasView::contextMenuEvent(QContextMenuEvent *event)
{
    const bool mouse = event->reason() == QContextMenuEvent::Mouse;
    const std::optional<SunburstSegment> hit = mouse ? hitTest(event->pos()) : keySegment_;
    if (!hit || !hit->backingNodeID || !onContextMenu_)
        return;
    onContextMenu_(*hit->backingNodeID, mouse ? event->globalPos() : mapToGlobal(segmentMidpoint(*hit).toPoint()));
    event->accept();
}

void SunburstCanvasView::focusInEvent(QFocusEvent *event)
{
    QWidget::focusInEvent(event);
    if (keySegment_)
        setHovered(keySegment_);
    else if (event->reason() != Qt::MouseFocusReason && event->reason() != Qt::PopupFocusReason)
        setKeySegment(segmentForKey(Qt::Key_Right)); // reached by Tab: the mark and the card are on a segment
    update();
}

void SunburstCanvasView::focusOutEvent(QFocusEvent *event)
{
    QWidget::focusOutEvent(event);
    if (keySegment_ && hoveredSegment_ && hoveredSegment_->id == keySegment_->id)
        setHovered(std::nullopt);
    update();
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

    paintSegments(p);
    paintCentre(p, g);
    paintHoverCard(p);
}

void SunburstCanvasView::paintSegments(QPainter &p) const
{
    p.setPen(Qt::NoPen);
    for (const SunburstSegment &s : segments_) {
        const QPainterPath path = segmentPath(s);
        QColor colour = segmentColor(s);
        if (hoveredSegment_ && hoveredSegment_->id == s.id)
            colour.setAlphaF(colour.alphaF() * 0.55f);
        p.fillPath(path, colour);
    }
    if (keySegment_ && hasFocus()) {
        p.setPen(QPen(style::focusColor(), 2));
        p.setBrush(Qt::NoBrush);
        p.drawPath(segmentPath(*keySegment_));
        p.setPen(Qt::NoPen);
    }
}

QPainterPath SunburstCanvasView::segmentPath(const SunburstSegment &s) const
{
    const Geometry g = geometry(size());
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
    return path;
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
    for (int i = 0; i < 4 && i < lines.size(); ++i) {
        const QFontMetricsF m(cardFonts()[std::min(i, 2)]);
        width = std::max(width, std::min({m.horizontalAdvance(lines[i]), 260.0, widest}));
        height += m.height() + (i ? 6 : 0);
    }
    return QRectF(viewWidth - 24 - (width + 28), 24, width + 28, height + 20);
}

void SunburstCanvasView::paintHoverCard(QPainter &p) const
{
    const double opacity = cardFade_.currentValue().toDouble();
    if (cardLines_.size() < 3 || opacity <= 0)
        return;
    const QFont *fonts = cardFonts();
    // Name, size, detail, and the change view's note.
    const double alphas[4] = {1.0, 0.82, 0.56, 0.86};
    const QRectF card = hoverCardRect(width(), cardLines_);
    const double textWidth = card.width() - 28;
    p.setOpacity(opacity);
    p.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.12f), 1));
    p.setBrush(QColor::fromRgbF(0.16f, 0.17f, 0.20f, 0.86f)); // stands in for the thin dark material
    p.drawRoundedRect(card, 14, 14);
    double y = card.top() + 10;
    for (int i = 0; i < 4 && i < cardLines_.size(); ++i) {
        const QFontMetricsF m(fonts[std::min(i, 2)]);
        p.setFont(fonts[std::min(i, 2)]);
        p.setPen(QColor::fromRgbF(1, 1, 1, float(alphas[i])));
        p.drawText(QRectF(card.left() + 14, y, textWidth, m.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   m.elidedText(cardLines_[i], Qt::ElideRight, textWidth));
        y += m.height() + 6;
    }
    p.setOpacity(1);
}
