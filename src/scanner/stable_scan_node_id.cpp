#include "stable_scan_node_id.h"

#include <QByteArray>
#include <algorithm>
#include <cstdint>

using namespace scan_node_hash;

QUuid scan_node_hash::identifier(quint64 h1, quint64 h2, quint64 n)
{
    // The RFC 4122 bytes are a then c, big-endian; QUuid's fields are those
    // bytes read in order, so they come straight from the two words.
    const quint64 a = h1 ^ n;
    const quint64 c = h2 ^ (n * kPrime);
    const quint8 variant = quint8(0x80 | ((c >> 56) & 0x3F)); // RFC 4122 variant
    return QUuid(uint(a >> 32), ushort(a >> 16), ushort(0x5000 | (a & 0x0FFF)), // version 5
                 variant, uchar(c >> 48), uchar(c >> 40), uchar(c >> 32), uchar(c >> 24), uchar(c >> 16),
                 uchar(c >> 8), uchar(c));
}

namespace {

// K backward hashes carried up through the same pieces at once: each byte
// is one multiply a lane, and the lanes' multiplies overlap.
template <int K>
void walkTogether(const Piece *topDown, qsizetype pieceCount, quint64 *states)
{
    quint64 h[K];
    for (int j = 0; j < K; ++j)
        h[j] = states[j];
    for (qsizetype p = pieceCount - 1; p >= 0; --p) {
        const QByteArrayView bytes = topDown[p].bytes;
        for (qsizetype b = bytes.size() - 1; b >= 0; --b) {
            const quint8 c = quint8(bytes[b]);
            for (int j = 0; j < K; ++j)
                h[j] = (h[j] ^ c) * kPrime;
        }
        if (topDown[p].slashBefore)
            for (int j = 0; j < K; ++j)
                h[j] = step(h[j], '/');
    }
    for (int j = 0; j < K; ++j)
        states[j] = h[j];
}

void walkAll(const Piece *topDown, qsizetype pieceCount, quint64 *states, qsizetype count)
{
    qsizetype done = 0;
    for (; count - done >= 8; done += 8)
        walkTogether<8>(topDown, pieceCount, states + done);
    for (; count - done >= 4; done += 4)
        walkTogether<4>(topDown, pieceCount, states + done);
    for (; count - done >= 2; done += 2)
        walkTogether<2>(topDown, pieceCount, states + done);
    for (; done < count; ++done)
        walkTogether<1>(topDown, pieceCount, states + done);
}

quint64 nameState(const ChildName &child, bool slash)
{
    const quint64 h = backward(kBackwardSeed, child.name);
    return slash ? step(h, '/') : h;
}

} // namespace

void scan_node_hash::identifyChildren(const Piece *topDown, qsizetype pieceCount, bool slash,
                                      const ChildName *children, qsizetype count)
{
    for (qsizetype done = 0; done < count; done += 8) {
        const qsizetype k = std::min<qsizetype>(8, count - done);
        quint64 h[8];
        for (qsizetype j = 0; j < k; ++j)
            h[j] = nameState(children[done + j], slash);
        walkAll(topDown, pieceCount, h, k);
        for (qsizetype j = 0; j < k; ++j)
            *children[done + j].id = identifier(children[done + j].forward, h[j], children[done + j].length);
    }
}

void scan_node_hash::identifyLanes(const Piece *topDown, const Lane *lanes, int count)
{
    quint64 h[kLanes];
    qsizetype shared = PTRDIFF_MAX;
    for (int j = 0; j < count; ++j)
        shared = std::min(shared, lanes[j].pieceCount);
    for (int j = 0; j < count; ++j) {
        h[j] = nameState(lanes[j].child, lanes[j].slash);
        for (qsizetype p = lanes[j].pieceCount - 1; p >= shared; --p) { // alone down to the shared folders
            h[j] = backward(h[j], topDown[p].bytes);
            if (topDown[p].slashBefore)
                h[j] = step(h[j], '/');
        }
    }
    walkAll(topDown, shared, h, count);
    for (int j = 0; j < count; ++j)
        *lanes[j].child.id = identifier(lanes[j].child.forward, h[j], lanes[j].child.length);
}

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QUuid stableScanNodeIDOfBytes(QByteArrayView path)
{
    if (path.isEmpty())
        path = "/";
    return identifier(forward(kForwardSeed, path), backward(kBackwardSeed, path), quint64(path.size()));
}

QUuid stableScanNodeID(const QString &path)
{
    const QByteArray bytes = path.toUtf8();
    return stableScanNodeIDOfBytes(bytes);
}

QUuid stableScanNodeID(QByteArrayView parentPath, QByteArrayView name)
{
    // The bytes are parent, then "/" when there is a name and the parent
    // does not already end with one, then name.
    const bool slash = !name.isEmpty() && !parentPath.endsWith('/');
    const quint64 n = quint64(parentPath.size() + (slash ? 1 : 0) + name.size());
    if (n == 0)
        return stableScanNodeIDOfBytes("/");
    quint64 h1 = forward(kForwardSeed, parentPath);
    if (slash)
        h1 = step(h1, '/');
    h1 = forward(h1, name);
    quint64 h2 = backward(kBackwardSeed, name);
    if (slash)
        h2 = step(h2, '/');
    h2 = backward(h2, parentPath);
    return identifier(h1, h2, n);
}

QUuid stableScanNodeID(const FileUrl &url)
{
    // Hashed piece by piece: a URL deep in a tree shares its folders' bytes
    // and is never joined into one string.
    QList<QByteArrayView> pieces;
    QByteArray scratch;
    url.standardized().nativePieces(pieces, scratch);
    quint64 h1 = kForwardSeed, n = 0;
    QList<bool> slashBefore(pieces.size(), false);
    char lastByte = 0;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0 && lastByte != '/') {
            h1 = step(h1, '/');
            ++n;
            slashBefore[i] = true;
        }
        h1 = forward(h1, pieces[i]);
        n += quint64(pieces[i].size());
        if (!pieces[i].isEmpty())
            lastByte = pieces[i].back();
    }
    if (n == 0)
        return stableScanNodeIDOfBytes("/");
    quint64 h2 = kBackwardSeed;
    for (qsizetype i = pieces.size() - 1; i >= 0; --i) {
        h2 = backward(h2, pieces[i]);
        if (slashBefore[i])
            h2 = step(h2, '/');
    }
    return identifier(h1, h2, n);
}
