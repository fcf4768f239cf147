#include "open_panel_service.h"

#include <QApplication>
#include <QFileDialog>

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
    QFileDialog panel(QApplication::activeWindow());
    panel.setFileMode(QFileDialog::Directory);
    // ReadOnly takes away the dialog's "Create New Folder".
    panel.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::ReadOnly);
    panel.setLabelText(QFileDialog::Accept, QStringLiteral("Open Folder"));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return std::nullopt;
    return panel.selectedFiles().constFirst();
}
