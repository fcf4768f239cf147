#include "chart_renderer.h"
#include "private_module.h"

#include <QFile>
#include <QLibrary>

bool renderChart(const ScanTree &tree, const QString &file, int side, SizeMeasure measure, int argc, char **argv,
                 QString *error)
{
    const QString module = QFile::decodeName(QByteArray::fromStdString(privateModulePath("burrowlens-chart.so")));
    QLibrary library(module);
    const auto render = reinterpret_cast<decltype(&burrowlens_render_chart)>(
        library.resolve("burrowlens_render_chart"));
    if (!render) {
        *error = QStringLiteral("cannot load the chart renderer: %1").arg(library.errorString());
        return false;
    }
    return render(&tree, &file, side, int(measure), argc, argv, error);
}
