// The window's content: the results shelf over the screen that the active
// result calls for, folders dropped anywhere on the window, and the
// confirmation before an item goes to the Trash.
#pragma once

#include "window_preferences.h"

#include "app_identifiers.h"
#include "scan_session_store.h"
#include "preferences_dialog.h"

#include <QMessageBox>
#include <QPointer>
#include <QStackedWidget>
#include <QWidget>

class LandingView;
class WindowActions;

class ResultsShelfView;
class ScanProgressView;
class ScanWorkspaceView;

class ContentView : public QWidget {
public:
    // Where the store keeps scans, as Preferences say.
    static ScanHistorySettings historySettingsOf(const WindowPreferences &preferences);
    enum class Screen { landing, progress, workspace };

    explicit ContentView(ScanSessionStore &store, QWidget *parent = nullptr);

    static Screen screenFor(const ScanResultState *activeResult);
    // "Move “name” to Trash?"
    static QString trashMessage(const ScanNodeRecord &node);

    Screen currentScreen() const;
    bool isDropTargeted() const { return dropTargeted_; }
    // Hands each URL to the store separately, later on the main thread;
    // false only for an empty drop.
    bool handleDrop(const QList<QUrl> &urls);
    // Applies the store's state now rather than at the next turn of the loop.
    void refresh();

    // Where Preferences keeps its choices (QSettings' organization and application).
    void setPreferencesLocation(const QString &organization, const QString &application);
    // Opens Preferences; once accepted, saves and applies what changed and,
    // when a scan setting changed, offers to scan the active result again.
    void showPreferences();
    PreferencesDialog *preferencesDialog() const { return preferences_; }
    QMessageBox *rescanOffer() const { return rescanOffer_; }

    ResultsShelfView *shelf() const { return shelf_; }
    LandingView *landing() const { return landing_; }
    ScanProgressView *progress() const { return progress_; }
    ScanWorkspaceView *workspace() const { return workspace_; }
    WindowActions *actions() const { return actions_; }
    QMessageBox *trashAlert() const { return alert_; }
    QMessageBox *deletionAlert() const { return deletionAlert_; }
    // What did not happen and why, after a confirmed move or a reveal failed.
    QMessageBox *failureAlert() const { return failureAlert_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void scheduleRefresh();
    void setDropTargeted(bool targeted);
    void updateTrashAlert();
    void updateDeletionOffer();
    void showFailure(const QString &message, const QString &reason);
    static void showAsPlainText(QMessageBox &box);
    // A question of two buttons, open until answered; done learns whether it was act.
    QMessageBox *askBox(QMessageBox::Icon icon, const QString &title, const QString &text, const QString &informative,
                        const std::pair<QString, QMessageBox::ButtonRole> &act, const QString &decline,
                        bool actByDefault, std::function<void(bool acted)> done);
    void applyPreferences(const WindowPreferences &before, const WindowPreferences &chosen);

    ScanSessionStore &store_;
    ResultsShelfView *shelf_ = nullptr;
    QWidget *shelfMargins_ = nullptr;
    QStackedWidget *screens_ = nullptr;
    LandingView *landing_ = nullptr;
    ScanProgressView *progress_ = nullptr;
    ScanWorkspaceView *workspace_ = nullptr;
    QWidget *dropHighlight_ = nullptr;
    WindowActions *actions_ = nullptr;
    QPointer<QMessageBox> alert_;
    QPointer<QMessageBox> deletionAlert_; // the offer to delete for good, then its confirmation
    QPointer<QMessageBox> failureAlert_;
    QPointer<PreferencesDialog> preferences_;
    QPointer<QMessageBox> rescanOffer_;
    QString preferencesOrganization_ = app_identifiers::kOrganization;
    QString preferencesApplication_ = app_identifiers::kApplication;
    bool dropTargeted_ = false;
    bool refreshQueued_ = false;
};
