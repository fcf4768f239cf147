#include "sunburst_layout_service.h"

#include "size_order.h"
#include "stable_scan_node_id.h"

#include <cmath>

namespace {

// Sizes near 2^63 (sparse files) would overflow a plain sum.
qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 sum;
    return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

} // namespace

QList<SunburstSegment> SunburstLayoutService::makeSegments(const ScanTree &tree,
                                                           const QUuid &focusedNodeID) const
{
    QList<SunburstSegment> segments;
    const ScanTree::NodeRef focus = tree.ref(focusedNodeID);
    if (!focus.isValid() || (measure == SizeMeasure::logical ? focus.logicalSize() : focus.allocatedSize()) < 1)
        return segments;
    appendSegments(tree, focusedNodeID, chartStartDegrees, chartEndDegrees, 1, maximumDepth, segments);
    return segments;
}

void SunburstLayoutService::appendSegments(const ScanTree &tree, const QUuid &parentID,
                                           double startDegrees, double endDegrees, int ringIndex,
                                           int remainingDepth, QList<SunburstSegment> &into) const
{
    if (remainingDepth < 1)
        return;
    const ScanTree::NodeRef parent = tree.ref(parentID);
    if (!parent.isValid())
        return;
    const qint64 parentBytes = measure == SizeMeasure::logical ? parent.logicalSize() : parent.allocatedSize();
    if (parentBytes < 1)
        return;
    const double parentSize = double(parentBytes);

    QList<ScanNodeRecord> children;
    for (const ScanNodeRecord &child : tree.children(parentID))
        if (sizeOf(child, measure) >= 1)
            children.append(child);
    if (children.isEmpty())
        return;
    children = sortedBySize(std::move(children), measure);

    const double span = endDegrees - startDegrees;
    QList<const ScanNodeRecord *> visible;
    qint64 hiddenSize = 0, hiddenCount = 0, visibleSize = 0;
    for (const ScanNodeRecord &child : children) {
        const qint64 size = sizeOf(child, measure);
        const double fraction = double(size) / parentSize;
        if (fraction < minimumFraction || span * fraction < minimumAngleDegrees ||
            visible.size() >= maximumVisibleChildrenPerParent) {
            hiddenSize = saturatingAdd(hiddenSize, size);
            ++hiddenCount;
        } else {
            visible.append(&child);
            visibleSize = saturatingAdd(visibleSize, size);
        }
    }

    const qsizetype gaps = std::max<qsizetype>(visible.size() + (hiddenSize > 0 ? 1 : 0) - 1, 0);
    double available = span - siblingGapDegrees * double(gaps);
    if (!(available >= 0))
        available = 0; // also when not a number
    const qint64 total = saturatingAdd(visibleSize, hiddenSize);
    if (total < 1)
        return;

    double cursor = startDegrees;
    for (const ScanNodeRecord *child : visible) {
        const double sweep = available * (double(sizeOf(*child, measure)) / double(total));
        into.append(SunburstSegment{uuidText(child->id), child->id, ringIndex, cursor, cursor + sweep,
                                    SunburstSegment::Kind::node()});
        appendSegments(tree, child->id, cursor, cursor + sweep, ringIndex + 1, remainingDepth - 1, into);
        cursor += siblingGapDegrees + sweep;
    }
    if (hiddenSize >= 1) {
        const double sweep = std::max(endDegrees - cursor, 0.0);
        into.append(SunburstSegment{uuidText(parentID) + "-other-" + QString::number(ringIndex),
                                    std::nullopt, ringIndex, cursor, cursor + sweep,
                                    SunburstSegment::Kind::aggregatedOther(hiddenCount)});
    }
}
