// The scan engine the application uses: the native scan core on the
// engine's own executor thread, polled every 200 ms for progress and partial
// trees, then the finished tree with measured packages and a summary.
#pragma once

#include "node_resource_values.h"
#include "scan_engine_providing.h"
#include "scan_options.h"
#include "serial_executor.h"

#include "bl_scan.h"
#include "started_scan.h"

#include <atomic>
#include <vector>

class FastScanEngine : public ScanEngineProviding {
public:
    static constexpr int kPollIntervalMs = 200;
    static constexpr int32_t kSnapshotCap = 5000;
    // The window's scans yield to its main thread; the headless report
    // runs at the priority it was started with.
    static constexpr int kWindowScanNiceness = 10;

    // Tests shorten the poll interval to see partial trees of small scans.
    // niceness > 0 lowers the scan threads' priority by that much.
    explicit FastScanEngine(int pollIntervalMs = kPollIntervalMs, int niceness = 0, ScanOptionsSource options = {})
        : pollIntervalMs_(pollIntervalMs), niceness_(niceness), options_(std::move(options))
    {
    }

    std::shared_ptr<UpdateStream> startScan(const FileUrl &rootURL) override;
    // The next scan waits for this walk instead of walking again when it is
    // of the same folder with no choices made; any other discards it.
    void takeStartedScan(std::unique_ptr<bl::StartedScan> walk);

    // Scans that ended because their consumer walked away.
    int cancelledScans() const { return cancelled_->load(); }

    // count records of a flat array (snapshot or finished) as a tree, their
    // names in the arena of names (the scan's result); the finished form
    // also measures packages and places each folder's children together,
    // breadth first, from the runs its listings appended. marks: those of
    // the scan, in node order (bl_get_marks); later ones are left out.
    static std::optional<ScanTree> buildSnapshotTree(const bl_flat_node_t *nodes, int32_t count,
                                                     const bl_scan_result_t &names, const FileUrl &rootURL,
                                                     const std::vector<bl_node_mark_t> &marks = {});
    // consume: the result's records go back to the system as the tree takes
    // them in, and read as zeros after.
    static std::optional<ScanTree> buildTree(bl_scan_result_t &result, const FileUrl &rootURL, bool consume = false);
    // Total size of a package's contents; nullopt when it cannot be listed.
    static std::optional<NodeSize> packageSize(const FileUrl &url, qint64 fallbackAllocated,
                                               qint64 fallbackLogical);
    static QString displayName(int32_t index, const QString &rawName, const FileUrl &rootURL);

private:
    struct LiveScanState;
    static void performScan(const FileUrl &rootURL, const std::shared_ptr<UpdateStream> &stream,
                            const std::shared_ptr<LiveScanState> &state, int pollIntervalMs,
                            int niceness, const ScanOptions &options, std::atomic<int> &cancelled);

    int pollIntervalMs_;
    int niceness_;
    ScanOptionsSource options_;
    std::shared_ptr<std::atomic<int>> cancelled_ = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<bl::StartedScan> started_;
    SerialExecutor executor_;
};
