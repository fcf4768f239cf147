// The second scan engine: walks the tree itself through a FileSystemProviding,
// scanning independent subtrees of the top levels concurrently and merging
// results bottom-up. Needs no native code; sends no partial trees.
#pragma once

#include "file_system_providing.h"
#include "node_sizing_service.h"
#include "scan_engine_providing.h"
#include "scan_options.h"
#include "serial_executor.h"

class ScanEngine : public ScanEngineProviding {
public:
    // Subtrees are scanned concurrently only above this depth, and only when
    // a directory has at least kMinParallelSubdirectories of them.
    static constexpr int kParallelDepthLimit = 3;
    static constexpr int kMinParallelSubdirectories = 2;

    ScanEngine(std::shared_ptr<const FileSystemProviding> fileSystem, NodeSizingService sizingService = {},
               ScanOptionsSource options = {});

    std::shared_ptr<UpdateStream> startScan(const FileUrl &rootURL) override;

private:
    struct Scan;
    std::shared_ptr<const FileSystemProviding> fileSystem_;
    NodeSizingService sizingService_;
    ScanOptionsSource options_;
    SerialExecutor executor_;
};
