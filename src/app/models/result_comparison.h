// A result beside an earlier scan of its folder, as the change view shows
// it: what each item was then, what is gone, and when "then" was.
#pragma once

#include "scan_compare.h"

#include <QDateTime>
#include <memory>

struct ResultComparison {
    std::shared_ptr<const ScanComparison> comparison;
    ScanTree older; // what the removed items were in
    ScanTree newer; // the tree compared (a rescan makes another)
    QDateTime olderTime;
    QString olderFile;
};
