#include "open_panel_service.h"

#include <QApplication>
#include <QFileDialog>

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
