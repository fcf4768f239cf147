// A file URL as the scanner uses it: an absolute path plus whether it names a
// directory. It holds its own last component and shares its folder's path
// with its siblings, so that each of millions of tree records can carry its
// own URL for little more than the cost of its name.
#pragma once

#include <QString>
#include <memory>

class FileUrl {
    struct Node;

public:
    // The folder part shared by all children appended through it.
    using Folder = std::shared_ptr<const Node>;

    FileUrl() = default;
    // path is taken as it stands; a trailing "/" marks a directory as well.
    static FileUrl fromPath(const QString &path, bool isDirectory = false);

    bool isEmpty() const { return !parent_ && last_.isEmpty(); }
    bool isDirectory() const { return isDirectory_; }

    // The path as given, without percent-encoding (a directory's may end with "/").
    QString rawPath() const;
    // The path without a trailing slash, except for the file-system root.
    QString path() const;
    QString lastPathComponent() const;

    // Dot segments and repeated slashes removed; a trailing slash is kept.
    FileUrl standardized() const;
    FileUrl appending(const QString &component, bool isDirectory) const;

    // For appending many children to one URL without repeating its path.
    Folder asFolder() const;
    static FileUrl child(const Folder &folder, const QString &component, bool isDirectory);

    friend bool operator==(const FileUrl &a, const FileUrl &b)
    {
        return a.isDirectory_ == b.isDirectory_ && a.rawPath() == b.rawPath();
    }

private:
    struct Node {
        Folder parent; // null: component is a whole path
        QString component;
    };
    Folder parent_; // null: last_ is a whole path
    QString last_;
    bool isDirectory_ = false;
};
