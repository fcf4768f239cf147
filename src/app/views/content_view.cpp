#include "content_view.h"

#include "scan_history.h"

#include "landing_view.h"
#include "preferences_dialog.h"
#include "results_shelf_view.h"
#include "scan_progress_view.h"
#include "scan_workspace_view.h"
#include "view_style.h"
#include "window_actions.h"

#include <QDragEnterEvent>
#include <QLabel>
#include <QMessageBox>
#include <QApplication>
#include <QMouseEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace {

// The highlight over the whole window while a folder is dragged over it.
class DropHighlight : public QWidget {
public:
    explicit DropHighlight(QWidget *parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath card;
        card.addRoundedRect(QRectF(rect()).adjusted(20, 20, -20, -20), 28, 28);
        p.fillPath(card, style::black(0.36));
        QPen dashed(style::white(0.65), 2);
        dashed.setDashPattern({10.0 / 2, 8.0 / 2}); // in pen widths
        p.setPen(dashed);
        p.drawPath(card);

        const QFont font = style::font(20, QFont::Bold, style::Design::rounded);
        const int symbol = 38;
        const int textHeight = QFontMetrics(font).height();
        const int top = height() / 2 - (symbol + 10 + textHeight) / 2;
        style::paintSymbol(p, QRectF(width() / 2.0 - symbol / 2.0, top, symbol, symbol),
                           QStringLiteral("folder.badge.plus"), Qt::white, 1.2);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRect(0, top + symbol + 10, width(), textHeight), Qt::AlignCenter,
                   QStringLiteral("Drop folder to scan"));
    }
};

bool carriesFileURLs(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls())
        return false;
    for (const QUrl &url : mime->urls()) {
        if (url.isLocalFile())
            return true;
    }
    return false;
}

} // namespace

ContentView::ContentView(ScanSessionStore &store, QWidget *parent) : QWidget(parent), store_(store)
{
    style::applyDarkPalette();
    setAcceptDrops(true);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    shelfMargins_ = new QWidget(this);
    auto *margins = new QVBoxLayout(shelfMargins_);
    margins->setContentsMargins(14, 14, 14, 0);
    shelf_ = new ResultsShelfView(shelfMargins_);
    shelf_->setOnActivate([this](const QUuid &id) { store_.activateResult(id); });
    shelf_->setOnRemove([this](const QUuid &id) { store_.removeResult(id); });
    shelf_->setOnClearAll([this] { store_.clearAll(); });
    shelf_->setOnSave([this] { store_.saveActiveResult(); });
    connect(&store_, &ScanSessionStore::scanSaved, this, [this](const QString &path, const QString &error) {
        if (error.isEmpty())
            return;
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Could Not Save the Scan"),
                        QStringLiteral("Could not save the scan to \u201C%1\u201D: %2").arg(path, error), QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    });
    margins->addWidget(shelf_);
    column->addWidget(shelfMargins_);

    screens_ = new QStackedWidget(this);
    landing_ = new LandingView(store_, screens_);
    progress_ = new ScanProgressView(store_, ScanProgressView::Mode::scanning, screens_);
    workspace_ = new ScanWorkspaceView(store_, screens_);
    screens_->addWidget(landing_);
    screens_->addWidget(progress_);
    screens_->addWidget(workspace_);
    column->addWidget(screens_, 1);

    actions_ = new WindowActions(store_, *this, *workspace_, [this] { showPreferences(); });
    // The mouse's back and forward buttons, wherever the pointer is.
    qApp->installEventFilter(this);

    dropHighlight_ = new DropHighlight(this);
    // Style sheets are applied on first show; doing it now keeps that cost
    // out of the moment a scan's first tree arrives.
    workspace_->ensurePolished();
    progress_->ensurePolished();

    for (auto changed : {&ScanSessionStore::resultsChanged, &ScanSessionStore::activeResultIDChanged,
                         &ScanSessionStore::currentScanningResultIDChanged, &ScanSessionStore::focusedChildrenChanged,
                         &ScanSessionStore::pendingTrashNodeChanged, &ScanSessionStore::sizeMeasureChanged,
                         &ScanSessionStore::pendingDeletionChanged, &ScanSessionStore::analysisChanged,
                         &ScanSessionStore::comparisonChanged}) {
        connect(&store_, changed, this, &ContentView::scheduleRefresh);
    }
    connect(&store_, &ScanSessionStore::actionFailed, this, &ContentView::showFailure);
    refresh();
}

ContentView::Screen ContentView::screenFor(const ScanResultState *active)
{
    if (!active)
        return Screen::landing;
    switch (active->phase) {
    case ScanResultPhase::queued:
        return Screen::progress;
    case ScanResultPhase::scanning:
        return active->tree ? Screen::workspace : Screen::progress;
    case ScanResultPhase::ready:
        return Screen::workspace;
    case ScanResultPhase::failed:
        return Screen::landing;
    }
    return Screen::landing;
}

QString ContentView::trashMessage(const ScanNodeRecord &node)
{
    return QStringLiteral("Move \u201C") + node.displayName + QStringLiteral("\u201D to Trash?");
}

ContentView::Screen ContentView::currentScreen() const
{
    return Screen(screens_->currentIndex());
}

void ContentView::scheduleRefresh()
{
    // One rebuild per turn of the event loop, however many fields changed.
    if (refreshQueued_)
        return;
    refreshQueued_ = true;
    QMetaObject::invokeMethod(this, &ContentView::refresh, Qt::QueuedConnection);
}

void ContentView::refresh()
{
    refreshQueued_ = false;
    shelfMargins_->setVisible(!store_.results().isEmpty());
    shelf_->setSizeMeasure(store_.sizeMeasure());
    shelf_->setResults(store_.results(), store_.activeResultID());
    shelf_->setSaveEnabled(store_.canSaveActiveResult());

    const ScanResultState *active = store_.activeResult();
    const Screen screen = screenFor(active);
    switch (screen) {
    case Screen::landing:
        landing_->refresh();
        break;
    case Screen::progress:
        progress_->setMode(active->phase == ScanResultPhase::queued ? ScanProgressView::Mode::queued
                                                                     : ScanProgressView::Mode::scanning);
        break;
    case Screen::workspace:
        workspace_->refresh();
        break;
    }
    // Hidden screens must not hold the window at their minimum size.
    for (int i = 0; i < screens_->count(); ++i) {
        const auto policy = i == int(screen) ? QSizePolicy::Preferred : QSizePolicy::Ignored;
        screens_->widget(i)->setSizePolicy(policy, policy);
    }
    screens_->setCurrentIndex(int(screen));
    actions_->refresh();
    updateTrashAlert();
    updateDeletionOffer();
}

bool ContentView::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease && watched->isWidgetType()
        && static_cast<QWidget *>(watched)->window() == this) {
        const Qt::MouseButton button = static_cast<QMouseEvent *>(event)->button();
        if (button == Qt::BackButton || button == Qt::ForwardButton) {
            (button == Qt::BackButton ? store_.focusBack() : store_.focusForward());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ContentView::showAsPlainText(QMessageBox &box)
{
    // The stock box shows its texts as markup, links opened; names are text.
    box.setTextFormat(Qt::PlainText);
    if (auto *informative = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
        informative->setTextFormat(Qt::PlainText);
        informative->setOpenExternalLinks(false);
    }
}

void ContentView::showFailure(const QString &message, const QString &reason)
{
    if (failureAlert_)
        failureAlert_->close();
    failureAlert_ = new QMessageBox(QMessageBox::Warning, message, message, QMessageBox::Ok, this);
    failureAlert_->setInformativeText(reason);
    showAsPlainText(*failureAlert_);
    failureAlert_->setAttribute(Qt::WA_DeleteOnClose);
    failureAlert_->open();
}

void ContentView::updateTrashAlert()
{
    const std::optional<ScanNodeRecord> &pending = store_.pendingTrashNode();
    if (!pending) {
        if (alert_)
            alert_->close();
        return;
    }
    if (alert_) {
        alert_->setInformativeText(trashMessage(*pending)); // a newer request replaced the node
        return;
    }
    alert_ = askBox(QMessageBox::Warning, QStringLiteral("Move to Trash?"), QStringLiteral("Move to Trash?"),
                    trashMessage(*pending), {QStringLiteral("Move to Trash"), QMessageBox::DestructiveRole},
                    QStringLiteral("Cancel"), false, [this](bool moved) {
                        alert_ = nullptr; // closing: a new request gets a new alert
                        if (moved)
                            store_.confirmTrashRequest();
                        else
                            store_.setPendingTrashNode(std::nullopt);
                    });
}

void ContentView::updateDeletionOffer()
{
    const std::optional<ScanSessionStore::PendingDeletion> &pending = store_.pendingDeletion();
    if (!pending) {
        if (deletionAlert_)
            deletionAlert_->close();
        return;
    }
    if (deletionAlert_)
        return;
    // Twice asked: what the Trash could not take, then that it cannot be undone.
    const QString name = QStringLiteral("\u201C") + pending->node.displayName + QStringLiteral("\u201D");
    deletionAlert_ = askBox(
        QMessageBox::Warning, QStringLiteral("No Trash"), name + QStringLiteral(" cannot be moved to the Trash"),
        QStringLiteral("%1 has no Trash. You can delete the item permanently instead.").arg(pending->where),
        {QStringLiteral("Delete Permanently\u2026"), QMessageBox::DestructiveRole}, QStringLiteral("Cancel"), false,
        [this, name](bool offered) {
            deletionAlert_ = nullptr;
            if (!offered) {
                store_.cancelPendingDeletion();
                return;
            }
            deletionAlert_ = askBox(QMessageBox::Critical, QStringLiteral("Delete Permanently?"),
                                    QStringLiteral("Delete %1 permanently?").arg(name),
                                    QStringLiteral("This cannot be undone."),
                                    {QStringLiteral("Delete Permanently"), QMessageBox::DestructiveRole},
                                    QStringLiteral("Cancel"), false, [this](bool deleted) {
                                        deletionAlert_ = nullptr;
                                        if (deleted)
                                            store_.confirmPermanentDeletion();
                                        else
                                            store_.cancelPendingDeletion();
                                    });
        });
}

QMessageBox *ContentView::askBox(QMessageBox::Icon icon, const QString &title, const QString &text,
                                 const QString &informative, const std::pair<QString, QMessageBox::ButtonRole> &act,
                                 const QString &decline, bool actByDefault, std::function<void(bool acted)> done)
{
    auto *box = new QMessageBox(icon, title, text, QMessageBox::NoButton, this);
    box->setInformativeText(informative);
    showAsPlainText(*box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *yes = box->addButton(act.first, act.second);
    QPushButton *no = box->addButton(decline, QMessageBox::RejectRole);
    box->setDefaultButton(actByDefault ? yes : no);
    box->setEscapeButton(no);
    // Any way of closing other than the acting button declines.
    connect(box, &QMessageBox::finished, this, [box, yes, done = std::move(done)] { done(box->clickedButton() == yes); });
    box->open();
    return box;
}

void ContentView::setPreferencesLocation(const QString &organization, const QString &application)
{
    preferencesOrganization_ = organization;
    preferencesApplication_ = application;
}

void ContentView::showPreferences()
{
    if (preferences_) {
        preferences_->raise();
        preferences_->activateWindow();
        return;
    }
    const WindowPreferences before = WindowPreferences::load(preferencesOrganization_, preferencesApplication_);
    preferences_ = new PreferencesDialog(before, this);
    preferences_->setAttribute(Qt::WA_DeleteOnClose);
    connect(preferences_, &QDialog::accepted, this,
            [this, before, dialog = preferences_.data()] { applyPreferences(before, dialog->chosen()); });
    preferences_->open();
}

ScanHistorySettings ContentView::historySettingsOf(const WindowPreferences &preferences)
{
    return {preferences.keepHistory ? ScanHistory::defaultFolder() : QString(), preferences.historyPerFolder,
            qint64(preferences.historyMiB) << 20};
}

void ContentView::applyPreferences(const WindowPreferences &before, const WindowPreferences &chosen)
{
    if (chosen == before)
        return;
    chosen.save(preferencesOrganization_, preferencesApplication_);
    store_.setHistorySettings(historySettingsOf(chosen));
    setByteUnits(chosen.units);
    store_.setSizeMeasure(chosen.sizeShown);
    refresh();
    update(); // the texts drawn in units
    const ScanResultState *active = store_.activeResult();
    if (chosen.scan == before.scan || !active || !store_.canRescanActiveResult())
        return;
    // Scans read their settings when they start: the shown one still has the old.
    if (rescanOffer_)
        rescanOffer_->close();
    const QUuid id = active->id;
    rescanOffer_ = askBox(QMessageBox::Question, QStringLiteral("Rescan with the New Settings?"),
                          QStringLiteral("Rescan \u201C%1\u201D with the new settings?").arg(active->rootURL.lastPathComponent()),
                          QStringLiteral("The scan settings changed. They apply to the next scan; "
                                         "the figures shown were made with the old ones."),
                          {QStringLiteral("Rescan"), QMessageBox::AcceptRole}, QStringLiteral("Not Now"), true,
                          [this, id](bool rescan) {
                              if (rescan)
                                  store_.rescanResult(id); // the result it was offered for, even if another became active
                          });
}

void ContentView::setDropTargeted(bool targeted)
{
    dropTargeted_ = targeted;
    dropHighlight_->setGeometry(rect());
    dropHighlight_->setVisible(targeted);
    dropHighlight_->raise();
}

bool ContentView::handleDrop(const QList<QUrl> &urls)
{
    if (urls.isEmpty())
        return false;
    for (const QUrl &url : urls) {
        if (!url.isValid())
            continue;
        QMetaObject::invokeMethod(this, [this, url] { store_.acceptIncoming({url}); }, Qt::QueuedConnection);
    }
    return true;
}

void ContentView::dragEnterEvent(QDragEnterEvent *event)
{
    if (!carriesFileURLs(event->mimeData()))
        return event->ignore();
    event->acceptProposedAction();
    setDropTargeted(true);
}

void ContentView::dragMoveEvent(QDragMoveEvent *event)
{
    if (carriesFileURLs(event->mimeData()))
        event->acceptProposedAction();
}

void ContentView::dragLeaveEvent(QDragLeaveEvent *)
{
    setDropTargeted(false);
}

void ContentView::dropEvent(QDropEvent *event)
{
    setDropTargeted(false);
    if (handleDrop(event->mimeData() ? event->mimeData()->urls() : QList<QUrl>()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ContentView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    dropHighlight_->setGeometry(rect());
}

void ContentView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    style::fillGradient(p, rect(), style::rgb(0.07, 0.09, 0.11), style::rgb(0.10, 0.13, 0.17));
}
