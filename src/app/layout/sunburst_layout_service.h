// Turns a scan tree and the focused node into the segments of the sunburst
// chart, ring by ring out to five rings. A pure function of its inputs, run
// off the main thread by the canvas view and by burrowlens-scan.
#pragma once

#include "scan_tree.h"
#include "size_order.h"
#include "sunburst_segment.h"

#include <QList>

class SunburstLayoutService {
public:
    double minimumFraction = 0.018;
    double minimumAngleDegrees = 4.0;
    int maximumDepth = 5;
    int maximumVisibleChildrenPerParent = 18;
    double siblingGapDegrees = 1.35;
    double chartStartDegrees = 12.0;
    double chartEndDegrees = 348.0;
    // Which size the angles follow.
    SizeMeasure measure = SizeMeasure::allocated;

    // Depth-first pre-order; empty when there is nothing to draw.
    QList<SunburstSegment> makeSegments(const ScanTree &tree, const QUuid &focusedNodeID) const;

private:
    void appendSegments(const ScanTree &tree, const QUuid &parentID, double startDegrees,
                        double endDegrees, int ringIndex, int remainingDepth,
                        QList<SunburstSegment> &into) const;
};

