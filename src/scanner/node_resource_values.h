// Metadata of one file-system object as the scan engines read it, one child
// of a listed directory, and the pair of sizes a node is charged.
#pragma once

#include "file_url.h"

#include <QString>
#include <optional>

struct NodeResourceValues {
    QString name;
    bool isDirectory = false; // packages included
    bool isPackage = false;
    bool isHidden = false;
    bool isReadable = false;
    bool isSpecial = false; // neither a regular file nor a directory
    std::optional<qint64> totalFileAllocatedSize;
    std::optional<qint64> fileAllocatedSize;
    std::optional<qint64> totalFileSize;
    std::optional<qint64> fileSize;
    // False for a listed child whose metadata could not be read at all; a
    // file the user may examine but not read has its metadata.
    bool hasMetadata = true;
    // A child on another mount than its folder (a mount point), or an
    // object on a kernel file system when asked for itself.
    enum class Boundary : quint8 { none, otherFileSystem, kernelFileSystem };
    Boundary boundary = Boundary::none;
    // Of a regular file: its identity and links, so that links are counted once.
    FileIdentity file{};
    quint32 linkCount = 1;
    qint64 modifiedAt = 0; // seconds since the epoch; 0 unknown

    friend bool operator==(const NodeResourceValues &, const NodeResourceValues &) = default;
};

struct ChildEntry {
    FileUrl url;
    NodeResourceValues values;
};

struct NodeSize {
    qint64 allocated = 0;
    qint64 logical = 0;

    friend bool operator==(const NodeSize &, const NodeSize &) = default;
};
