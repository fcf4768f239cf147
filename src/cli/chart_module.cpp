#include "chart_renderer.h"

#include "sunburst_canvas_view.h"

#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QTimer>

extern "C" bool burrowlens_render_chart(const ScanTree *treePointer, const QString *filePointer, int side,
                                        int measure, int argc, char **argv, QString *error)
{
    const ScanTree &tree = *treePointer;
    const QString &file = *filePointer;
    // The real view, painted without a screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SunburstCanvasView view;
    view.resize(side, side);
    SunburstLayoutService layout;
    layout.measure = SizeMeasure(measure);
    view.setLayoutService(layout);
    QEventLoop wait;
    QObject::connect(&view, &SunburstCanvasView::segmentsChanged, &wait, &QEventLoop::quit);
    QTimer::singleShot(120000, &wait, &QEventLoop::quit);
    view.setInputs(tree, tree.rootID);
    wait.exec();
    const QImage image = view.grab().toImage();
    if (!image.save(file, "PNG")) {
        *error = QStringLiteral("cannot write the chart to %1").arg(file);
        return false;
    }
    return true;
}
