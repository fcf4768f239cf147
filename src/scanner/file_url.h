// A file URL as the scanner uses it: an absolute path plus whether it names a
// directory. It holds its own last component and shares its folder's path
// with its siblings, so that each of millions of tree records can carry its
// own URL for little more than the cost of its name.
//
// Linux names are bytes. A component that is not valid UTF-8 keeps its raw
// bytes beside the repaired text: the text is for people, the bytes
// (nativePath) for everything that goes back to the disk and for the node
// identifier.
#pragma once

#include "file_identity.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>
#include <sys/types.h>

class FileUrl {
    struct Node;

public:
    // The folder part shared by all children appended through it.
    using Folder = std::shared_ptr<const Node>;

    FileUrl() = default;
    // path is taken as it stands; a trailing "/" marks a directory as well.
    static FileUrl fromPath(const QString &path, bool isDirectory = false);
    // The same for a path as the file system names it.
    static FileUrl fromNativePath(const QByteArray &path, bool isDirectory = false);

    bool isEmpty() const { return !parent_ && last_.isEmpty(); }
    bool isDirectory() const { return isDirectory_; }

    // The path as given, as text (a directory's may end with "/").
    QString rawPath() const;
    // The path without a trailing slash, except for the file-system root.
    QString path() const;
    QString lastPathComponent() const;
    // The path's own bytes, as given and without a trailing slash.
    QByteArray nativePath() const;
    QByteArray nativeFilePath() const;
    QByteArray nativeLastPathComponent() const;

    // Dot segments and repeated slashes removed; a trailing slash is kept.
    FileUrl standardized() const;
    FileUrl appending(const QString &component, bool isDirectory) const;

    // The folder this URL was appended to; null for a URL made from a whole path.
    const Folder &folder() const { return parent_; }

    // For appending many children to one URL without repeating its path.
    Folder asFolder() const;
    static FileUrl child(const Folder &folder, const QString &component, bool isDirectory);
    // raw: the component's bytes when they are not valid UTF-8, else empty.
    static FileUrl child(const Folder &folder, const QString &component, const QByteArray &raw,
                         bool isDirectory);

    // The bytes of nativeFilePath() in pieces from the top down, to be joined
    // with one "/" wherever the text so far does not end with one; the views
    // stay valid while this URL and scratch live.
    void nativePieces(QList<QByteArrayView> &pieces, QByteArray &scratch) const;

    friend bool operator==(const FileUrl &a, const FileUrl &b)
    {
        return a.isDirectory_ == b.isDirectory_ && a.nativePath() == b.nativePath();
    }

private:
    struct Node {
        mutable Folder parent; // null: component is a whole path
        QString component;
        QByteArray bytes; // the component as the file system names it
        bool invalid;     // bytes are not valid UTF-8
        // Lets go of a chain of ancestors that dies with it one by one: a
        // chain thousands deep would otherwise overflow the stack.
        ~Node();
    };
    Folder parent_; // null: last_ is a whole path
    QString last_;
    QByteArray rawLast_;
    bool isDirectory_ = false;
};

// Strict UTF-8: no overlong forms, surrogates, code points past U+10FFFF or
// sequences cut short, at the end included.
bool isValidUtf8(QByteArrayView bytes);
// The text people see for a name that is bytes (invalid sequences repaired,
// control characters shown as their pictures, a newline as U+2424), and the
// bytes to keep beside it (empty when the text says it all).
QString displayTextOf(QByteArrayView bytes, QByteArray *rawIfInvalid);
// The same written into scratch: printable ASCII costs no allocation once
// scratch has room.
QStringView displayTextOf(QByteArrayView bytes, QString &scratch);
