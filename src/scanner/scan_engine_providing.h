// The interface of a scan engine: a folder in, an ordered stream of updates
// out, ending after exactly one of finished, failed or cancelled. Abandoning
// the stream stops the scan. The application holds its engine only as this.
#pragma once

#include "update_stream.h"

class ScanEngineProviding {
public:
    virtual ~ScanEngineProviding() = default;
    virtual std::shared_ptr<UpdateStream> startScan(const FileUrl &rootURL) = 0;
};
