// The colour of a node, shared by the chart's segments and the sidebar's
// dots so that one node looks the same in both: a hue from a hash of its
// identifier text, stable for the life of the process.
#pragma once

#include <QColor>
#include <QString>

QColor nodeColor(const QString &uuidText);
