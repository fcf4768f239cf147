#include "change_history.h"

#include "background_work.h"

#include "scan_file_io.h"
#include "scan_history.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

namespace {

std::optional<ResultComparison> compared(const ScanFileContents &older, const QString &file, const ScanTree &newer,
                                         QString *error)
{
    std::optional<ScanComparison> c = ScanComparison::compare(older.tree, newer, error);
    if (!c)
        return std::nullopt;
    return ResultComparison{std::make_shared<const ScanComparison>(std::move(*c)), older.tree, newer,
                            older.summary.finishedAt, file};
}

} // namespace

ChangeHistory::ChangeHistory(ScanSessionStore &store) : s_(store) {}

std::optional<ResultComparison> ChangeHistory::comparisonFor(const ScanResultState &result) const
{
    const auto it = comparisons_.constFind(result.id);
    if (it == comparisons_.cend() || !result.tree || !it->newer.sharesStorageWith(*result.tree))
        return std::nullopt;
    return *it;
}

void ChangeHistory::scanFinished(const QUuid &resultID)
{
    const ScanResultState *r = s_.result(resultID);
    const QString folder = s_.history_.folder;
    if (!r || !r->tree || !r->summary || r->sourceFile || r->summary->isPartial || folder.isEmpty())
        return;
    QPointer<ScanSessionStore> self(&s_);
    const int perFolder = s_.history_.perFolder;
    const qint64 totalBytes = s_.history_.totalBytes;
    backgroundPool().start([self, resultID, folder, perFolder, totalBytes, tree = *r->tree,
                                          summary = *r->summary] {
        ScanHistory history(folder);
        history.perFolder = perFolder;
        history.totalBytes = totalBytes;
        QString saveError, compareError;
        history.save(tree, summary, &saveError);
        // The one before this scan: the newest older than it that reads.
        QStringList skipped;
        std::optional<ResultComparison> made;
        for (const ScanHistoryEntry &e : history.scansOf(summary.rootURL)) {
            if (e.finishedAt >= summary.finishedAt.toUTC())
                continue;
            QString why;
            if (const std::optional<ScanFileContents> older = loadScanFile(e.file, &why)) {
                made = compared(*older, e.file, tree, &compareError);
                break;
            }
            skipped << e.file + QStringLiteral(": ") + why;
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [=] {
                if (self)
                    self->changes_->publish(resultID, tree, made, saveError, skipped, compareError);
            },
            Qt::QueuedConnection);
    });
}

void ChangeHistory::compareWith(const QUuid &resultID, const QString &file)
{
    const ScanResultState *r = s_.result(resultID);
    if (!r || !r->tree)
        return;
    QPointer<ScanSessionStore> self(&s_);
    backgroundPool().start([self, resultID, file, tree = *r->tree] {
        QString error;
        std::optional<ResultComparison> made;
        if (const std::optional<ScanFileContents> older = loadScanFile(file, &error))
            made = compared(*older, file, tree, &error);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [=] {
                if (self)
                    self->changes_->publish(resultID, tree, made, {}, {}, made ? QString() : error);
            },
            Qt::QueuedConnection);
    });
}

void ChangeHistory::publish(const QUuid &resultID, const ScanTree &newer, std::optional<ResultComparison> made,
                            const QString &saveError, const QStringList &skipped, const QString &compareError)
{
    if (!saveError.isEmpty() && !saveFailureTold_) {
        saveFailureTold_ = true;
        emit s_.actionFailed(QStringLiteral("Could not keep the scan in the history."), saveError);
    }
    for (const QString &s : skipped) {
        if (!skippedTold_.contains(s)) {
            skippedTold_.insert(s);
            emit s_.actionFailed(QStringLiteral("A saved scan could not be read and was passed over."), s);
        }
    }
    if (!compareError.isEmpty())
        emit s_.actionFailed(QStringLiteral("Could not compare with the earlier scan."), compareError);
    const ScanResultState *r = s_.result(resultID);
    if (!made || !r || !r->tree || !newer.sharesStorageWith(*r->tree))
        return; // rescanned meanwhile: that scan makes its own
    comparisons_.insert(resultID, std::move(*made));
    emit s_.comparisonChanged();
}

bool ChangeHistory::canSaveActiveResult() const
{
    const ScanResultState *active = s_.activeResult();
    return active && active->phase == ScanResultPhase::ready && active->tree && active->summary;
}

void ChangeHistory::saveActiveResult()
{
    if (!canSaveActiveResult())
        return;
    const ScanResultState *active = s_.activeResult();
    const QString name = active->rootURL.lastPathComponent();
    const std::optional<QString> path =
        s_.services_.openPanel->chooseSaveFile((name.isEmpty() || name == u"/" ? QStringLiteral("root") : name) +
                                               QStringLiteral(".json"));
    if (!path || path->isEmpty())
        return;
    // Copies of the tree share its records: O(1).
    QPointer<ScanSessionStore> self(&s_);
    backgroundPool().start([self, path = *path, tree = *active->tree, summary = *active->summary] {
        QString error;
        saveScanFile(tree, summary, path, &error);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, path, error] {
            if (self)
                emit self->scanSaved(path, error);
        });
    });
}
