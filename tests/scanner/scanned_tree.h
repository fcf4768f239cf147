// A folder scanned to the end by an engine, for the scanner's tests.
#pragma once

#include "scan_engine.h"

#include <stdexcept>
#include <string>

inline ScanTree scannedTree(ScanEngineProviding &engine, const std::string &root)
{
    auto stream = engine.startScan(FileUrl::fromPath(QString::fromStdString(root), true));
    std::optional<ScanTree> tree;
    while (auto u = stream->next())
        if (u->kind() == ScanUpdate::Kind::finished)
            tree = u->get<ScanUpdate::Finished>().tree;
    if (!tree)
        throw std::runtime_error("the scan did not finish");
    return *tree;
}
