// The order in which a folder's children are listed to the user: largest
// allocated size first, ties by name (locale-aware, case-insensitive), stable.
// Shared by the window's list and the headless report.
#pragma once

#include "scan_node_record.h"

#include <QList>

QList<ScanNodeRecord> sortedBySize(QList<ScanNodeRecord> records);
