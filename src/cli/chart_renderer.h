// Paints the window's chart of a tree's root into a PNG file, offscreen, for
// machines without a display. Built as a module of its own that
// burrowlens-scan loads only for --chart, so that a plain report does not
// pay for loading the GUI libraries.
#pragma once

#include "scan_tree.h"
#include "size_order.h"

#include <QString>

// measure: the SizeMeasure the angles follow, as an int across the C boundary.
extern "C" bool burrowlens_render_chart(const ScanTree *tree, const QString *file, int side, int measure, int argc,
                                        char **argv, QString *error);

// Loads the module beside the executable and renders through it.
bool renderChart(const ScanTree &tree, const QString &file, int side, SizeMeasure measure, int argc, char **argv,
                 QString *error);
