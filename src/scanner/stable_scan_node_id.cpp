#include "stable_scan_node_id.h"

#include <QByteArray>

namespace {

constexpr quint64 kFnvPrime = 0x100000001b3ULL;

} // namespace

QUuid stableScanNodeID(const QString &path)
{
    const QByteArray bytes = (path.isEmpty() ? QStringLiteral("/") : path).toUtf8();
    return stableScanNodeID(QByteArrayView(bytes), QByteArrayView());
}

QUuid stableScanNodeID(QByteArrayView parentPath, QByteArrayView name)
{
    // The bytes are parent, then "/" when there is a name and the parent
    // does not already end with one, then name.
    const bool slash = !name.isEmpty() && !parentPath.endsWith('/');
    const quint64 n = quint64(parentPath.size() + (slash ? 1 : 0) + name.size());
    quint64 h1 = 0xcbf29ce484222325ULL;
    for (const char b : parentPath)
        h1 = (h1 ^ quint8(b)) * kFnvPrime;
    if (slash)
        h1 = (h1 ^ quint8('/')) * kFnvPrime;
    for (const char b : name)
        h1 = (h1 ^ quint8(b)) * kFnvPrime;
    quint64 h2 = 0x6c4cc2ed62914e23ULL;
    for (qsizetype i = name.size() - 1; i >= 0; --i)
        h2 = (h2 ^ quint8(name[i])) * kFnvPrime;
    if (slash)
        h2 = (h2 ^ quint8('/')) * kFnvPrime;
    for (qsizetype i = parentPath.size() - 1; i >= 0; --i)
        h2 = (h2 ^ quint8(parentPath[i])) * kFnvPrime;
    const quint64 a = h1 ^ n;
    const quint64 c = h2 ^ (n * kFnvPrime);

    char id[16];
    for (int i = 0; i < 8; ++i) {
        id[i] = char(quint8(a >> (56 - 8 * i)));
        id[8 + i] = char(quint8(c >> (56 - 8 * i)));
    }
    id[6] = char(0x50 | (quint8(id[6]) & 0x0F)); // version 5
    id[8] = char(0x80 | (quint8(id[8]) & 0x3F)); // RFC 4122 variant
    return QUuid::fromRfc4122(QByteArrayView(id, 16));
}

QUuid stableScanNodeID(const FileUrl &url)
{
    return stableScanNodeID(url.standardized().path());
}
