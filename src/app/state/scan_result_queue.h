// The session store's results from start to end: folders and scan files
// coming in, the queue and the one running scan, its updates, rescans and
// the focus restored after them, results saved and removed. It changes the
// store's published fields; only the store calls it. Main thread only.
#pragma once

#include "scan_file.h"
#include "scan_session_store.h"
#include "update_stream_reader.h"

#include <QPointer>
#include <atomic>

class ScanSessionStore::ScanTask {
public:
    std::shared_ptr<UpdateStream> stream; // for a stop that keeps what was found
    std::unique_ptr<UpdateStreamReader> reader;
};

class ScanResultQueue {
public:
    explicit ScanResultQueue(ScanSessionStore &store);
    ~ScanResultQueue();

    void acceptIncoming(const QList<QUrl> &urls);
    void openScanFile(const QString &path);
    void receiveScanFile(int descriptor, const QString &keptPath);
    void chooseFolder();
    void activateResult(const QUuid &id);
    void removeResult(const QUuid &id);
    // Ends every scan and forgets every result.
    void clearAll();
    void rescanResult(const QUuid &id);
    bool canRescan(const QUuid &id) const;
    // Ends the running scan early; its result keeps what was found, partial.
    void stopScan();
    bool canStopScan() const;
    // A new result for url, or (reusing) a rescan of that result.
    void startScan(const FileUrl &url, const std::optional<QUuid> &reusing);

private:
    using ScanTask = ScanSessionStore::ScanTask;

    void beginScan(const QUuid &resultID, const FileUrl &rootURL);
    void startNextQueuedScanIfPossible();
    // A new result for a scan file named name, being opened.
    QUuid beginOpening(const FileUrl &name, const QString &sourceFile);
    // Off the main thread: the result of beginOpening, or why there is
    // none, handed to the store on the main thread.
    static void finishOpening(const QPointer<ScanSessionStore> &store, const QUuid &id,
                              std::optional<ScanFileContents> contents, const QString &failure);
    void consume(const ScanUpdate &update, const QUuid &resultID);
    std::optional<QUuid> restoredFocusNodeID(const QUuid &resultID, const ScanTree &tree);
    static QList<FileUrl> focusPathURLs(const ScanResultState &result);
    void endScan(const QUuid &resultID);
    // Drops the result and its remembered focus; a new active one if it was active.
    void forgetResult(const QUuid &id);
    void chooseActiveAfterRemoval();

    ScanSessionStore &s_;
    // Tasks released by their own terminal update, alive until their stream ends.
    std::vector<std::shared_ptr<ScanTask>> endingTasks_;
    // Tells receivers still reading that nobody waits for them.
    std::shared_ptr<std::atomic<bool>> closing_ = std::make_shared<std::atomic<bool>>(false);
};
