// The events a scan engine streams to its consumer, and the counters and
// summary they carry.
#pragma once

#include "scan_failure.h"
#include "scan_tree.h"

#include <QDateTime>
#include <variant>

struct ProgressSnapshot {
    qint64 itemsScanned = 0;
    qint64 directoriesScanned = 0;
    qint64 filesScanned = 0;
    qint64 unreadableCount = 0;
    std::optional<FileUrl> currentURL;

    friend bool operator==(const ProgressSnapshot &, const ProgressSnapshot &) = default;
};

struct ScanSummary {
    FileUrl rootURL;
    QDateTime startedAt;
    QDateTime finishedAt;
    qint64 itemsScanned = 0;
    qint64 directoriesScanned = 0;
    qint64 filesScanned = 0;
    qint64 unreadableCount = 0;
    qint64 totalAllocatedSize = 0;
    // Stopped before the end: what was found until then, never the whole.
    bool isPartial = false;

    friend bool operator==(const ScanSummary &, const ScanSummary &) = default;
};

class ScanUpdate {
public:
    // In declaration order; kind() is the index of the payload.
    enum class Kind {
        started, progress, nodeDiscovered, nodeUpdated, branchCompleted,
        intermediateTree, finished, failed, cancelled
    };
    struct Started { FileUrl rootURL; QDateTime startedAt; };
    struct NodeDiscovered { QUuid parentID; ScanNodeRecord node; };
    struct NodeUpdated { QUuid nodeID; qint64 allocatedSize; qint64 logicalSize; };
    struct BranchCompleted { QUuid nodeID; };
    struct IntermediateTree { ScanTree tree; };
    struct Finished { ScanTree tree; ScanSummary summary; };
    struct Cancelled {};
    using Payload = std::variant<Started, ProgressSnapshot, NodeDiscovered, NodeUpdated,
                                 BranchCompleted, IntermediateTree, Finished, ScanFailure,
                                 Cancelled>;

    static ScanUpdate started(const FileUrl &rootURL, const QDateTime &at) { return {Started{rootURL, at}}; }
    static ScanUpdate progress(const ProgressSnapshot &p) { return {p}; }
    static ScanUpdate intermediateTree(const ScanTree &t) { return {IntermediateTree{t}}; }
    static ScanUpdate finished(const ScanTree &t, const ScanSummary &s) { return {Finished{t, s}}; }
    static ScanUpdate failed(const ScanFailure &f) { return {f}; }
    static ScanUpdate cancelled() { return {Cancelled{}}; }

    Kind kind() const { return Kind(payload.index()); }
    bool isTerminal() const
    {
        return kind() == Kind::finished || kind() == Kind::failed || kind() == Kind::cancelled;
    }
    template <typename T> const T &get() const { return std::get<T>(payload); }

    Payload payload;
};
