// A line-per-change account of what the window shows, written to the file
// named by BURROWLENS_TRACE: the screen, the shelf, the focus, the
// breadcrumb and the list as drawn, a point on the chart's largest segment,
// the first paint, and the longest main-thread stall of each scan. The
// end-to-end test and the window benchmark read it; users never see it.
#pragma once

#include "stall_probe.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QObject>
#include <QTimer>

class ContentView;
class ScanSessionStore;

class StateTrace : public QObject {
public:
    // Nothing is traced unless BURROWLENS_TRACE is set.
    static StateTrace *install(ContentView &window, ScanSessionStore &store, const QElapsedTimer &sinceStart);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    StateTrace(ContentView &window, ScanSessionStore &store, const QElapsedTimer &sinceStart, const QString &path);
    void capture();
    void write(const QString &key, const QString &value);

    ContentView &window_;
    ScanSessionStore &store_;
    QElapsedTimer sinceStart_;
    QFile out_;
    QHash<QString, QString> last_;
    bool painted_ = false;
    bool captureQueued_ = false;
    StallProbe probe_;
};
