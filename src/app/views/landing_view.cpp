#include "landing_view.h"

#include "app_version_info.h"
#include "view_style.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace {

// A leading-aligned card at most 560 wide with a caption and one text.
CardFrame *captionCard(QWidget *parent, const QString &caption, const QColor &captionColor, QLabel *&text)
{
    auto *card = new CardFrame(parent);
    card->setMaximumWidth(560);
    card->setMinimumWidth(360); // a wrapped text must not be measured at a sliver's width
    card->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    auto *layout = new QVBoxLayout(card);
    layout->setContentsMargins(18, 18, 18, 18);
    layout->setSpacing(8);
    layout->addWidget(style::label(caption, style::font(13, QFont::DemiBold), captionColor, card));
    text = new QLabel(card);
    layout->addWidget(text);
    return card;
}

// Centres a widget that may grow up to its maximum width.
QHBoxLayout *centred(QWidget *widget)
{
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(widget, 1000);
    row->addStretch(1);
    return row;
}

} // namespace

LandingView::LandingView(ScanSessionStore &store, QWidget *parent) : QWidget(parent), store_(store)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 32, 32, 32);
    layout->setSpacing(24);
    layout->addStretch(1);

    auto *header = new QVBoxLayout;
    header->setSpacing(12);
    header->addWidget(style::label(QStringLiteral("Burrowlens"), style::font(38, QFont::Bold, style::Design::rounded),
                                   style::white(), this),
                      0, Qt::AlignHCenter);
    header->addWidget(style::label(QStringLiteral("Drop a folder to begin, or choose one from your file manager."),
                                   style::font(16, QFont::Medium), style::white(0.75), this),
                      0, Qt::AlignHCenter);
    layout->addLayout(header);

    auto *zone = new CardFrame(this);
    zone->setCard(28, style::white(0.1), style::white(0.24), 2);
    zone->setMaximumWidth(560);
    zone->setMinimumHeight(280);
    zone->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto *zoneLayout = new QVBoxLayout(zone);
    zoneLayout->setSpacing(18);
    zoneLayout->addStretch(1);
    auto *symbol = new QLabel(zone);
    symbol->setPixmap(style::symbolIcon(QStringLiteral("folder.badge.plus"), 48, style::white(0.9), 1.1).pixmap(48, 48));
    zoneLayout->addWidget(symbol, 0, Qt::AlignHCenter);
    zoneLayout->addWidget(style::label(QStringLiteral("Drop Folder Here"), style::font(24, QFont::DemiBold), style::white(), zone),
                          0, Qt::AlignHCenter);
    choose_ = new QPushButton(QStringLiteral("Choose Folder"), zone);
    choose_->setStyleSheet(style::buttonStyleSheet(style::ButtonStyle::prominent, 15));
    choose_->setMinimumHeight(34);
    choose_->setCursor(Qt::PointingHandCursor);
    connect(choose_, &QPushButton::clicked, this, [this] { store_.chooseFolder(); });
    zoneLayout->addWidget(choose_, 0, Qt::AlignHCenter);
    zoneLayout->addStretch(1);
    layout->addLayout(centred(zone));

    folderCard_ = captionCard(this, QStringLiteral("Selected Folder"), style::white(0.72), folderPath_);
    folderCard_->setCard(18, style::black(0.18));
    folderPath_->setFont(style::font(14, QFont::Normal, style::Design::monospaced));
    style::setLabelColor(folderPath_, style::white());
    folderPath_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    folderPath_->setTextFormat(Qt::PlainText);
    layout->addLayout(centred(folderCard_));

    errorCard_ = captionCard(this, QStringLiteral("Scan Error"), QColor::fromRgbF(1, 0.23f, 0.19f, 0.9f), errorText_);
    errorCard_->setCard(18, QColor::fromRgbF(1, 0.23f, 0.19f, 0.16f), QColor::fromRgbF(1, 0.23f, 0.19f, 0.34f));
    errorText_->setFont(style::font(14, QFont::Medium));
    errorText_->setTextFormat(Qt::PlainText);
    errorText_->setWordWrap(true);
    style::setLabelColor(errorText_, style::white());
    layout->addLayout(centred(errorCard_));

    layout->addStretch(1);
    version_ = style::label({}, style::font(11, QFont::Medium, style::Design::monospaced), style::white(0.48), this);
    layout->addWidget(version_, 0, Qt::AlignHCenter);
    // Read once: the executable's date does not change while it runs, and
    // the view is rebuilt on every change of the store.
    version_->setText(AppVersionDisplay::current(Bundle::main()));
    refresh();
}

void LandingView::refresh()
{
    const ScanResultState *active = store_.activeResult();
    const bool failed = active && active->phase == ScanResultPhase::failed;
    folderCard_->setVisible(failed);
    if (failed) {
        // Paths seldom have spaces to wrap at: break anywhere, at most three
        // lines, the third cut short with an ellipsis.
        const QFontMetrics metrics(folderPath_->font());
        const QString path = active->rootURL.path();
        const int lineWidth = qMax(100, qMin(560, width() - 64) - 36);
        QStringList lines;
        QString rest = path;
        while (!rest.isEmpty() && lines.size() < 3) {
            qsizetype n = 1;
            while (n < rest.size() && metrics.horizontalAdvance(rest.left(n + 1)) <= lineWidth)
                ++n;
            if (lines.size() == 2 && n < rest.size()) {
                lines << metrics.elidedText(rest, Qt::ElideRight, lineWidth);
                rest.clear();
                break;
            }
            lines << rest.left(n);
            rest = rest.mid(n);
        }
        folderPath_->setText(lines.join(u'\n'));
        folderPath_->setToolTip(style::plainToolTip(path));
    }
    const bool hasError = active && active->errorMessage;
    errorCard_->setVisible(hasError);
    if (hasError)
        errorText_->setText(*active->errorMessage);
}

void LandingView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    style::fillGradient(p, rect(), style::rgb(0.08, 0.11, 0.12), style::rgb(0.11, 0.18, 0.16));
}
