#include "scan_failure.h"

#include <QByteArray>

QString ScanFailure::message() const
{
    const QString reason = error ? QStringLiteral(" (%1)").arg(qt_error_string(error)) : QString();
    switch (kind) {
    case Kind::rootInaccessible:
        return QStringLiteral("Could not access folder: ") + url.path() + reason;
    case Kind::ioError:
        return QStringLiteral("An I/O error occurred while scanning: ") + url.path() + reason;
    case Kind::insufficientMemory:
        return QStringLiteral("Not enough memory to hold the scan of: ") + url.path();
    case Kind::bookmarkResolutionFailed:
        break;
    }
    return QStringLiteral("Stored folder access could not be restored.");
}
