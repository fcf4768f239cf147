#include "chart_renderer.h"

#include <QFileInfo>
#include <QLibrary>

bool renderChart(const ScanTree &tree, const QString &file, int side, int argc, char **argv, QString *error)
{
    const QString module = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() +
                           QStringLiteral("/burrowlens-chart.so");
    QLibrary library(module);
    const auto render = reinterpret_cast<decltype(&burrowlens_render_chart)>(
        library.resolve("burrowlens_render_chart"));
    if (!render) {
        *error = QStringLiteral("cannot load the chart renderer: %1").arg(library.errorString());
        return false;
    }
    return render(&tree, &file, side, argc, argv, error);
}
