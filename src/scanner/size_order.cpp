#include "size_order.h"

#include <QCollator>
#include <algorithm>

QList<ScanNodeRecord> sortedBySize(QList<ScanNodeRecord> records)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(records.begin(), records.end(),
                     [&collator](const ScanNodeRecord &a, const ScanNodeRecord &b) {
                         if (a.allocatedSize != b.allocatedSize)
                             return a.allocatedSize > b.allocatedSize;
                         return collator.compare(a.displayName, b.displayName) < 0;
                     });
    return records;
}
