// The screen while the active result has nothing to chart yet: its scan is
// running without a first tree, or it waits in the queue. Live counters,
// the path being read, and Cancel or "Remove from Queue".
#pragma once

#include "scan_session_store.h"
#include "view_style.h"

#include <QLabel>
#include <QPushButton>
#include <QWidget>

class ActivitySpinner;

class ScanProgressView : public QWidget {
public:
    enum class Mode { scanning, queued };

    ScanProgressView(ScanSessionStore &store, Mode mode, QWidget *parent = nullptr);

    static QString titleText(const ScanResultState *activeResult, Mode mode);
    static QString progressSummary(const ProgressSnapshot &snapshot);
    static QString compactProgressPath(const FileUrl &url);

    Mode mode() const { return mode_; }
    void setMode(Mode mode);
    void refresh();

    ShrinkingLabel *titleLabel() const { return title_; }
    ShrinkingLabel *statusLabel() const { return status_; }
    QLabel *pathLabel() const { return path_; }
    QPushButton *actionButton() const { return action_; }
    QPushButton *stopButton() const { return stop_; }
    QLabel *versionLabel() const { return version_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void elidePath();

    ScanSessionStore &store_;
    Mode mode_;
    ActivitySpinner *spinner_ = nullptr;
    QLabel *clock_ = nullptr;
    ShrinkingLabel *title_ = nullptr;
    ShrinkingLabel *status_ = nullptr;
    QLabel *path_ = nullptr;
    QString fullPath_;
    QPushButton *action_ = nullptr;
    QPushButton *stop_ = nullptr;
    QLabel *version_ = nullptr;
};
