#include "window_actions.h"

#include "change_view.h"
#include "file_analysis_view.h"

#include "scan_workspace_view.h"
#include "sidebar_list_view.h"
#include "view_style.h"

#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QVBoxLayout>

WindowActions::WindowActions(ScanSessionStore &store, QWidget &window, ScanWorkspaceView &workspace,
                             std::function<void()> showPreferences)
    : QObject(&window), store_(store), window_(window), workspace_(workspace)
{
    using K = QKeySequence;
    add(Command::open, QStringLiteral("Open Folder\u2026"), {K::Open}, [this] { store_.chooseFolder(); });
    add(Command::rescan, QStringLiteral("Rescan"), {K(Qt::Key_F5), K(Qt::CTRL | Qt::Key_R)}, [this] { store_.rescanActiveResult(); });
    add(Command::stop, QStringLiteral("Stop Scan"), {K(Qt::CTRL | Qt::Key_Period)}, [this] { store_.stopScan(); });
    add(Command::save, QStringLiteral("Save Scan\u2026"), {K::Save}, [this] { store_.saveActiveResult(); });
    add(Command::closeResult, QStringLiteral("Remove from Shelf"), {K(Qt::CTRL | Qt::Key_W)}, [this] {
        if (store_.activeResultID())
            store_.removeResult(*store_.activeResultID());
    });
    add(Command::quit, QStringLiteral("Quit"), {K(Qt::CTRL | Qt::Key_Q)}, [this] { window_.close(); });
    add(Command::parent, QStringLiteral("Enclosing Folder"), {K(Qt::ALT | Qt::Key_Up), K(Qt::Key_Backspace)},
        [this] { store_.focusParent(); });
    add(Command::root, QStringLiteral("Scanned Folder"), {K(Qt::ALT | Qt::Key_Home)}, [this] { store_.focusRoot(); });
    add(Command::back, QStringLiteral("Back"), {K(Qt::ALT | Qt::Key_Left)}, [this] { store_.focusBack(); });
    add(Command::forward, QStringLiteral("Forward"), {K(Qt::ALT | Qt::Key_Right)}, [this] { store_.focusForward(); });
    add(Command::copyPath, QStringLiteral("Copy Path"), {K::Copy}, [this] {
        if (const std::optional<ScanNodeRecord> node = store_.activeSelectedNode())
            copyPath(*node);
    });
    add(Command::trash, QStringLiteral("Move to Trash\u2026"), {K(Qt::Key_Delete)}, [this] { store_.requestTrashForActiveSelection(); });
    add(Command::filter, QStringLiteral("Filter by Name"), {K::Find}, [this] { workspace_.showFilter(); });
    add(Command::preferences, QStringLiteral("Preferences\u2026"), {K(Qt::CTRL | Qt::Key_Comma)}, std::move(showPreferences));
    const std::pair<Command, QString> views[] = {{Command::folderView, QStringLiteral("Largest Items")},
                                                 {Command::largestFilesView, QStringLiteral("Largest Files")},
                                                 {Command::typesView, QStringLiteral("File Types")},
                                                 {Command::agesView, QStringLiteral("File Ages")},
                                                 {Command::changesView, QStringLiteral("Changes")}};
    for (int v = 0; v < 5; ++v)
        add(views[v].first, views[v].second, {K(Qt::CTRL | Qt::Key(Qt::Key_1 + v))},
            [this, v] { store_.setAnalysisView(AnalysisView(v)); });
    add(Command::compareWith, QStringLiteral("Compare With\u2026"), {K(Qt::CTRL | Qt::Key_K)}, [this] {
        store_.setAnalysisView(AnalysisView::changes);
        workspace_.analysisView()->changeView()->showComparisonMenu();
    });
    add(Command::shortcuts, QStringLiteral("Keyboard Shortcuts"),
        {K(Qt::Key_F1), K(Qt::CTRL | Qt::Key_Question), K(Qt::CTRL | Qt::SHIFT | Qt::Key_Question)}, [this] { showShortcuts(); });
    refresh();
}

QAction *WindowActions::add(Command command, const QString &text, const QList<QKeySequence> &keys, std::function<void()> run)
{
    auto *action = new QAction(text, this);
    action->setShortcuts(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, std::move(run));
    window_.addAction(action);
    actions_.insert(command, action);
    return action;
}

void WindowActions::refresh()
{
    const ScanResultState *active = store_.activeResult();
    const std::optional<ScanNodeRecord> focused =
        active && active->tree ? active->tree->node(active->focusedNodeID) : std::nullopt;
    action(Command::rescan)->setEnabled(store_.canRescanActiveResult());
    action(Command::stop)->setEnabled(store_.canStopScan());
    action(Command::save)->setEnabled(store_.canSaveActiveResult());
    action(Command::closeResult)->setEnabled(active != nullptr);
    action(Command::parent)->setEnabled(focused && focused->parentID);
    action(Command::root)->setEnabled(focused && focused->parentID);
    action(Command::back)->setEnabled(store_.canFocusBack());
    action(Command::forward)->setEnabled(store_.canFocusForward());
    action(Command::copyPath)->setEnabled(store_.activeSelectedNode().has_value());
    action(Command::trash)->setEnabled(store_.canTrashActiveSelection());
    action(Command::filter)->setEnabled(focused.has_value());
    action(Command::compareWith)->setEnabled(active && active->tree && active->phase == ScanResultPhase::ready);
}

QList<WindowActions::Shortcut> WindowActions::shortcuts()
{
    return {
        {QStringLiteral("Open a folder or a scan file"), QStringLiteral("Ctrl+O")},
        {QStringLiteral("Rescan"), QStringLiteral("F5, Ctrl+R")},
        {QStringLiteral("Stop the scan, keeping what it found"), QStringLiteral("Ctrl+.")},
        {QStringLiteral("Save the scan"), QStringLiteral("Ctrl+S")},
        {QStringLiteral("Remove the result from the shelf"), QStringLiteral("Ctrl+W")},
        {QStringLiteral("Quit"), QStringLiteral("Ctrl+Q")},
        {QStringLiteral("Focus the enclosing folder"), QStringLiteral("Alt+Up, Backspace")},
        {QStringLiteral("Focus the scanned folder"), QStringLiteral("Alt+Home")},
        {QStringLiteral("Back, forward"), QStringLiteral("Alt+Left, Alt+Right, mouse buttons")},
        {QStringLiteral("Move the selection in the list"), QStringLiteral("Up, Down, Page Up, Page Down, Home, End")},
        {QStringLiteral("Focus the folder, open the file"), QStringLiteral("Enter")},
        {QStringLiteral("Move the selected item to the Trash"), QStringLiteral("Delete")},
        {QStringLiteral("Copy the selected item's path"), QStringLiteral("Ctrl+C")},
        {QStringLiteral("Filter the list by name, clear it"), QStringLiteral("Ctrl+F, Escape")},
        {QStringLiteral("Move across the chart: along a ring, out and in"), QStringLiteral("Left, Right, Up, Down")},
        {QStringLiteral("Menu of the item"), QStringLiteral("Menu, Shift+F10")},
        {QStringLiteral("Next part of the window"), QStringLiteral("Tab, Shift+Tab")},
        {QStringLiteral("Largest items, largest files, types, ages, changes"), QStringLiteral("Ctrl+1 \u2026 Ctrl+5")},
        {QStringLiteral("Compare with an earlier scan file"), QStringLiteral("Ctrl+K")},
        {QStringLiteral("Preferences"), QStringLiteral("Ctrl+,")},
        {QStringLiteral("This overview"), QStringLiteral("F1, Ctrl+?")},
    };
}

void WindowActions::showShortcuts()
{
    QDialog dialog(&window_);
    dialog.setWindowTitle(QStringLiteral("Keyboard Shortcuts"));
    auto *column = new QVBoxLayout(&dialog);
    column->setContentsMargins(24, 20, 24, 16);
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(24);
    grid->setVerticalSpacing(8);
    int row = 0;
    for (const Shortcut &s : shortcuts()) {
        auto *keys = style::label(s.keys, style::font(12, QFont::DemiBold, style::Design::monospaced), style::white(0.9), &dialog);
        grid->addWidget(style::label(s.what, style::font(13), style::white(0.78), &dialog), row, 0);
        grid->addWidget(keys, row++, 1);
    }
    column->addLayout(grid);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    column->addWidget(buttons);
    dialog.exec();
}

void WindowActions::copyPath(const ScanNodeRecord &node)
{
    auto *mime = new QMimeData;
    mime->setText(node.url.path());
    QUrl url;
    url.setScheme(QStringLiteral("file"));
    url.setPath(QString::fromLatin1(node.url.nativeFilePath().toPercentEncoding("/")), QUrl::TolerantMode);
    mime->setUrls({url}); // a file manager pastes the very file, whatever its name's bytes
    QGuiApplication::clipboard()->setMimeData(mime);
}

QMenu *WindowActions::nodeMenu(ScanSessionStore &store, const QUuid &id, QWidget *parent)
{
    auto *menu = new QMenu(parent);
    const ScanResultState *active = store.activeResult();
    const std::optional<ScanNodeRecord> node = store.activeTreeNode(id);
    if (!active || !node)
        return menu;
    const bool here = store.canActOn(*node);
    const bool isRoot = id == active->tree->rootID;
    QPointer<ScanSessionStore> s(&store);
    auto item = [menu](const QString &text, bool enabled, std::function<void()> run, const QKeySequence &keys = {}) {
        QAction *a = menu->addAction(text);
        a->setEnabled(enabled);
        a->setShortcut(keys);
        a->setShortcutVisibleInContextMenu(!keys.isEmpty());
        QObject::connect(a, &QAction::triggered, menu, std::move(run));
    };
    if (const QString whyNot = store.whyNotActing(); !whyNot.isEmpty()) {
        menu->addAction(whyNot)->setEnabled(false);
        menu->addSeparator();
    }
    item(QStringLiteral("Open"), here, [s, id] { if (s) s->openNode(id); });
    item(QStringLiteral("Reveal in File Manager"), here, [s, id] { if (s) s->revealNode(id); });
    item(QStringLiteral("Copy Path"), true, [n = *node] { copyPath(n); }, QKeySequence::Copy);
    menu->addSeparator();
    if (node->kind == ScanNodeKind::file && node->parentID) // a file is shown in its folder
        item(QStringLiteral("Show in Its Folder"), active->focusedNodeID != node->parentID, [s, id, parent = *node->parentID] {
            if (s) {
                s->focusNode(parent);
                s->selectNode(id);
            }
        });
    else
        item(QStringLiteral("Focus"), active->focusedNodeID != id, [s, id] { if (s) s->focusNode(id); });
    item(QStringLiteral("Scan as a New Result"), !isRoot && store.canScanAsNewResult(*node), [s, id] { if (s) s->scanAsNewResult(id); });
    menu->addSeparator();
    item(QStringLiteral("Move to Trash\u2026"), !isRoot && here && ScanSessionStore::isTrashable(*node),
         [s, id] { if (s) s->requestTrashForNode(id); }, QKeySequence(Qt::Key_Delete));
    return menu;
}
