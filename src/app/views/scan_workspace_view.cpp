#include "scan_workspace_view.h"

#include "breadcrumb_bar.h"
#include "byte_count_text.h"
#include "sidebar_list_view.h"
#include "sunburst_canvas_view.h"
#include "change_view.h"
#include "file_analysis_view.h"
#include "view_style.h"
#include "window_actions.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QKeyEvent>
#include <QLocale>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

ScanWorkspaceView::ScanWorkspaceView(ScanSessionStore &store, QWidget *parent) : QWidget(parent), store_(store)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *headerMargin = new QVBoxLayout;
    headerMargin->setContentsMargins(14, 14, 14, 0);
    headerMargin->addWidget(buildHeader());
    layout->addLayout(headerMargin);

    auto *divider = new QWidget(this);
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette palette = divider->palette();
    palette.setColor(QPalette::Window, style::white(0.06));
    divider->setPalette(palette);
    layout->addSpacing(14);
    layout->addWidget(divider);

    body_ = new QStackedWidget(this);
    body_->addWidget(buildBody());
    auto *empty = style::label(QStringLiteral("No scan results yet."), style::font(13), style::white(0.72));
    empty->setAlignment(Qt::AlignCenter);
    body_->addWidget(empty);
    layout->addWidget(body_, 1);
    refresh();
}

QWidget *ScanWorkspaceView::buildHeader()
{
    auto *card = new CardFrame(this);
    card->setCard(26, style::rgb(0.10, 0.11, 0.14), style::white(0.08));
    auto *row = new QHBoxLayout(card);
    row->setContentsMargins(18, 18, 18, 18);
    row->setSpacing(12);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(6);
    title_ = new ShrinkingLabel(style::font(28, QFont::Bold, style::Design::rounded), 0.8, style::white(), card);
    subtitle_ = new ShrinkingLabel(style::font(13, QFont::Medium), 0.85, style::white(0.56), card);
    texts->addWidget(title_);
    texts->addWidget(subtitle_);
    unreadable_ = new QPushButton(card);
    unreadable_->setCursor(Qt::PointingHandCursor);
    unreadable_->setToolTip(QStringLiteral("List the folders that could not be read"));
    unreadable_->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; padding: 0;"
                                              " color: #f2b84b; font-size: 13px; font-weight: 500; text-align: left; }"
                                              "QPushButton:hover, QPushButton:focus { text-decoration: underline; }"));
    unreadable_->hide();
    connect(unreadable_, &QPushButton::clicked, this, &ScanWorkspaceView::showUnreadableFolders);
    texts->addWidget(unreadable_, 0, Qt::AlignLeft);
    row->addLayout(texts, 1);

    auto button = [card, row](const QString &text, style::ButtonStyle look) {
        auto *b = new QPushButton(text, card);
        b->setStyleSheet(style::buttonStyleSheet(look));
        b->setCursor(Qt::PointingHandCursor);
        row->addWidget(b);
        return b;
    };
    reveal_ = button(QStringLiteral("Reveal in File Manager"), style::ButtonStyle::bordered);
    trash_ = button(QStringLiteral("Move to Trash"), style::ButtonStyle::bordered);
    rescan_ = button(QStringLiteral("Rescan"), style::ButtonStyle::bordered);
    stop_ = button(QStringLiteral("Stop"), style::ButtonStyle::bordered);
    stop_->setToolTip(QStringLiteral("Stop the scan and keep what it found (Ctrl+.)"));
    stop_->hide();
    scanAnother_ = button(QStringLiteral("Scan Another Folder"), style::ButtonStyle::prominent);
    reveal_->setToolTip(QStringLiteral("Show the selected item in the file manager"));
    trash_->setToolTip(QStringLiteral("Move the selected item to the Trash (Delete)"));
    rescan_->setToolTip(QStringLiteral("Scan this folder again (F5)"));
    scanAnother_->setToolTip(QStringLiteral("Choose a folder or a scan file to open (Ctrl+O)"));
    connect(reveal_, &QPushButton::clicked, this, [this] { store_.revealFocusedNode(); });
    connect(trash_, &QPushButton::clicked, this, [this] { store_.requestTrashForActiveSelection(); });
    connect(rescan_, &QPushButton::clicked, this, [this] { store_.rescanActiveResult(); });
    connect(stop_, &QPushButton::clicked, this, [this] { store_.stopScan(); });
    connect(scanAnother_, &QPushButton::clicked, this, [this] { store_.chooseFolder(); });
    return card;
}

QWidget *ScanWorkspaceView::buildBody()
{
    auto *body = new QWidget(this);
    auto *column = new QVBoxLayout(body);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(14);

    auto *top = new QHBoxLayout;
    top->setSpacing(14);
    breadcrumb_ = new BreadcrumbBar(body);
    breadcrumb_->setOnSelect([this](const QUuid &id) { store_.focusNode(id); });
    const auto menu = [this](const QUuid &id, const QPoint &at) {
        store_.selectNode(id); // what the menu acts on is what the header acts on
        QMenu *m = WindowActions::nodeMenu(store_, id, this);
        m->setAttribute(Qt::WA_DeleteOnClose);
        m->popup(at);
    };
    breadcrumb_->setOnContextMenu(menu);
    breadcrumb_->setTabAnchor(scanAnother_);
    top->addWidget(breadcrumb_, 1, Qt::AlignBottom);
    // What the card beside the chart shows, and what the chart's colours follow.
    viewTabs_ = new QTabBar(body);
    viewTabs_->setFixedWidth(kSidebarWidth);
    viewTabs_->setExpanding(true);
    viewTabs_->setDrawBase(false);
    viewTabs_->setAccessibleName(QStringLiteral("What the list beside the chart shows"));
    viewTabs_->setStyleSheet(QStringLiteral(
        "QTabBar::tab { background: transparent; color: rgba(255,255,255,0.6); padding: 5px 6px; border: none;"
        " border-bottom: 2px solid transparent; font-size: 13px; font-weight: 600; }"
        "QTabBar::tab:selected { color: white; border-bottom: 2px solid rgba(255,255,255,0.75); }"
        "QTabBar::tab:focus { color: #8ab4ff; }"));
    const QStringList tabs{QStringLiteral("Largest Items"), QStringLiteral("Files"), QStringLiteral("Types"),
                           QStringLiteral("Age"), QStringLiteral("Changes")};
    const QStringList tips{QStringLiteral("The focused folder's largest items (Ctrl+1)"),
                           QStringLiteral("The largest files anywhere below the folder (Ctrl+2)"),
                           QStringLiteral("The files by type; the chart coloured by type (Ctrl+3)"),
                           QStringLiteral("The files by age; the chart coloured by age (Ctrl+4)"),
                           QStringLiteral("What changed since the earlier scan; the chart coloured by change (Ctrl+5)")};
    for (qsizetype i = 0; i < tabs.size(); ++i) {
        viewTabs_->addTab(tabs[i]);
        viewTabs_->setTabToolTip(int(i), tips[i]);
    }
    connect(viewTabs_, &QTabBar::currentChanged, this, [this](int index) {
        if (index >= 0 && !refreshing_)
            store_.setAnalysisView(AnalysisView(index));
    });
    top->addWidget(viewTabs_, 0, Qt::AlignBottom);
    column->addLayout(top);

    auto *charts = new QHBoxLayout;
    charts->setSpacing(14);
    chart_ = new SunburstCanvasView(body);
    chart_->setMinimumSize(240, 220); // the window must fit its default 860 × 580 with a full shelf
    chart_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    chart_->setOnSelect([this](const QUuid &id) { store_.focusNode(id); });
    chart_->setOnContextMenu(menu);
    auto *chartColumn = new QVBoxLayout;
    chartColumn->setSpacing(8);
    chartColumn->addWidget(chart_, 1);
    legend_ = new ChartLegend(body);
    legend_->hide();
    chartColumn->addWidget(legend_);
    charts->addLayout(chartColumn, 1);

    auto *sidebarCard = new CardFrame(body);
    sidebarCard->setCard(24, style::rgb(0.11, 0.13, 0.16), style::white(0.08));
    sidebarCard->setFixedWidth(kSidebarWidth);
    auto *sidebarLayout = new QVBoxLayout(sidebarCard);
    sidebarLayout->setContentsMargins(1, 8, 1, 8); // rows stay clear of the rounded corners
    filter_ = new QLineEdit(sidebarCard);
    filter_->setPlaceholderText(QStringLiteral("Filter by name"));
    filter_->setAccessibleName(QStringLiteral("Filter the largest items by name"));
    filter_->setClearButtonEnabled(true);
    filter_->setStyleSheet(QStringLiteral("QLineEdit { color: white; background: rgba(255,255,255,0.08);"
                                          " border: 1px solid rgba(255,255,255,0.12); border-radius: 7px;"
                                          " padding: 4px 8px; font-size: 13px; }"
                                          "QLineEdit:focus { border: 1px solid #8ab4ff; }"));
    filter_->hide();
    filter_->installEventFilter(this);
    // Margins of the layout, not of the style: the clear button sits inside the field's frame.
    auto *filterRow = new QHBoxLayout;
    filterRow->setContentsMargins(10, 4, 10, 4);
    filterRow->addWidget(filter_);
    sidebarLayout->addLayout(filterRow);
    sidebar_ = new SidebarListView(sidebarCard);
    connect(filter_, &QLineEdit::textChanged, this, [this](const QString &text) { sidebar_->setFilter(text); });
    sidebar_->setOnSelect([this](const QUuid &id) { store_.focusNode(id); });
    sidebar_->setOnMoveSelection([this](const QUuid &id) { store_.selectNode(id); });
    sidebar_->setOnActivate([this](const QUuid &id) {
        const std::optional<ScanNodeRecord> node = store_.activeTreeNode(id);
        if (node && node->kind == ScanNodeKind::file)
            store_.openNode(id);
        else
            store_.focusNode(id);
    });
    sidebar_->setOnContextMenu(menu);
    sidebar_->setOnTrash([this](const QUuid &id) { store_.requestTrashForNode(id); });
    // Nothing of a scan read from a file: it says why instead.
    sidebar_->setOffersTrash([this](const ScanNodeRecord &node) {
        return ScanSessionStore::isTrashable(node) && store_.canActOn(node);
    });
    fromFile_ = style::label(QString(), style::font(12), style::white(0.56), sidebarCard);
    fromFile_->setWordWrap(true);
    fromFile_->hide();
    auto *fromFileRow = new QHBoxLayout;
    fromFileRow->setContentsMargins(14, 2, 14, 6);
    fromFileRow->addWidget(fromFile_);
    sidebarLayout->addLayout(fromFileRow);
    sidebarPages_ = new QStackedWidget(sidebarCard);
    sidebarPages_->addWidget(sidebar_);
    analysis_ = new FileAnalysisView(store_, sidebarPages_);
    sidebarPages_->addWidget(analysis_);
    sidebarLayout->addWidget(sidebarPages_);
    charts->addWidget(sidebarCard);
    column->addLayout(charts, 1);
    return body;
}

void ScanWorkspaceView::refresh()
{
    const ScanResultState *active = store_.activeResult();
    title_->setFullText(active ? active->rootURL.lastPathComponent() : QStringLiteral("Burrowlens"));
    QString subtitle = subtitleText(store_);
    // The change beside the size it is of, where eliding leaves it seen.
    if (const QString since = ChangeView::sinceText(store_); !since.isEmpty() && !subtitle.isEmpty()) {
        const qsizetype cut = subtitle.indexOf(QStringLiteral(" \u2022 "));
        subtitle.insert(cut < 0 ? subtitle.size() : cut, QStringLiteral(" (") + since + u')');
    }
    subtitle_->setFullText(subtitle);
    subtitle_->setVisible(!subtitle.isEmpty());
    const QString unreadable = active && active->summary ? unreadableText(active->summary->unreadableCount) : QString();
    unreadable_->setText(unreadable);
    unreadable_->setVisible(!unreadable.isEmpty());
    trash_->setEnabled(store_.canTrashActiveSelection());
    // While its own scan runs, Stop takes Rescan's place.
    const bool stoppable = active && store_.currentScanningResultID() == active->id && store_.canStopScan();
    stop_->setVisible(stoppable);
    rescan_->setVisible(!stoppable);
    const QString whyNot = store_.whyNotActing();
    reveal_->setEnabled(whyNot.isEmpty());
    fromFile_->setText(whyNot);
    fromFile_->setVisible(!whyNot.isEmpty());
    reveal_->setToolTip(whyNot.isEmpty() ? QStringLiteral("Show the selected item in the file manager") : whyNot);
    trash_->setToolTip(whyNot.isEmpty() ? QStringLiteral("Move the selected item to the Trash (Delete)") : whyNot);

    if (!active || !active->tree || !active->focusedNodeID) {
        body_->setCurrentIndex(1);
        return;
    }
    body_->setCurrentIndex(0);
    if (filteredFolder_ != active->focusedNodeID) { // a filter is of one folder's list
        filteredFolder_ = active->focusedNodeID;
        filter_->clear();
        filter_->hide();
    }
    breadcrumb_->setItems(active->tree->path(*active->focusedNodeID));
    if (chart_->layoutService().measure != store_.sizeMeasure()) {
        SunburstLayoutService service = chart_->layoutService();
        service.measure = store_.sizeMeasure();
        chart_->setLayoutService(service);
    }
    sidebar_->setSizeMeasure(store_.sizeMeasure());
    // The view beside the chart, and the chart's colours with it.
    const AnalysisView view = store_.analysis().view;
    refreshing_ = true;
    viewTabs_->setCurrentIndex(int(view));
    refreshing_ = false;
    sidebarPages_->setCurrentIndex(view == AnalysisView::folders ? 0 : 1);
    if (view != AnalysisView::folders)
        analysis_->refresh();
    filter_->setVisible(filter_->isVisible() && view == AnalysisView::folders);
    if (view == AnalysisView::types || view == AnalysisView::ages || view == AnalysisView::changes)
        chart_->setTint([this, tree = *active->tree](const SunburstSegment &s) { return analysis_->tint(tree, s); });
    else
        chart_->setTint({});
    if (view == AnalysisView::changes)
        chart_->setCardNote([this](const QUuid &id) { return analysis_->changeView()->note(id); });
    else
        chart_->setCardNote({});
    legend_->setItems(analysis_->legend());
    chart_->setInputs(*active->tree, *active->focusedNodeID);
    sidebar_->setNodes(store_.focusedChildren());
    if (const auto focused = active->tree->node(active->focusedNodeID))
        sidebar_->setEmptyText(SidebarListView::emptyText(*focused, store_.sizeMeasure()));
    sidebar_->setSelectedNodeID(active->selectedNodeID);
}

void ScanWorkspaceView::showFilter()
{
    if (!showsBody())
        return;
    filter_->show();
    filter_->setFocus(Qt::ShortcutFocusReason);
    filter_->selectAll();
}

bool ScanWorkspaceView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == filter_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Escape) {
            filter_->clear();
            filter_->hide();
            sidebar_->setFocus(Qt::OtherFocusReason);
            return true;
        }
        // The list's keys work while the name is typed.
        if (key == Qt::Key_Down || key == Qt::Key_Up || key == Qt::Key_PageDown || key == Qt::Key_PageUp
            || key == Qt::Key_Return || key == Qt::Key_Enter) {
            QCoreApplication::sendEvent(sidebar_, event);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QString ScanWorkspaceView::scanDuration(double d)
{
    if (d < 1.0)
        return QString::asprintf("%.0fms", d * 1000);
    if (d < 60.0)
        return QString::asprintf("%.1fs", d);
    const qint64 t = qint64(d);
    return QStringLiteral("%1m %2s").arg(t / 60).arg(t % 60);
}

QString ScanWorkspaceView::scanDuration(const ScanSummary &summary)
{
    return scanDuration(double(summary.startedAt.msecsTo(summary.finishedAt)) / 1000.0);
}

namespace {

QString whenText(const ScanSummary &summary, bool saved)
{
    if (saved)
        return QStringLiteral("scanned ") + QLocale().toString(summary.finishedAt.toLocalTime(), QLocale::ShortFormat);
    return QStringLiteral("scanned in ") + ScanWorkspaceView::scanDuration(summary);
}

} // namespace

QString ScanWorkspaceView::summaryText(const ScanSummary &summary, bool saved)
{
    return byteCountText(summary.totalAllocatedSize) + QStringLiteral(" \u2022 ") + QString::number(summary.itemsScanned)
        + QStringLiteral(" items \u2022 ") + whenText(summary, saved) + partialSuffix(summary);
}

QString ScanWorkspaceView::partialSuffix(const ScanSummary &summary)
{
    return summary.isPartial ? QStringLiteral(" \u2022 ") + partialScanText() : QString();
}

QString ScanWorkspaceView::detailText(const ScanSummary &summary, const ScanNodeRecord &focusedNode, bool saved,
                                      SizeMeasure measure)
{
    const QString marked = scanNodeMarkText(focusedNode);
    return byteCountText(sizeOf(focusedNode, measure)) + QStringLiteral(" selected \u2022 ")
        + (marked.isEmpty() ? QString() : marked + QStringLiteral(" \u2022 "))
        + QString::number(summary.itemsScanned) + QStringLiteral(" items total \u2022 ") + whenText(summary, saved)
        + partialSuffix(summary);
}

QString ScanWorkspaceView::subtitleText(const ScanSessionStore &store)
{
    const ScanResultState *active = store.activeResult();
    if (!active || !active->summary)
        return {};
    if (active->tree) {
        if (const std::optional<ScanNodeRecord> focused = active->tree->node(active->focusedNodeID))
            return detailText(*active->summary, *focused, active->sourceFile.has_value(), store.sizeMeasure());
    }
    return summaryText(*active->summary, active->sourceFile.has_value());
}

QString ScanWorkspaceView::unreadableText(qint64 count)
{
    if (count <= 0)
        return {};
    return count == 1 ? QStringLiteral("1 folder could not be read")
                      : QStringLiteral("%1 folders could not be read").arg(QLocale().toString(count));
}

void ScanWorkspaceView::showUnreadableFolders()
{
    const ScanResultState *active = store_.activeResult();
    if (!active || !active->tree)
        return;
    if (unreadableDialog_)
        unreadableDialog_->close();
    auto *dialog = new QDialog(this);
    unreadableDialog_ = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Folders That Could Not Be Read"));
    auto *column = new QVBoxLayout(dialog);
    column->setContentsMargins(20, 18, 20, 14);
    const QList<ScanNodeRecord> folders = active->tree->marked(ScanNodeMark::unreadable);
    auto *heading = style::label(unreadableText(folders.size()) + QStringLiteral(". Their sizes count only what "
                                 "could be read."), style::font(13), style::white(0.78), dialog);
    heading->setWordWrap(true);
    column->addWidget(heading);
    auto *list = new QListWidget(dialog);
    list->setAccessibleName(QStringLiteral("Folders that could not be read"));
    list->setTextElideMode(Qt::ElideMiddle);
    list->setUniformItemSizes(true);
    for (const ScanNodeRecord &folder : folders) {
        auto *item = new QListWidgetItem(folder.url.path(), list);
        item->setToolTip(style::plainToolTip(folder.url.path()));
        item->setData(Qt::UserRole, folder.id);
    }
    list->setCurrentRow(0);
    column->addWidget(list, 1);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QPushButton *focus = buttons->addButton(QStringLiteral("Focus"), QDialogButtonBox::AcceptRole);
    buttons->button(QDialogButtonBox::Close)->setIcon({});
    focus->setEnabled(!folders.isEmpty());
    focus->setDefault(true);
    const QUuid resultID = active->id;
    const auto focusChosen = [this, list, dialog, resultID] {
        // Of the result it was opened for only.
        if (QListWidgetItem *item = list->currentItem(); item && store_.activeResultID() == resultID)
            store_.focusNode(item->data(Qt::UserRole).toUuid());
        dialog->accept();
    };
    connect(buttons, &QDialogButtonBox::accepted, dialog, focusChosen);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    connect(list, &QListWidget::itemActivated, dialog, focusChosen);
    column->addWidget(buttons);
    dialog->resize(560, 360);
    dialog->open();
}

void ScanWorkspaceView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    style::fillGradient(p, rect(), style::rgb(0.07, 0.09, 0.11), style::rgb(0.10, 0.13, 0.17));
}
