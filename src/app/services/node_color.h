// The colour of a node, shared by the chart's segments and the sidebar's
// dots so that one node looks the same in both: a hue from a hash of its
// identifier text, stable for the life of the process.
#pragma once

#include <QColor>
#include <QString>

QColor nodeColor(const QString &uuidText);

enum class FileCategory;
enum class FileAge;
// The colours of the chart by type and by age, clear on the dark palette;
// the age's run from fresh (green) to old (violet), unknown grey.
QColor categoryColor(FileCategory category);
QColor ageColor(FileAge age);

// The change view's: grown, shrunk, new since the earlier scan, unchanged.
enum class ChangeKind { grown, shrunk, added, unchanged };
QColor changeColor(ChangeKind change);
