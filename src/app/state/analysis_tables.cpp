#include "analysis_tables.h"

#include "background_work.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <QThreadPool>

namespace {

constexpr int kLargestFiles = 1000;
constexpr int kChartDepth = 5; // the rings of the chart

// The tables view asks for, of tree below the request's focus.
void make(const ScanTree &tree, FileAnalysis &a, const std::atomic<bool> &cancelled)
{
    const QUuid &focus = a.focusedNodeID;
    const auto largest = [&](const FileFilter &filter) {
        for (const ScanTree::NodeRef &r : ScanAnalysis::largestFiles(tree, focus, a.measure, kLargestFiles, filter, &cancelled)) {
            a.largestFiles.append(r.record());
            a.largestPaths.append(ScanAnalysis::pathBelow(tree, focus, r));
        }
    };
    switch (a.view) {
    case AnalysisView::folders:
    case AnalysisView::changes: // made when the scans were compared
        return;
    case AnalysisView::largestFiles:
        largest({});
        return;
    case AnalysisView::types: {
        if (a.highlight.kind != FileFilter::Kind::all)
            largest(a.highlight);
        if (a.folderMix)
            return; // the same folder's types, another chosen: kept
        a.types = ScanAnalysis::fileTypes(tree, focus, a.measure, &cancelled);
        a.categories = ScanAnalysis::categories(a.types);
        break;
    }
    case AnalysisView::ages:
        a.ages = ScanAnalysis::fileAges(tree, focus, a.measure, a.now, &cancelled);
        break;
    }
    a.folderMix = std::make_shared<const QHash<QUuid, FolderMix>>(ScanAnalysis::folderMix(
        tree, focus, a.measure, kChartDepth,
        [view = a.view, now = a.now](const ScanTree::NodeRef &file) { return mixSlotOf(view, file, now); }, &cancelled));
}

} // namespace

AnalysisTables::AnalysisTables(ScanSessionStore &store) : s_(store) {}

AnalysisTables::~AnalysisTables()
{
    cancel();
}

void AnalysisTables::cancel()
{
    if (task_)
        task_->store(true);
    task_.reset();
}

void AnalysisTables::refresh(bool force)
{
    const ScanResultState *active = s_.activeResult();
    FileAnalysis request;
    request.view = s_.analysis_.view;
    request.highlight = s_.analysis_.highlight;
    request.measure = s_.sizeMeasure_;
    if (active && active->tree && active->focusedNodeID) {
        request.resultID = active->id;
        request.focusedNodeID = *active->focusedNodeID;
    }
    if (!force && asked_ && request.sameRequest(*asked_))
        return;
    asked_ = request;
    cancel();
    const quint64 sequence = ++sequence_;
    request.now = QDateTime::currentSecsSinceEpoch();
    if (request.view == AnalysisView::folders || request.view == AnalysisView::changes || !active || !active->tree ||
        !active->focusedNodeID) {
        request.ready = true; // nothing to make
        s_.analysis_ = request;
        emit s_.analysisChanged();
        return;
    }
    const FileAnalysis &shown = s_.analysis_;
    if (!force && request.view == AnalysisView::types && shown.ready && shown.view == request.view && shown.folderMix &&
        shown.resultID == request.resultID && shown.focusedNodeID == request.focusedNodeID &&
        shown.measure == request.measure) {
        request.types = shown.types;
        request.categories = shown.categories;
        request.folderMix = shown.folderMix;
    }
    s_.analysis_ = request; // being made: the views show it empty
    emit s_.analysisChanged();
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    task_ = cancelled;
    QPointer<ScanSessionStore> self(&s_);
    backgroundPool().start([self, cancelled, sequence, request, tree = *active->tree]() mutable {
        make(tree, request, *cancelled);
        if (cancelled->load())
            return;
        request.ready = true;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, sequence, request = std::move(request)]() mutable {
                if (self)
                    self->analysisTables_->publish(sequence, std::move(request));
            },
            Qt::QueuedConnection);
    });
}

void AnalysisTables::publish(quint64 request, FileAnalysis analysis)
{
    if (request != sequence_)
        return;
    task_.reset();
    s_.analysis_ = std::move(analysis);
    emit s_.analysisChanged();
}
