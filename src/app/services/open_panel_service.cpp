#include "open_panel_service.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

namespace {

// A folder panel that also takes a scan file: the stock one in folder mode
// refuses to accept a file, and in file mode walks into a folder instead.
class FolderOrFilePanel : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    QString chosen;

    void accept() override
    {
        const QStringList files = selectedFiles();
        if (!files.isEmpty() && QFileInfo(files.constFirst()).isFile()) {
            chosen = files.constFirst();
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }
};

} // namespace

std::optional<QString> OpenPanelService::chooseSaveFile(const QString &suggestedName) const
{
    QFileDialog panel(QApplication::activeWindow());
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.setFileMode(QFileDialog::AnyFile);
    panel.setNameFilter(QStringLiteral("Scan files (*.json)"));
    panel.setDefaultSuffix(QStringLiteral("json"));
    panel.selectFile(suggestedName);
    panel.setLabelText(QFileDialog::Accept, QStringLiteral("Save"));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return std::nullopt;
    return panel.selectedFiles().constFirst();
}

std::optional<QString> OpenPanelService::chooseFolder() const
{
    FolderOrFilePanel panel(QApplication::activeWindow());
    panel.setFileMode(QFileDialog::Directory);
    // Files are shown for the scan files; ReadOnly takes away the dialog's
    // "Create New Folder".
    panel.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::ReadOnly);
    panel.setNameFilters({QStringLiteral("Folders and scan files (*.json *.json.zst *.zst *.ncdu)"),
                          QStringLiteral("All files (*)")});
    panel.setLabelText(QFileDialog::Accept, QStringLiteral("Open"));
    if (panel.exec() != QDialog::Accepted)
        return std::nullopt;
    if (!panel.chosen.isEmpty())
        return panel.chosen;
    if (panel.selectedFiles().isEmpty())
        return std::nullopt;
    return panel.selectedFiles().constFirst();
}

std::optional<QString> OpenPanelService::chooseScanFile() const
{
    QFileDialog panel(QApplication::activeWindow());
    panel.setFileMode(QFileDialog::ExistingFile);
    panel.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::ReadOnly);
    panel.setNameFilters({QStringLiteral("Scan files (*.json *.json.zst *.zst *.ncdu)"), QStringLiteral("All files (*)")});
    panel.setLabelText(QFileDialog::Accept, QStringLiteral("Compare"));
    panel.setWindowTitle(QStringLiteral("Compare With"));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return std::nullopt;
    return panel.selectedFiles().constFirst();
}
