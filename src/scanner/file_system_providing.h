// The seam between the recursive engine and the file system: list one
// directory with its children's metadata, or read one object's metadata.
// Both throw FileSystemError (carrying errno) when the platform fails.
#pragma once

#include "node_resource_values.h"

#include <QList>
#include <system_error>

class FileSystemError : public std::system_error {
public:
    FileSystemError(int error, const QString &path)
        : std::system_error(error, std::generic_category(), path.toStdString())
    {
    }
};

class FileSystemProviding {
public:
    virtual ~FileSystemProviding() = default;
    virtual QList<ChildEntry> childEntries(const FileUrl &directory) const = 0;
    virtual NodeResourceValues resourceValues(const FileUrl &url) const = 0;
    // Whether the folder holds a valid CACHEDIR.TAG; never throws.
    virtual bool holdsCacheTag(const FileUrl &directory) const = 0;
};
