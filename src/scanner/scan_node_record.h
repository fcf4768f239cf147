// One object of a scanned tree, as engines hand it to the application.
#pragma once

#include "file_url.h"

#include <QString>
#include <QUuid>
#include <optional>

enum class ScanNodeKind { file, directory, package };

// What a record is beyond its kind. The folders of the first three were not
// entered and weigh nothing.
enum class ScanNodeMark : quint8 {
    none,
    otherFileSystem,  // a mount point of another file system
    kernelFileSystem, // proc, sysfs and the like: never entered
    excluded,
    unreadable, // a folder that could not be listed, wholly or in part
};

struct ScanNodeRecord;
// How the window and the report name a record's mark or its hard link;
// empty for neither.
QString scanNodeMarkText(const ScanNodeRecord &node);
// The detail line of a record in the list, the hover card and the report:
// its mark, else "File", "Package" or "<childCount> children".
QString scanNodeDetailText(const ScanNodeRecord &node);
// The key of a mark in the JSON report; empty for none.
QString scanNodeMarkKey(ScanNodeMark mark);
// The value of "excluded" a scan file gives a folder not entered; null for
// the marks it writes otherwise (read_error) and for none.
const char *scanFileExclusionKey(ScanNodeMark mark);
// The mark of an "excluded" value read from a scan file; one not known
// reads as excluded by a pattern.
ScanNodeMark scanNodeMarkOfExclusionKey(QByteArrayView key);

// What a record says of its object beside its identity, URL and name.
struct ScanNodeFacts {
    ScanNodeKind kind = ScanNodeKind::file;
    bool isHidden = false;
    bool isPackage = false;
    bool isReadable = false;
    // A link, FIFO, socket or device: listed as a file, never sized.
    bool isSpecial = false;
    qint64 allocatedSize = 0;
    qint64 logicalSize = 0;
    qint64 childCount = 0;
    // Last modification, seconds since the epoch; 0 when not known (a scan
    // file without times).
    qint64 modifiedAt = 0;
    ScanNodeMark mark = ScanNodeMark::none;
    // The links of a regular file that has more than one; else 0. Its size
    // is shown on every link and counted once in each folder above them.
    quint32 linkCount = 0;

    friend bool operator==(const ScanNodeFacts &, const ScanNodeFacts &) = default;
};

struct ScanNodeRecord : ScanNodeFacts {
    QUuid id;
    std::optional<QUuid> parentID;
    FileUrl url;
    QString displayName;

    friend bool operator==(const ScanNodeRecord &, const ScanNodeRecord &) = default;
};
