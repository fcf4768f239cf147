// FileSystemProviding on the local Linux file system: getdents/statx without
// following symbolic links, readability by access(2), and paths of any
// length (deep paths are opened piece by piece like the native scan does).
#pragma once

#include "file_system_providing.h"

class LocalFileSystemProvider : public FileSystemProviding {
public:
    QList<ChildEntry> childEntries(const FileUrl &directory) const override;
    NodeResourceValues resourceValues(const FileUrl &url) const override;
};
