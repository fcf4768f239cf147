#include "state_trace.h"

#include "breadcrumb_bar.h"
#include "content_view.h"
#include "results_shelf_view.h"
#include "scan_workspace_view.h"
#include "sidebar_list_view.h"
#include "sunburst_canvas_view.h"

#include <QDateTime>
#include <QEvent>

StateTrace *StateTrace::install(ContentView &window, ScanSessionStore &store, const QElapsedTimer &sinceStart)
{
    const QString path = qEnvironmentVariable("BURROWLENS_TRACE");
    if (path.isEmpty())
        return nullptr;
    return new StateTrace(window, store, sinceStart, path);
}

StateTrace::StateTrace(ContentView &window, ScanSessionStore &store, const QElapsedTimer &sinceStart,
                       const QString &path)
    : QObject(&window), window_(window), store_(store), sinceStart_(sinceStart), out_(path)
{
    out_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    window.installEventFilter(this);
    auto schedule = [this] {
        if (captureQueued_)
            return;
        captureQueued_ = true;
        // After the window's own refresh, which is queued the same way.
        QTimer::singleShot(0, this, [this] {
            captureQueued_ = false;
            capture();
        });
    };
    for (auto changed : {&ScanSessionStore::resultsChanged, &ScanSessionStore::activeResultIDChanged,
                         &ScanSessionStore::focusedChildrenChanged, &ScanSessionStore::currentScanningResultIDChanged}) {
        connect(&store, changed, this, schedule);
    }
    connect(window.workspace()->chart(), &SunburstCanvasView::segmentsChanged, this, schedule);

    connect(&store, &ScanSessionStore::currentScanningResultIDChanged, this, [this] {
        // The longest stall of each scan, from its start to its end.
        if (store_.currentScanningResultID()) {
            probe_.start();
        } else if (probe_.isActive()) {
            probe_.stop();
            write(QStringLiteral("stall"), QString::number(probe_.longestMs(), 'f', 1));
        }
    });
}

bool StateTrace::eventFilter(QObject *watched, QEvent *event)
{
    if (!painted_ && watched == &window_ && event->type() == QEvent::Paint) {
        painted_ = true;
        // Reported after this paint has been drawn.
        QTimer::singleShot(0, this, [this] {
            // Since main() began, and the wall clock, for timing from the launch itself.
            write(QStringLiteral("painted"), QString::number(sinceStart_.elapsed()) + u' '
                                                 + QString::number(QDateTime::currentMSecsSinceEpoch()));
        });
    }
    return false;
}

void StateTrace::capture()
{
    static const char *screens[] = {"landing", "progress", "workspace"};
    write(QStringLiteral("screen"), QString::fromLatin1(screens[int(window_.currentScreen())]));
    QStringList shelf;
    for (const ResultShelfRow *row : window_.shelf()->rows())
        shelf << row->rootPath() + u'=' + row->statusLabel()->fullText().section(u' ', -1);
    write(QStringLiteral("shelf"), QString::number(shelf.size()) + u' ' + shelf.join(u','));
    if (window_.currentScreen() != ContentView::Screen::workspace)
        return;

    ScanWorkspaceView *workspace = window_.workspace();
    const ScanResultState *active = store_.activeResult();
    if (active && active->tree) {
        if (const auto focused = active->tree->node(active->focusedNodeID))
            write(QStringLiteral("focus"), focused->url.path());
    }
    QStringList crumbs;
    for (const QPushButton *button : workspace->breadcrumb()->itemButtons())
        crumbs << button->text();
    write(QStringLiteral("breadcrumb"), crumbs.join(QStringLiteral(" > ")));
    const auto &nodes = static_cast<SidebarListModel *>(workspace->sidebar()->model())->nodes();
    write(QStringLiteral("list"), QString::number(nodes.size()) + u' ' +
                                      (nodes.isEmpty() ? QString() : nodes.first().displayName));

    // A point inside the largest first-ring segment that stands for a node.
    SunburstCanvasView *chart = workspace->chart();
    for (const SunburstSegment &segment : chart->segments()) {
        if (segment.ringIndex != 1 || segment.kind.isOther() || !segment.backingNodeID)
            continue;
        const QPoint at = chart->segmentMidpoint(segment).toPoint();
        const QPoint inWindow = chart->mapTo(&window_, at);
        const auto node = active && active->tree ? active->tree->node(*segment.backingNodeID) : std::nullopt;
        write(QStringLiteral("segment"), QStringLiteral("%1 %2 %3").arg(inWindow.x()).arg(inWindow.y())
                                             .arg(node ? node->url.path() : QString()));
        break;
    }
}

void StateTrace::write(const QString &key, const QString &value)
{
    if (last_.value(key) == value && key != u"stall")
        return;
    last_.insert(key, value);
    out_.write((key + u' ' + value + u'\n').toUtf8());
}
