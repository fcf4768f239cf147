// The modal panel in which the user picks one folder to scan, or a scan
// file to open.
#pragma once

#include <QString>
#include <optional>

class OpenPanelService {
public:
    virtual ~OpenPanelService() = default;
    // The chosen folder's or scan file's path; nothing when the user cancels.
    virtual std::optional<QString> chooseFolder() const;
    // Where to save a scan file, suggested under suggestedName; nothing
    // when the user cancels.
    virtual std::optional<QString> chooseSaveFile(const QString &suggestedName) const;
    // A scan file to compare with; nothing when the user cancels.
    virtual std::optional<QString> chooseScanFile() const;
};
