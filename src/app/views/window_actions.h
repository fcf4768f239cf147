// The window's commands with the shortcuts desktop users know, the menu of
// one node (list rows, chart segments, breadcrumb names), and the overview
// of every shortcut.
#pragma once

#include "scan_session_store.h"

#include <QAction>
#include <QMenu>
#include <QObject>

class ScanWorkspaceView;

class WindowActions : public QObject {
public:
    enum class Command {
        open, rescan, stop, save, closeResult, quit, parent, root, back, forward, copyPath, trash, filter, preferences,
        shortcuts, folderView, largestFilesView, typesView, agesView, changesView, compareWith
    };
    struct Shortcut {
        QString what;
        QString keys;
    };

    // The actions go to window, which is where their shortcuts work.
    WindowActions(ScanSessionStore &store, QWidget &window, ScanWorkspaceView &workspace,
                  std::function<void()> showPreferences);

    QAction *action(Command command) const { return actions_.value(command); }
    // Enables each action where it can act now.
    void refresh();

    // Every shortcut of the window, as the overview lists them.
    static QList<Shortcut> shortcuts();
    void showShortcuts();

    // The menu of a node of the active result; each item is enabled only
    // where it can act. The caller owns the menu.
    static QMenu *nodeMenu(ScanSessionStore &store, const QUuid &id, QWidget *parent);
    // The node's path as text, and as a file URL of its own bytes.
    static void copyPath(const ScanNodeRecord &node);

private:
    QAction *add(Command command, const QString &text, const QList<QKeySequence> &keys, std::function<void()> run);

    ScanSessionStore &store_;
    QWidget &window_;
    ScanWorkspaceView &workspace_;
    QHash<Command, QAction *> actions_;
};
