// The pool the window's own background work runs on (sorting, tables,
// comparisons, saves, chart layout). Not Qt's global pool: Qt's raster
// painting spreads large fills over that one, and a paint that waits behind
// a sort of a million records stalls the window.
#pragma once

#include <QThreadPool>

QThreadPool &backgroundPool();
