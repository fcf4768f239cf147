// engine_bench: one scan through a scan engine, from startScan to finished,
// and what the finished tree costs in memory:
//   nodes seconds peak_rss_mib tree_bytes_per_node
#include "fast_scan_engine.h"
#include "local_file_system_provider.h"
#include "scan_engine.h"

#include <QDir>
#include <QFile>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

// Resident memory now, from /proc/self/statm.
qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * 4096 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    bool recursive = false;
    const char *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--engine") && i + 1 < argc)
            recursive = !std::strcmp(argv[++i], "recursive");
        else
            path = argv[i];
    }
    if (!path) {
        std::fprintf(stderr, "usage: engine_bench [--engine fast|recursive] PATH\n");
        return 2;
    }
    const QString absolute = QDir::current().absoluteFilePath(QString::fromLocal8Bit(path));
    std::unique_ptr<ScanEngineProviding> engine;
    if (recursive)
        engine = std::make_unique<ScanEngine>(std::make_shared<LocalFileSystemProvider>());
    else
        engine = std::make_unique<FastScanEngine>();

    const qint64 before = residentBytes();
    const auto start = std::chrono::steady_clock::now();
    auto stream = engine->startScan(FileUrl::fromPath(absolute, true));
    std::optional<ScanUpdate> terminal;
    while (auto u = stream->next())
        if (u->isTerminal())
            terminal = std::move(u);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!terminal || terminal->kind() != ScanUpdate::Kind::finished) {
        std::fprintf(stderr, "engine_bench: the scan did not finish\n");
        return 1;
    }
    stream.reset(); // the engine's native memory goes with the stream
    engine.reset();
    const ScanTree tree = terminal->get<ScanUpdate::Finished>().tree;
    terminal.reset();
    const qint64 after = residentBytes();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const qsizetype nodes = tree.size();
    std::printf("%lld %.6f %.1f %.0f\n", static_cast<long long>(nodes), seconds,
                double(usage.ru_maxrss) / 1024.0, double(after - before) / double(std::max<qsizetype>(nodes, 1)));
    if (qEnvironmentVariableIsSet("BL_TREE_COLUMNS"))
        std::fprintf(stderr, "columns %.1f bytes per node\n", double(tree.memoryUse()) / double(std::max<qsizetype>(nodes, 1)));
    return 0;
}
