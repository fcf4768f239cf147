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

    // Sizes alone tell which children are too small to show, and those are
    // never named or ordered: a folder of a million small files costs a pass.
    const double span = endDegrees - startDegrees;
    QList<ScanTree::NodeRef> visible;
    qint64 hiddenSize = 0, hiddenCount = 0, visibleSize = 0;
    const auto sizeOfRef = [this](const ScanTree::NodeRef &r) {
        return measure == SizeMeasure::logical ? r.logicalSize() : r.allocatedSize();
    };
    for (const ScanTree::NodeRef &child : parent.children()) {
        const qint64 size = sizeOfRef(child);
        if (size < 1)
            continue;
        const double fraction = double(size) / parentSize;
        if (fraction < minimumFraction || span * fraction < minimumAngleDegrees) {
            hiddenSize = saturatingAdd(hiddenSize, size);
            ++hiddenCount;
        } else {
            visible.append(child);
        }
    }
    sortBySize(visible, measure);
    while (!visible.isEmpty() && visible.size() > maximumVisibleChildrenPerParent) {
        hiddenSize = saturatingAdd(hiddenSize, sizeOfRef(visible.last()));
        ++hiddenCount;
        visible.removeLast();
    }
    for (const ScanTree::NodeRef &child : visible)
        visibleSize = saturatingAdd(visibleSize, sizeOfRef(child));
    if (visible.isEmpty() && hiddenCount == 0)
        return;

    const qsizetype gaps = std::max<qsizetype>(visible.size() + (hiddenSize > 0 ? 1 : 0) - 1, 0);
    double available = span - siblingGapDegrees * double(gaps);
    if (!(available >= 0))
        available = 0; // also when not a number
    const qint64 total = saturatingAdd(visibleSize, hiddenSize);
    if (total < 1)
        return;

    double cursor = startDegrees;
    for (const ScanTree::NodeRef &child : visible) {
        const double sweep = available * (double(sizeOfRef(child)) / double(total));
        const QUuid id = child.id();
        into.append(SunburstSegment{uuidText(id), id, ringIndex, cursor, cursor + sweep,
                                    SunburstSegment::Kind::node()});
        appendSegments(tree, id, cursor, cursor + sweep, ringIndex + 1, remainingDepth - 1, into);
        cursor += siblingGapDegrees + sweep;
    }
    if (hiddenSize >= 1) {
        const double sweep = std::max(endDegrees - cursor, 0.0);
        into.append(SunburstSegment{uuidText(parentID) + "-other-" + QString::number(ringIndex),
                                    std::nullopt, ringIndex, cursor, cursor + sweep,
                                    SunburstSegment::Kind::aggregatedOther(hiddenCount)});
    }
}
