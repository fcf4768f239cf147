#include "chart_renderer.h"

#include <QFileInfo>
#include <QLibrary>

bool renderChart(const ScanTree &tree, const QString &file, int side, SizeMeasure measure, int argc, char **argv,
                 QString *error)
{
    // Beside the executable in a build tree; in lib/burrowlens once installed.
    const QString bin = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    QString module = bin + QStringLiteral("/burrowlens-chart.so");
    if (!QFileInfo::exists(module))
        module = bin + QStringLiteral("/../" BL_INSTALL_LIBDIR "/burrowlens/burrowlens-chart.so");
    QLibrary library(module);
    const auto render = reinterpret_cast<decltype(&burrowlens_render_chart)>(
        library.resolve("burrowlens_render_chart"));
    if (!render) {
        *error = QStringLiteral("cannot load the chart renderer: %1").arg(library.errorString());
        return false;
    }
    return render(&tree, &file, side, int(measure), argc, argv, error);
}
