// The headless report of burrowlens-scan: a finished scan as text for people
// or as one JSON object for scripts.
#pragma once

#include "scan_update.h"
#include "size_order.h"

#include <QString>

struct ScanReport {
    ScanTree tree;
    ScanSummary summary;
    QString engine; // "fast" or "recursive"
    int top = -1;   // children to list; -1: the default (20 in text, all in JSON)
    SizeMeasure measure = SizeMeasure::allocated; // what is ordered by and shown

    // Folders that could not be listed, in the order of their paths' bytes.
    QList<FileUrl> unreadableFolders() const;

    QString text() const;
    QByteArray json() const;
    // The chart of the root as laid out for the window, one object per segment.
    QByteArray segmentsJson() const;
};
