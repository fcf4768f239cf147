// One object of a scanned tree, as engines hand it to the application.
#pragma once

#include "file_url.h"

#include <QString>
#include <QUuid>
#include <optional>

enum class ScanNodeKind { file, directory, package };

struct ScanNodeRecord {
    QUuid id;
    std::optional<QUuid> parentID;
    FileUrl url;
    QString displayName;
    ScanNodeKind kind = ScanNodeKind::file;
    bool isHidden = false;
    bool isPackage = false;
    bool isReadable = false;
    qint64 allocatedSize = 0;
    qint64 logicalSize = 0;
    qint64 childCount = 0;

    friend bool operator==(const ScanNodeRecord &, const ScanNodeRecord &) = default;
};
