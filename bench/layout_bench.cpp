// layout_bench: the sunburst layout on a real scanned tree, focused at the
// root and at its largest folder; medians over RUNS layouts each:
//   nodes segments_root ms_root segments_largest ms_largest
#include "fast_scan_engine.h"
#include "size_order.h"
#include "sunburst_layout_service.h"

#include <QDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

std::pair<qsizetype, double> timeLayout(const ScanTree &tree, const QUuid &focus, int runs)
{
    std::vector<double> ms;
    qsizetype count = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        count = SunburstLayoutService().makeSegments(tree, focus).size();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return {count, ms[ms.size() / 2]};
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: layout_bench PATH\n");
        return 2;
    }
    FastScanEngine engine;
    auto stream = engine.startScan(FileUrl::fromPath(QDir::current().absoluteFilePath(argv[1]), true));
    std::optional<ScanUpdate> terminal;
    while (auto u = stream->next())
        if (u->isTerminal())
            terminal = std::move(u);
    if (!terminal || terminal->kind() != ScanUpdate::Kind::finished) {
        std::fprintf(stderr, "layout_bench: the scan did not finish\n");
        return 1;
    }
    const ScanTree tree = terminal->get<ScanUpdate::Finished>().tree;
    QUuid largest = tree.rootID;
    for (const ScanNodeRecord &child : sortedChildren(tree, tree.rootID))
        if (child.kind == ScanNodeKind::directory) {
            largest = child.id;
            break;
        }
    const auto [rootCount, rootMs] = timeLayout(tree, tree.rootID, 21);
    const auto [largestCount, largestMs] = timeLayout(tree, largest, 21);
    std::printf("%lld %lld %.3f %lld %.3f\n", static_cast<long long>(tree.size()),
                static_cast<long long>(rootCount), rootMs, static_cast<long long>(largestCount), largestMs);
    return 0;
}
