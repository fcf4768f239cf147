#include "scan_tree.h"

#include <QSet>
#include <algorithm>

std::optional<ScanNodeRecord> ScanTree::node(const std::optional<QUuid> &id) const
{
    if (!id)
        return std::nullopt;
    const ScanNodeRecord *record = nodesByID.find(*id);
    if (!record)
        return std::nullopt;
    return *record;
}

QList<ScanNodeRecord> ScanTree::children(const QUuid &parentID) const
{
    QList<ScanNodeRecord> out;
    const auto list = childIDsByParentID.constFind(parentID);
    if (list == childIDsByParentID.cend())
        return out;
    out.reserve(list->size());
    for (const QUuid &id : *list) {
        if (const ScanNodeRecord *record = nodesByID.find(id))
            out.append(*record);
    }
    return out;
}

QList<ScanNodeRecord> ScanTree::path(const QUuid &id) const
{
    QList<ScanNodeRecord> out;
    QSet<QUuid> visited;
    auto current = node(id);
    while (current && !visited.contains(current->id)) {
        visited.insert(current->id);
        out.append(*current);
        current = node(current->parentID);
    }
    std::reverse(out.begin(), out.end());
    return out;
}
