// The order in which a folder's children are listed to the user: largest
// size (allocated unless asked otherwise) first, ties by name (locale-aware, case-insensitive), stable.
// Shared by the window's list and the headless report.
#pragma once

#include "scan_tree.h"

#include <QList>

// Which of a record's sizes is shown and ordered by.
enum class SizeMeasure { allocated, logical };

inline qint64 sizeOf(const ScanNodeRecord &r, SizeMeasure measure)
{
    return measure == SizeMeasure::logical ? r.logicalSize : r.allocatedSize;
}

// Puts nodes read without records in that order.
void sortBySize(QList<ScanTree::NodeRef> &refs, SizeMeasure measure);
// A folder's children in that order, each record made once the order is
// known (a folder of a million files: none moved, made on two threads).
QList<ScanNodeRecord> sortedChildren(const ScanTree &tree, const QUuid &parentID,
                                     SizeMeasure measure = SizeMeasure::allocated);
