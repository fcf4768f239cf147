// Scans remembered: each one a zstd-compressed export in one folder
// (burrowlens/scans under $XDG_DATA_HOME), named by a hash of the scanned
// folder's path and the scan's time, so that a folder's scans are found and
// the oldest let go without opening any. The root and the time are also in
// each file's header, as in any export.
#pragma once

#include "scan_file.h"

#include <QDateTime>
#include <QString>

struct ScanHistoryEntry {
    QString file;
    QDateTime finishedAt;
    qint64 fileBytes = 0;
};

class ScanHistory {
public:
    // dir: where the scans are kept; empty for the user's.
    explicit ScanHistory(QString dir = {});
    static QString defaultFolder();
    const QString &folder() const { return dir_; }

    // Keeps the scan, then lets the oldest go past the limits. False, with
    // why in *error, when it could not be written (nothing half-written
    // stays).
    bool save(const ScanTree &tree, const ScanSummary &summary, QString *error, QString *saved = nullptr);
    // The saved scans of root, newest first (by their names: no file read).
    QList<ScanHistoryEntry> scansOf(const FileUrl &root) const;
    // Lets the oldest go: past perFolder scans of one folder, and past
    // totalBytes in all, oldest first.
    void applyLimits(int perFolder, qint64 totalBytes) const;
    // Removes every kept scan; how many went.
    int clear() const;

    int perFolder = 10;
    qint64 totalBytes = qint64(1) << 30;

private:
    QString dir_;
};
