#include "size_order.h"

#include <QCollator>
#include <algorithm>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>

// Sorts positions rather than 144-byte records, and compares names only
// within runs of equal size; long runs (a folder of many small files) are
// ordered by collation keys, which compare far faster than the collator.
QList<ScanNodeRecord> sortedBySize(QList<ScanNodeRecord> list, SizeMeasure measure)
{
    const QList<ScanNodeRecord> &records = list; // reads must not detach
    constexpr qsizetype kKeyedRun = 16;
    constexpr size_t kParallelRun = 65536;
    std::vector<qsizetype> order(size_t(records.size()));
    std::iota(order.begin(), order.end(), qsizetype(0));
    std::stable_sort(order.begin(), order.end(), [&records, measure](qsizetype a, qsizetype b) {
        return sizeOf(records[a], measure) > sizeOf(records[b], measure);
    });

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<std::optional<QCollatorSortKey>> keys;
    for (auto run = order.begin(); run != order.end();) {
        const qint64 size = sizeOf(records[*run], measure);
        const auto end = std::find_if(run, order.end(), [&](qsizetype i) { return sizeOf(records[i], measure) != size; });
        if (end - run >= kKeyedRun) {
            // Keys stay put (moving one costs a reference count); positions move.
            const size_t n = size_t(end - run);
            keys.assign(n, std::nullopt);
            std::vector<qsizetype> byKey(n);
            std::iota(byKey.begin(), byKey.end(), qsizetype(0));
            const auto byName = [&keys](qsizetype a, qsizetype b) { return keys[a]->compare(*keys[b]) < 0; };
            // Each half's keys made and sorted on a thread of its own (a
            // folder of a million small files), then merged: the same order.
            const auto half = [&](size_t from, size_t to) {
                QCollator own(collator.locale()); // one collator a thread
                own.setCaseSensitivity(Qt::CaseInsensitive);
                for (size_t k = from; k < to; ++k)
                    keys[k].emplace(own.sortKey(records[run[qsizetype(k)]].displayName));
                std::stable_sort(byKey.begin() + qsizetype(from), byKey.begin() + qsizetype(to), byName);
            };
            std::optional<std::thread> other;
            if (n >= kParallelRun) {
                try {
                    other.emplace(half, 0, n / 2);
                } catch (const std::system_error &) {
                    // no thread to be had: one does it all
                }
            }
            if (other) {
                half(n / 2, n);
                other->join();
                std::inplace_merge(byKey.begin(), byKey.begin() + qsizetype(n / 2), byKey.end(), byName);
            } else {
                half(0, n);
            }
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
