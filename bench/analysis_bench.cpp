// analysis_bench PATH: scans PATH with the fast engine, then times each
// table of the root as the window computes it (largest 1,000 files, types,
// ages, the chart's folders by category): the median of five runs each, in milliseconds. Figures, not a test.
#include "fast_scan_engine.h"
#include "scan_analysis.h"
#include "scan_compare.h"
#include "scan_file.h"

#include <QBuffer>

#include <QDateTime>
#include <QDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

namespace {

double medianMs(const std::function<void()> &run)
{
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: analysis_bench PATH\n");
        return 2;
    }
    FastScanEngine engine;
    auto stream = engine.startScan(FileUrl::fromPath(QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1])), true));
    std::optional<ScanTree> tree;
    while (auto u = stream->next())
        if (u->kind() == ScanUpdate::Kind::finished)
            tree = u->get<ScanUpdate::Finished>().tree;
    if (!tree)
        return 1;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const double largest = medianMs([&] { ScanAnalysis::largestFiles(*tree, tree->rootID, SizeMeasure::allocated, 1000); });
    const double types = medianMs([&] { ScanAnalysis::fileTypes(*tree, tree->rootID, SizeMeasure::allocated); });
    const double ages = medianMs([&] { ScanAnalysis::fileAges(*tree, tree->rootID, SizeMeasure::allocated, now); });
    // The chart's colours: each folder's mix by category, as the window asks.
    const double mix = medianMs([&] {
        ScanAnalysis::folderMix(*tree, tree->rootID, SizeMeasure::allocated, 5, [](const ScanTree::NodeRef &file) {
            QByteArray scratch;
            return int(fileCategoryOfName(file.nativeName(scratch)));
        });
    });
    std::printf("%lld nodes: largest 1000 files %.1f ms, types %.1f ms, ages %.1f ms, folders by category %.1f ms\n",
                static_cast<long long>(tree->size()), largest, types, ages, mix);

    // Two scans of the tree compared, beside reading one of them from a file.
    QBuffer file;
    file.open(QIODevice::ReadWrite);
    QString error;
    writeScanFile(*tree, {}, file, &error);
    std::optional<ScanFileContents> again;
    const double import = medianMs([&] { again = readScanFile(file.data(), &error); });
    if (!again)
        return 1;
    const double compare = medianMs([&] { ScanComparison::compare(again->tree, *tree, &error); });
    std::printf("compare two scans %.1f ms; import one %.1f ms (%.2f x); the comparison's columns %zu bytes a node\n",
                compare, import, compare / import, 2 * sizeof(qint64));
    return 0;
}
