#include "preferences_dialog.h"

#include "scan_history.h"
#include "view_style.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QLabel *heading(const QString &text, QWidget *parent)
{
    return style::label(text, style::font(14, QFont::DemiBold), style::white(0.9), parent);
}

QCheckBox *checkBox(const QString &text, bool checked, QWidget *parent)
{
    auto *box = new QCheckBox(text, parent);
    box->setChecked(checked);
    // Fusion fills the box with Base and outlines it darker than Window: on
    // the dark palette both vanish.
    QPalette p = box->palette();
    p.setColor(QPalette::Base, style::rgb(0.24, 0.26, 0.31));
    p.setColor(QPalette::Window, style::rgb(0.55, 0.58, 0.65));
    box->setPalette(p);
    return box;
}

QLabel *note(const QString &text, QWidget *parent)
{
    QLabel *label = style::label(text, style::font(12), style::white(0.56), parent);
    label->setWordWrap(true);
    return label;
}

} // namespace

PreferencesDialog::PreferencesDialog(const WindowPreferences &current, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Preferences"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 16);
    column->setSpacing(8);

    column->addWidget(heading(QStringLiteral("Scanning"), this));
    oneFileSystem_ = checkBox(QStringLiteral("Stay on the scanned folder\u2019s file system"), !current.scan.crossFileSystems, this);
    column->addWidget(oneFileSystem_);
    column->addWidget(note(QStringLiteral("Other file systems mounted inside the folder are shown but not entered. "
                                          "Kernel file systems such as /proc are never entered."), this));
    caches_ = checkBox(QStringLiteral("Leave out cache folders (tagged with CACHEDIR.TAG)"), current.scan.excludeCaches, this);
    column->addWidget(caches_);
    auto *patternsLabel = style::label(QStringLiteral("Leave out names matching, one pattern per line:"),
                                       style::font(13), style::white(0.78), this);
    column->addWidget(patternsLabel);
    patterns_ = new QPlainTextEdit(this);
    patterns_->setAccessibleName(QStringLiteral("Patterns of names to leave out"));
    patternsLabel->setBuddy(patterns_);
    patterns_->setTabChangesFocus(true);
    patterns_->setPlaceholderText(QStringLiteral("node_modules\n*.o\nbuild/*.tmp"));
    patterns_->setFixedHeight(QFontMetrics(patterns_->font()).lineSpacing() * 5 + 12);
    QStringList lines;
    for (const QByteArray &pattern : current.scan.excludePatterns)
        lines.append(QFile::decodeName(pattern));
    patterns_->setPlainText(lines.join(u'\n'));
    column->addWidget(patterns_);
    column->addWidget(note(QStringLiteral("Shell patterns: one without \u201C/\u201D matches a name anywhere, one that "
                                          "starts with \u201C/\u201D a whole path, any other a path below the scanned "
                                          "folder. A change applies to the next scan."), this));

    column->addSpacing(10);
    column->addWidget(heading(QStringLiteral("Display"), this));
    auto *form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignLeft);
    sizeShown_ = new QComboBox(this);
    sizeShown_->addItem(QStringLiteral("Allocated on disk"), int(SizeMeasure::allocated));
    sizeShown_->addItem(QStringLiteral("Apparent size"), int(SizeMeasure::logical));
    sizeShown_->setCurrentIndex(sizeShown_->findData(int(current.sizeShown)));
    form->addRow(QStringLiteral("Size shown:"), sizeShown_);
    units_ = new QComboBox(this);
    units_->addItem(QStringLiteral("Decimal (kB, MB, GB)"), int(ByteUnits::decimal));
    units_->addItem(QStringLiteral("Binary (KiB, MiB, GiB)"), int(ByteUnits::binary));
    units_->setCurrentIndex(units_->findData(int(current.units)));
    form->addRow(QStringLiteral("Units:"), units_);
    column->addLayout(form);

    column->addSpacing(10);
    column->addWidget(heading(QStringLiteral("History"), this));
    keepHistory_ = checkBox(QStringLiteral("Keep each scan, to show what changed at the next"), current.keepHistory, this);
    column->addWidget(keepHistory_);
    auto *limits = new QFormLayout;
    perFolder_ = new QSpinBox(this);
    perFolder_->setRange(1, 1000);
    perFolder_->setValue(current.historyPerFolder);
    perFolder_->setAccessibleName(QStringLiteral("Scans kept of each folder"));
    limits->addRow(QStringLiteral("Scans kept of each folder:"), perFolder_);
    historyMiB_ = new QSpinBox(this);
    historyMiB_->setRange(1, 1 << 20);
    historyMiB_->setSuffix(QStringLiteral(" MiB"));
    historyMiB_->setValue(current.historyMiB);
    historyMiB_->setAccessibleName(QStringLiteral("Space for kept scans in all"));
    limits->addRow(QStringLiteral("Space in all:"), historyMiB_);
    column->addLayout(limits);
    const auto follow = [this] {
        perFolder_->setEnabled(keepHistory_->isChecked());
        historyMiB_->setEnabled(keepHistory_->isChecked());
    };
    connect(keepHistory_, &QCheckBox::toggled, this, follow);
    follow();
    clearHistory_ = new QPushButton(QStringLiteral("Clear History"), this);
    clearHistory_->setAutoDefault(false);
    auto *clearRow = new QHBoxLayout;
    clearRow->addWidget(clearHistory_);
    auto *cleared = note(QString(), this);
    clearRow->addWidget(cleared, 1);
    column->addLayout(clearRow);
    connect(clearHistory_, &QPushButton::clicked, this, [this, cleared] {
        const int removed = ScanHistory(ScanHistory::defaultFolder()).clear();
        cleared->setText(removed == 1 ? QStringLiteral("1 kept scan removed.")
                                      : QStringLiteral("%1 kept scans removed.").arg(removed));
    });

    column->addSpacing(6);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    for (QAbstractButton *b : buttons->buttons())
        b->setIcon({}); // the window's other dialogs show words only
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    column->addWidget(buttons);
    setMinimumWidth(460);
}

WindowPreferences PreferencesDialog::chosen() const
{
    WindowPreferences p;
    p.scan.crossFileSystems = !oneFileSystem_->isChecked();
    p.scan.excludeCaches = caches_->isChecked();
    for (const QString &line : patterns_->toPlainText().split(u'\n')) {
        const QByteArray pattern = QFile::encodeName(line.trimmed());
        if (!pattern.isEmpty() && !p.scan.excludePatterns.contains(pattern))
            p.scan.excludePatterns.append(pattern);
    }
    p.sizeShown = SizeMeasure(sizeShown_->currentData().toInt());
    p.units = ByteUnits(units_->currentData().toInt());
    p.keepHistory = keepHistory_->isChecked();
    p.historyPerFolder = perFolder_->value();
    p.historyMiB = historyMiB_->value();
    return p;
}
