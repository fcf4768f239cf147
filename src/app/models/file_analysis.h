// What the focused folder of the active result is made of, as the store
// publishes it for the views beside the folder list: its largest files, its
// types and ages, and for the chart each folder's mix of them. Made off the
// main thread for one view at a time.
#pragma once

#include "scan_analysis.h"

#include <QHash>
#include <QUuid>
#include <memory>

// The view beside the chart, and what the chart's colours follow.
enum class AnalysisView { folders, largestFiles, types, ages, changes };

// Of each folder below the focus (five levels): its file bytes by category
// (the first kFileCategoryCount slots) or by age (all kFileAgeCount).
using FolderMix = std::array<qint64, kFileAgeCount>;

// A file's slot in a folder's mix: its category by type, its age by age
// (now: when ages are counted from).
inline int mixSlotOf(AnalysisView view, const ScanTree::NodeRef &file, qint64 now)
{
    if (view == AnalysisView::ages)
        return int(fileAgeOf(file.modifiedAt(), now));
    QByteArray scratch;
    return int(fileCategoryOfName(file.nativeName(scratch)));
}

struct FileAnalysis {
    QUuid resultID;
    QUuid focusedNodeID;
    SizeMeasure measure = SizeMeasure::allocated;
    AnalysisView view = AnalysisView::folders;
    FileFilter highlight; // the type or age chosen; Kind::all for none
    qint64 now = 0;       // the ages are counted from
    bool ready = false;   // false while it is being made

    // Largest first, up to 1,000 (of the highlighted type, when one is).
    QList<ScanNodeRecord> largestFiles;
    QList<QByteArray> largestPaths; // each one's path below the focus
    QList<FileTypeRow> types;
    QList<FileTypeRow> categories;
    std::array<FileAgeRow, kFileAgeCount> ages{};
    std::shared_ptr<const QHash<QUuid, FolderMix>> folderMix;

    bool sameRequest(const FileAnalysis &o) const
    {
        return resultID == o.resultID && focusedNodeID == o.focusedNodeID && measure == o.measure && view == o.view &&
               highlight == o.highlight;
    }
};
