#include "scan_progress_view.h"

#include "byte_count_text.h"

#include "app_version_info.h"
#include "view_style.h"

#include <QPainter>
#include <QHBoxLayout>
#include <QVBoxLayout>

ScanProgressView::ScanProgressView(ScanSessionStore &store, Mode mode, QWidget *parent)
    : QWidget(parent), store_(store), mode_(mode)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 16);
    layout->setSpacing(20);
    layout->addStretch(1);

    spinner_ = new ActivitySpinner(45, this); // a large indicator scaled by 1.4
    clock_ = new QLabel(this);
    clock_->setPixmap(style::symbolIcon(QStringLiteral("clock.arrow.trianglehead.counterclockwise.rotate.90"), 34,
                                        style::white(0.74), 1.2)
                          .pixmap(34, 34));
    layout->addWidget(spinner_, 0, Qt::AlignHCenter);
    layout->addWidget(clock_, 0, Qt::AlignHCenter);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(8);
    title_ = new ShrinkingLabel(style::font(26, QFont::DemiBold), 0.8, style::white(), this);
    status_ = new ShrinkingLabel(style::font(15, QFont::Medium), 1, style::white(0.72), this);
    path_ = style::label({}, style::font(12, QFont::Medium, style::Design::monospaced), style::white(0.58), this);
    path_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    for (QLabel *l : std::initializer_list<QLabel *>{title_, status_, path_}) {
        l->setAlignment(Qt::AlignCenter);
        texts->addWidget(l);
    }
    layout->addLayout(texts);

    action_ = new QPushButton(this);
    action_->setStyleSheet(style::buttonStyleSheet(style::ButtonStyle::bordered, 14));
    action_->setCursor(Qt::PointingHandCursor);
    action_->setMinimumHeight(32);
    connect(action_, &QPushButton::clicked, this, [this] {
        const std::optional<QUuid> id =
            mode_ == Mode::queued ? store_.activeResultID() : store_.currentScanningResultID();
        if (id)
            store_.removeResult(*id);
    });
    stop_ = new QPushButton(QStringLiteral("Stop"), this);
    stop_->setStyleSheet(style::buttonStyleSheet(style::ButtonStyle::bordered, 14));
    stop_->setCursor(Qt::PointingHandCursor);
    stop_->setMinimumHeight(32);
    stop_->setToolTip(QStringLiteral("Stop the scan and keep what it found (Ctrl+.)"));
    connect(stop_, &QPushButton::clicked, this, [this] { store_.stopScan(); });
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    buttons->addStretch(1);
    buttons->addWidget(stop_);
    buttons->addWidget(action_);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->addStretch(1);

    version_ = style::label({}, style::font(11, QFont::Medium, style::Design::monospaced), style::white(0.48), this);
    layout->addWidget(version_, 0, Qt::AlignHCenter);
    // Read once: the executable's date does not change while it runs, and
    // progress redraws this view five times a second.
    version_->setText(AppVersionDisplay::current(Bundle::main()));
    refresh();
}

void ScanProgressView::setMode(Mode mode)
{
    mode_ = mode;
    refresh();
}

void ScanProgressView::refresh()
{
    const ScanResultState *active = store_.activeResult();
    const std::optional<ProgressSnapshot> snapshot = active ? active->progressSnapshot : std::nullopt;
    spinner_->setVisible(mode_ == Mode::scanning);
    clock_->setVisible(mode_ == Mode::queued);
    title_->setFullText(titleText(active, mode_));
    if (mode_ == Mode::queued)
        status_->setFullText(QStringLiteral("Waiting for the current scan to finish."));
    else if (active && active->receivedBytes)
        status_->setFullText(byteCountText(*active->receivedBytes) + QStringLiteral(" received so far"));
    else
        status_->setFullText(snapshot ? progressSummary(*snapshot) : QString());
    status_->setVisible(!status_->fullText().isEmpty());
    fullPath_ = snapshot && snapshot->currentURL ? compactProgressPath(*snapshot->currentURL) : QString();
    path_->setVisible(!fullPath_.isEmpty());
    elidePath();
    action_->setText(mode_ == Mode::queued ? QStringLiteral("Remove from Queue") : QStringLiteral("Cancel"));
    stop_->setVisible(mode_ == Mode::scanning && !(active && active->sourceFile) && store_.canStopScan());
}

QString ScanProgressView::titleText(const ScanResultState *activeResult, Mode mode)
{
    const QString prefix = mode == Mode::queued                        ? QStringLiteral("Queued ")
                           : activeResult && activeResult->sourceFile ? QStringLiteral("Opening ")
                                                                      : QStringLiteral("Scanning ");
    return prefix + (activeResult ? activeResult->rootURL.lastPathComponent() : QStringLiteral("Folder"));
}

QString ScanProgressView::progressSummary(const ProgressSnapshot &snapshot)
{
    return QStringLiteral("%1 items \u2022 %2 folders \u2022 %3 files")
        .arg(snapshot.itemsScanned)
        .arg(snapshot.directoriesScanned)
        .arg(snapshot.filesScanned);
}

QString ScanProgressView::compactProgressPath(const FileUrl &url)
{
    const QString path = url.path();
    const QStringList components = path.split(u'/', Qt::SkipEmptyParts);
    if (components.size() < 6)
        return path;
    return QStringLiteral("\u2026/") + components.sliced(components.size() - 5).join(u'/');
}

void ScanProgressView::elidePath()
{
    // At most 820 wide, with 60 on either side.
    const int room = qMin(820, width() - 120);
    path_->setText(QFontMetrics(path_->font()).elidedText(fullPath_, Qt::ElideMiddle, qMax(40, room)));
}

void ScanProgressView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    elidePath();
}

void ScanProgressView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    style::fillGradient(p, rect(), style::rgb(0.07, 0.10, 0.13), style::rgb(0.08, 0.16, 0.20), true);
}
