// store_bench: one folder scanned through the session store with the fast
// engine, as the window does it, while a probe timer measures how long the
// main thread goes without turning its event loop. Then, on the final tree:
// how long focusNode keeps the main thread, and how long the sorted children
// of the folder with the most children take to arrive.
#include "bench_support.h"
#include "fast_scan_engine.h"
#include "scan_session_store.h"
#include "stall_probe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>

using bench::msSince;
using bench::NoActivation;
using bench::runUntil;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: store_bench PATH\n");
        return 2;
    }
    ScanSessionServices services;
    services.appActivation = std::make_shared<NoActivation>();
    ScanSessionStore store(std::make_shared<FastScanEngine>(), services);

    StallProbe probe;
    probe.start();
    QElapsedTimer scan;
    scan.start();
    store.acceptIncoming({QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1]))});
    if (store.results().isEmpty()) {
        std::fprintf(stderr, "store_bench: %s is not a folder\n", argv[1]);
        return 1;
    }
    runUntil([&] { return store.activeResult()->phase != ScanResultPhase::scanning; });
    const double scanMs = msSince(scan);
    const double stallMs = probe.longestMs();
    const ScanResultState &result = *store.activeResult();
    if (result.phase != ScanResultPhase::ready) {
        std::fprintf(stderr, "store_bench: %s\n", qPrintable(result.errorMessage.value_or(QString())));
        return 1;
    }
    const ScanTree &tree = *result.tree;
    std::printf("scan: %lld nodes in %.0f ms; longest main-thread stall %.1f ms\n",
                qlonglong(tree.size()), scanMs, stallMs);

    // The folder with the most children, and folders to move the focus between.
    QUuid widest = tree.rootID;
    qsizetype widestCount = 0;
    QList<QUuid> folders;
    tree.forEachNode([&](const ScanNodeRecord &r) {
        if (r.kind != ScanNodeKind::directory)
            return;
        if (r.childCount > widestCount) {
            widest = r.id;
            widestCount = r.childCount;
        }
        if (folders.size() < 200)
            folders << r.id;
    });

    std::vector<double> focusMs;
    for (const QUuid &id : folders) {
        QElapsedTimer t;
        t.start();
        store.focusNode(id);
        focusMs.push_back(msSince(t));
        QCoreApplication::processEvents();
    }
    std::sort(focusMs.begin(), focusMs.end());
    std::printf("focusNode: median %.3f ms, max %.3f ms over %zu folders\n", focusMs[focusMs.size() / 2],
                focusMs.back(), focusMs.size());

    store.focusNode(tree.rootID);
    runUntil([&] { return !store.hasFocusedChildrenSortTask(); });
    std::vector<double> arrivalMs;
    double widestFocusMs = 0;
    for (int run = 0; run < 5; ++run) {
        store.focusNode(tree.rootID);
        runUntil([&] { return !store.hasFocusedChildrenSortTask(); });
        QElapsedTimer t;
        t.start();
        store.focusNode(widest);
        widestFocusMs = std::max(widestFocusMs, msSince(t));
        runUntil([&] { return store.focusedChildren().size() == widestCount; });
        arrivalMs.push_back(msSince(t));
    }
    std::sort(arrivalMs.begin(), arrivalMs.end());
    std::printf("sorted children: %lld of %s arrive in median %.1f ms (max %.1f ms); focusNode held %.3f ms\n",
                qlonglong(widestCount), qPrintable(tree.node(widest)->displayName), arrivalMs[2],
                arrivalMs.back(), widestFocusMs);
    std::fflush(stdout);
    std::_Exit(0); // the tree's teardown is not part of any figure
}
