// The screen with nothing to browse yet: an invitation to drop or choose a
// folder and, when the active result failed, its folder and the error.
#pragma once

#include "scan_session_store.h"

#include <QLabel>
#include <QPushButton>
#include <QWidget>

class CardFrame;

class LandingView : public QWidget {
public:
    explicit LandingView(ScanSessionStore &store, QWidget *parent = nullptr);
    void refresh();

    QPushButton *chooseButton() const { return choose_; }
    CardFrame *selectedFolderCard() const { return folderCard_; }
    QLabel *selectedFolderLabel() const { return folderPath_; }
    CardFrame *errorCard() const { return errorCard_; }
    QLabel *errorLabel() const { return errorText_; }
    QLabel *versionLabel() const { return version_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    ScanSessionStore &store_;
    QPushButton *choose_ = nullptr;
    CardFrame *folderCard_ = nullptr;
    QLabel *folderPath_ = nullptr;
    CardFrame *errorCard_ = nullptr;
    QLabel *errorText_ = nullptr;
    QLabel *version_ = nullptr;
};
