// views_bench PATH: the window (offscreen) over one folder scanned with the
// fast engine; then, on the scanned folder, each view beside the chart
// (largest files, types with a category chosen, ages) asked for five times:
// how long until its tables are shown and the chart is painted, and the
// longest main-thread stall meanwhile; the change view against an export
// of the tree (the first time with the comparison); last, focusing the folder with the
// most children: until its sorted list shows, and the longest stall.
// Figures, not a test.
#include "content_view.h"
#include "background_work.h"
#include "bench_support.h"
#include "fast_scan_engine.h"
#include "scan_file_io.h"
#include "scan_session_store.h"
#include "scan_workspace_view.h"
#include "sidebar_list_view.h"
#include "stall_probe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

using bench::msSince;
using bench::NoActivation;
using bench::runUntil;

namespace {

// Until what is posted has run, the background work is done and the
// window has painted.
void settle(ContentView &window)
{
    backgroundPool().waitForDone();
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
    window.grab();
}

struct Figures {
    std::vector<double> ready, stall;
    void print(const char *what) const
    {
        std::vector<double> r = ready, s = stall;
        std::sort(r.begin(), r.end());
        std::sort(s.begin(), s.end());
        std::printf("%-28s shown in median %.1f ms (max %.1f); longest stall median %.1f ms (max %.1f)\n", what,
                    r[r.size() / 2], r.back(), s[s.size() / 2], s.back());
    }
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2 && !(argc == 3 && argv[2] == std::string("--focus"))) {
        std::fprintf(stderr, "usage: views_bench PATH [--focus]\n");
        return 2;
    }
    const bool focusOnly = argc == 3; // the widest folder's focus alone
    ScanSessionServices services;
    services.appActivation = std::make_shared<NoActivation>();
    ScanSessionStore store(std::make_shared<FastScanEngine>(), services);
    ContentView window(store);
    window.resize(1100, 720);
    window.show();
    store.acceptIncoming({QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1]))});
    if (store.results().isEmpty()) {
        std::fprintf(stderr, "views_bench: %s is not a folder\n", argv[1]);
        return 1;
    }
    runUntil([&] { return store.activeResult()->phase != ScanResultPhase::scanning; });
    if (store.activeResult()->phase != ScanResultPhase::ready)
        return 1;
    const ScanTree &tree = *store.activeResult()->tree;
    settle(window);
    std::printf("tree: %lld nodes\n", qlonglong(tree.size()));

    StallProbe probe;
    const auto measure = [&](Figures &f, const std::function<void()> &ask, const std::function<bool()> &shown) {
        probe.start();
        QElapsedTimer t;
        t.start();
        ask();
        runUntil(shown);
        settle(window);
        f.ready.push_back(msSince(t));
        f.stall.push_back(probe.longestMs());
        probe.stop();
        store.setAnalysisView(AnalysisView::folders);
        settle(window);
    };
    const auto ready = [&] { return store.analysis().ready; };
    Figures largest, types, chosen, ages;
    FileFilter pictures;
    pictures.kind = FileFilter::Kind::category;
    pictures.category = FileCategory::pictures;
    for (int run = 0; run < (focusOnly ? 0 : 5); ++run) {
        measure(largest, [&] { store.setAnalysisView(AnalysisView::largestFiles); }, ready);
        measure(types, [&] { store.setAnalysisView(AnalysisView::types); }, ready);
        measure(
            chosen,
            [&] {
                store.setAnalysisView(AnalysisView::types);
                runUntil(ready);
                store.setAnalysisHighlight(pictures);
            },
            [&] { return ready() && store.analysis().highlight == pictures; });
        measure(ages, [&] { store.setAnalysisView(AnalysisView::ages); }, ready);
    }
    if (!focusOnly) {
        // The change view, against an export of the same tree read back.
        QTemporaryDir scratch;
        QString error;
        saveScanFile(tree, *store.activeResult()->summary, scratch.filePath("then.json"), &error);
        Figures changes;
        measure(
            changes,
            [&] {
                store.compareActiveWith(scratch.filePath("then.json"));
                store.setAnalysisView(AnalysisView::changes);
            },
            [&] { return store.activeComparison().has_value(); });
        for (int run = 0; run < 4; ++run)
            measure(changes, [&] { store.setAnalysisView(AnalysisView::changes); }, ready);

        largest.print("largest 1,000 files");
        types.print("types (chart by type)");
        chosen.print("types, pictures chosen");
        ages.print("ages (chart by age)");
        changes.print("changes (first: compared)");
    }

    QUuid widest = tree.rootID;
    qsizetype widestCount = 0;
    tree.forEachNode([&](const ScanNodeRecord &r) {
        if (r.kind == ScanNodeKind::directory && r.childCount > widestCount) {
            widest = r.id;
            widestCount = r.childCount;
        }
    });
    Figures focus;
    for (int run = 0; run < 5; ++run) {
        store.focusNode(tree.rootID);
        runUntil([&] { return !store.hasFocusedChildrenSortTask(); });
        settle(window);
        measure(focus, [&] { store.focusNode(widest); }, [&] {
            return window.workspace()->sidebar()->model()->rowCount() > 0 && !store.hasFocusedChildrenSortTask() &&
                   store.focusedChildren().size() == widestCount;
        });
    }
    std::printf("focus of %lld entries: ", qlonglong(widestCount));
    focus.print("");
    std::fflush(stdout);
    std::_Exit(0); // the tree's teardown is not part of any figure
}
