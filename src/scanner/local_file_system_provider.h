// FileSystemProviding on the local Linux file system: getdents/statx without
// following symbolic links, readability by access(2), names as bytes.
// Directories are opened relative to the directory they were listed in,
// which it keeps open for a while, so a walk of any depth opens one path
// component at a time and never follows a link that was swapped in for a
// folder; paths of any length work.
#pragma once

#include "file_system_providing.h"

#include <deque>
#include <mutex>

class LocalFileSystemProvider : public FileSystemProviding {
public:
    LocalFileSystemProvider() = default;
    ~LocalFileSystemProvider() override;
    LocalFileSystemProvider(const LocalFileSystemProvider &) = delete;
    LocalFileSystemProvider &operator=(const LocalFileSystemProvider &) = delete;

    QList<ChildEntry> childEntries(const FileUrl &directory) const override;
    NodeResourceValues resourceValues(const FileUrl &url) const override;
    bool holdsCacheTag(const FileUrl &directory) const override;

    // Listed directories kept open for their children.
    static constexpr size_t kKeptDirectories = 64;

private:
    struct OpenFolder {
        FileUrl::Folder folder; // what the children's URLs were appended to
        int fd;
    };
    // A descriptor of url's folder (the caller closes it), or -1.
    int duplicateFolderOf(const FileUrl &url) const;
    void closeKeptFolders() const;

    mutable std::mutex mutex_;
    mutable std::deque<OpenFolder> open_; // newest last
};
