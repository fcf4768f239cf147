// Node identifiers derived from paths alone, so that the same path yields the
// same identifier in every partial tree, final tree and rescan. The hash is
// over the path's bytes: a valid UTF-8 path is its text's UTF-8, and a name
// that is not keeps its own bytes, so distinct names stay distinct.
#pragma once

#include "file_url.h"

#include <QUuid>

QUuid stableScanNodeID(const QString &path);
QUuid stableScanNodeID(const FileUrl &url);
QUuid stableScanNodeIDOfBytes(QByteArrayView path);

// The canonical upper-case hyphenated text of a node identifier.
QString uuidText(const QUuid &id);

// The identifier of the path parent + "/" + name (one slash at the join),
// without building that path.
QUuid stableScanNodeID(QByteArrayView parentPath, QByteArrayView name);

// The two hashes the identifier is made of, for builders that reach millions
// of paths: the forward one continues from a parent's state, the backward
// one runs from the name up through the ancestors' names.
namespace scan_node_hash {
inline constexpr quint64 kPrime = 0x100000001b3ULL;
inline constexpr quint64 kForwardSeed = 0xcbf29ce484222325ULL;
inline constexpr quint64 kBackwardSeed = 0x6c4cc2ed62914e23ULL;

inline quint64 forward(quint64 h, QByteArrayView bytes)
{
    for (const char b : bytes)
        h = (h ^ quint8(b)) * kPrime;
    return h;
}
inline quint64 backward(quint64 h, QByteArrayView bytes)
{
    for (qsizetype i = bytes.size() - 1; i >= 0; --i)
        h = (h ^ quint8(bytes[i])) * kPrime;
    return h;
}
inline quint64 step(quint64 h, char b) { return (h ^ quint8(b)) * kPrime; }

// length: the path's length in bytes.
QUuid identifier(quint64 forwardHash, quint64 backwardHash, quint64 length);

// One component of a folder's path, and whether a "/" stands before it.
struct Piece {
    QByteArrayView bytes;
    bool slashBefore;
};

// One child of a folder: its name, the forward hash and length of its whole
// path (which the caller carries on from the folder's), and where its
// identifier goes.
struct ChildName {
    QByteArrayView name;
    quint64 forward;
    quint64 length;
    QUuid *id;
};

// Identifiers of children of the folder whose path is the pieces, given
// from the first component down to the last; slash: a "/" joins the folder's
// path and the names. The backward hash walks up through the whole path for
// every child, so up to eight children walk it together.
void identifyChildren(const Piece *topDown, qsizetype pieceCount, bool slash, const ChildName *children,
                      qsizetype count);

// A child of a folder whose path is the first pieceCount pieces of a chain:
// children of folders nested in one another (small folders, deep chains)
// walk the pieces they share together.
struct Lane {
    ChildName child;
    qsizetype pieceCount;
    bool slash;
};
inline constexpr int kLanes = 8;
void identifyLanes(const Piece *topDown, const Lane *lanes, int count);
} // namespace scan_node_hash
