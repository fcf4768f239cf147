// Paints the window's chart of a tree's root into a PNG file, offscreen, for
// machines without a display.
#pragma once

#include "scan_tree.h"

#include <QString>

bool renderChart(const ScanTree &tree, const QString &file, int side, int argc, char **argv, QString *error);
