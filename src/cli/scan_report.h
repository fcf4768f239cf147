// The headless report of burrowlens-scan: a finished scan as text for people
// or as one JSON object for scripts.
#pragma once

#include "scan_compare.h"
#include "scan_update.h"
#include "size_order.h"

#include <QJsonObject>
#include <QString>

struct ScanReport {
    ScanTree tree;
    ScanSummary summary;
    QString engine; // "fast" or "recursive"
    int top = -1;   // children to list; -1: the default (20 in text, all in JSON)
    SizeMeasure measure = SizeMeasure::allocated; // what is ordered by and shown
    int topFiles = 0;    // the largest files anywhere below the root to list
    bool types = false;  // the files by type and category
    bool ages = false;   // the files by age
    qint64 now = 0;      // for the ages, seconds since the epoch
    // With an earlier scan of the folder: what changed since (top items
    // each way, as many as top, 20 by default).
    std::optional<ScanComparison> comparison;
    ScanTree olderTree;
    ScanSummary olderSummary;
    QString olderFile;

    // Folders that could not be listed, in the order of their paths' bytes.
    QList<FileUrl> unreadableFolders() const;

    QString text() const;
    QByteArray json() const;
    // The largest files, types and ages asked for, as text or into object.
    QString analysisText() const;
    void addAnalysis(QJsonObject &object) const;
    QString comparisonText() const;
    void addComparison(QJsonObject &object) const;
    // The chart of the root as laid out for the window, one object per segment.
    QByteArray segmentsJson() const;
};
