// The store's tables of what the focused folder is made of: made off the
// main thread for the view shown beside the chart (largest files, types,
// ages), again when the focus, the tree, the size or the highlight changes,
// the stale ones dropped by sequence. It changes the store's published
// analysis; only the store calls it. Main thread only.
#pragma once

#include "scan_session_store.h"

#include <atomic>

class AnalysisTables {
public:
    explicit AnalysisTables(ScanSessionStore &store);
    ~AnalysisTables();

    // With force, also when the request is the one last made (a new tree).
    void refresh(bool force);

private:
    void publish(quint64 request, FileAnalysis analysis);
    void cancel();

    ScanSessionStore &s_;
    std::shared_ptr<std::atomic<bool>> task_; // the running one's cancellation flag
    quint64 sequence_ = 0;
    std::optional<FileAnalysis> asked_; // the request last made
};
