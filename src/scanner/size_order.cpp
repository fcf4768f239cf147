#include "size_order.h"

#include <QCollator>
#include <algorithm>
#include <numeric>

// Sorts positions rather than 144-byte records, and compares names only
// within runs of equal size; long runs (a folder of many small files) are
// ordered by collation keys, which compare far faster than the collator.
QList<ScanNodeRecord> sortedBySize(QList<ScanNodeRecord> list, SizeMeasure measure)
{
    const QList<ScanNodeRecord> &records = list; // reads must not detach
    constexpr qsizetype kKeyedRun = 16;
    std::vector<qsizetype> order(size_t(records.size()));
    std::iota(order.begin(), order.end(), qsizetype(0));
    std::stable_sort(order.begin(), order.end(), [&records, measure](qsizetype a, qsizetype b) {
        return sizeOf(records[a], measure) > sizeOf(records[b], measure);
    });

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<QCollatorSortKey> keys;
    for (auto run = order.begin(); run != order.end();) {
        const qint64 size = sizeOf(records[*run], measure);
        const auto end = std::find_if(run, order.end(), [&](qsizetype i) { return sizeOf(records[i], measure) != size; });
        if (end - run >= kKeyedRun) {
            // Keys stay put (moving one costs a reference count); positions move.
            keys.clear();
            keys.reserve(size_t(end - run));
            for (auto it = run; it != end; ++it)
                keys.push_back(collator.sortKey(records[*it].displayName));
            std::vector<qsizetype> byKey(keys.size());
            std::iota(byKey.begin(), byKey.end(), qsizetype(0));
            std::stable_sort(byKey.begin(), byKey.end(),
                             [&keys](qsizetype a, qsizetype b) { return keys[a].compare(keys[b]) < 0; });
            std::vector<qsizetype> runOrder(run, end);
            for (size_t k = 0; k < byKey.size(); ++k)
                run[k] = runOrder[size_t(byKey[k])];
        } else if (end - run > 1) {
            std::stable_sort(run, end, [&](qsizetype a, qsizetype b) {
                return collator.compare(records[a].displayName, records[b].displayName) < 0;
            });
        }
        run = end;
    }

    QList<ScanNodeRecord> sorted;
    sorted.reserve(list.size());
    for (qsizetype i : order)
        sorted.append(std::move(list[i]));
    return sorted;
}
