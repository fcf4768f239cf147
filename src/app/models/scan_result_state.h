// One scanned (or waiting) folder as the session store keeps it, with its
// phase, latest tree, focus, selection and message. Read by every view.
#pragma once

#include "scan_update.h"
#include "size_order.h"

#include <QUuid>
#include <optional>

enum class ScanResultPhase { queued, scanning, ready, failed };

// What every view says of a scan that was stopped before its end.
inline QString partialScanText()
{
    return QStringLiteral("Stopped \u2014 partial");
}

struct ScanResultState {
    QUuid id; // kept across rescans
    FileUrl rootURL; // standardized
    // What the folder was when its scan began: a move to the Trash checks it.
    std::optional<FileIdentity> rootIdentity;
    ScanResultPhase phase = ScanResultPhase::queued;
    std::optional<ProgressSnapshot> progressSnapshot;
    std::optional<ScanTree> tree;
    std::optional<ScanSummary> summary;
    std::optional<QUuid> focusedNodeID;
    std::optional<QUuid> selectedNodeID;
    std::optional<QString> errorMessage;
    // The scan file it was opened from, when it was not scanned here; its
    // items may not exist on this machine.
    std::optional<QString> sourceFile;
    // While a scan file arrives on standard input: the bytes so far.
    std::optional<qint64> receivedBytes;

    // The size of the whole folder by measure: its tree's root, or the
    // summary's allocated total before there is a tree.
    qint64 totalSize(SizeMeasure measure) const
    {
        if (tree)
            if (const std::optional<ScanNodeRecord> root = tree->node(tree->rootID))
                return sizeOf(*root, measure);
        return summary ? summary->totalAllocatedSize : 0;
    }

    friend bool operator==(const ScanResultState &, const ScanResultState &) = default;
};
