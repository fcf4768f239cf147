// Two scans of one folder side by side: what each item of the newer scan
// was in the older one, and what the older held that is gone. Items match
// by their path below the root, as bytes; a name that changed kind (file
// to folder) is one removal and one addition, and so is a rename. Each
// side's sizes are its own scan's (hard links once, marks), so a folder's
// change is its total now minus its total then.
#pragma once

#include "scan_tree.h"
#include "size_order.h"

#include <QString>
#include <optional>
#include <vector>

struct ScanComparison {
    // By position in the newer tree: the sizes in the older scan; -1 for
    // an item that is new. 16 bytes a node.
    std::vector<qint64> olderAllocated, olderLogical;

    // What the older scan held that the newer has not: the topmost of each
    // gone part, with the items it held (itself included).
    struct Removed {
        ScanTree::NodeRef node; // in the older tree
        QByteArray path;        // below the root
        qint64 items = 0;
    };
    std::vector<Removed> removed;
    qint64 addedItems = 0, removedItems = 0;

    bool isNew(const ScanTree::NodeRef &newer) const { return olderAllocated[size_t(newer.position())] < 0; }
    qint64 before(const ScanTree::NodeRef &newer, SizeMeasure measure) const
    {
        const qint64 was = (measure == SizeMeasure::logical ? olderLogical : olderAllocated)[size_t(newer.position())];
        return was < 0 ? 0 : was;
    }
    qint64 change(const ScanTree::NodeRef &newer, SizeMeasure measure) const
    {
        const qint64 now = measure == SizeMeasure::logical ? newer.logicalSize() : newer.allocatedSize();
        return now - before(newer, measure);
    }

    // Compares; nothing, with why in *error, when the two are not scans of
    // one folder. cancelled, when set, is asked now and then.
    static std::optional<ScanComparison> compare(const ScanTree &older, const ScanTree &newer, QString *error,
                                                 const std::atomic<bool> *cancelled = nullptr);
};
