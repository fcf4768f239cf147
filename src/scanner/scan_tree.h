// A scanned tree: records by identifier and child lists by parent. Both
// tables are implicitly shared, so copying a tree into background work
// (sorting, chart layout) costs O(1) however large it is.
#pragma once

#include "node_table.h"

#include <QHash>
#include <QList>

struct ScanTree {
    QUuid rootID;
    NodeTable nodesByID;
    QHash<QUuid, QList<QUuid>> childIDsByParentID;
    // Of each file with more than one link: its (device, inode), which tells
    // its links from another file's when the tree is written out and read back.
    struct FileIdentity {
        quint64 device = 0;
        quint64 inode = 0;
        friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
    };
    QHash<QUuid, FileIdentity> linkedFiles;

    std::optional<ScanNodeRecord> rootNode() const { return node(rootID); }
    std::optional<ScanNodeRecord> node(const std::optional<QUuid> &id) const;
    // The listed children that have records, in list order.
    QList<ScanNodeRecord> children(const QUuid &parentID) const;
    // From the topmost reachable ancestor down to id; a cycle ends the walk.
    QList<ScanNodeRecord> path(const QUuid &id) const;

    friend bool operator==(const ScanTree &, const ScanTree &) = default;
};
