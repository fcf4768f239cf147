// The store's part that writes scans down and compares them: each local
// scan that finishes whole is kept in the history (off the main thread) and
// compared with the one before it, or with any scan file the user picks;
// and a result is saved as a scan file when asked.
#pragma once

#include "scan_session_store.h"

#include <QSet>

class ChangeHistory {
public:
    explicit ChangeHistory(ScanSessionStore &store);

    void scanFinished(const QUuid &resultID);
    // The earlier side from a file (a saved scan or any export).
    void compareWith(const QUuid &resultID, const QString &file);
    void forget(const QUuid &resultID) { comparisons_.remove(resultID); }
    std::optional<ResultComparison> comparisonFor(const ScanResultState &result) const;
    bool canSaveActiveResult() const;
    void saveActiveResult();

private:
    void publish(const QUuid &resultID, const ScanTree &newer, std::optional<ResultComparison> made,
                 const QString &saveError, const QStringList &skipped, const QString &compareError);

    ScanSessionStore &s_;
    QHash<QUuid, ResultComparison> comparisons_;
    bool saveFailureTold_ = false; // a failing save is said once
    QSet<QString> skippedTold_;
};
