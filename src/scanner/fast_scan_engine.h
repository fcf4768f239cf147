// The scan engine the application uses: the native scan core on the
// engine's own executor thread, polled every 200 ms for progress and partial
// trees, then the finished tree with measured packages and a summary.
#pragma once

#include "node_resource_values.h"
#include "scan_engine_providing.h"
#include "serial_executor.h"

#include "bl_scan.h"

class FastScanEngine : public ScanEngineProviding {
public:
    static constexpr int kPollIntervalMs = 200;
    static constexpr int32_t kSnapshotCap = 5000;
    static constexpr int kScanNiceness = 10;

    // Tests shorten the poll interval to see partial trees of small scans.
    explicit FastScanEngine(int pollIntervalMs = kPollIntervalMs) : pollIntervalMs_(pollIntervalMs) {}

    std::shared_ptr<UpdateStream> startScan(const FileUrl &rootURL) override;

    // count records of a flat array (snapshot or finished) as a tree; the
    // finished form also measures packages and uses the children index.
    static std::optional<ScanTree> buildSnapshotTree(const bl_flat_node_t *nodes, int32_t count,
                                                     const FileUrl &rootURL);
    static std::optional<ScanTree> buildTree(bl_scan_result_t &result, const FileUrl &rootURL);
    // Total size of a package's contents; nullopt when it cannot be listed.
    static std::optional<NodeSize> packageSize(const FileUrl &url, qint64 fallbackAllocated,
                                               qint64 fallbackLogical);
    static QString displayName(int32_t index, const QString &rawName, const FileUrl &rootURL);

private:
    struct LiveScanState;
    static void performScan(const FileUrl &rootURL, const std::shared_ptr<UpdateStream> &stream,
                            const std::shared_ptr<LiveScanState> &state, int pollIntervalMs);

    int pollIntervalMs_;
    SerialExecutor executor_;
};
