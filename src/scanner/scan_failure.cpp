#include "scan_failure.h"

QString ScanFailure::message() const
{
    switch (kind) {
    case Kind::rootInaccessible:
        return QStringLiteral("Could not access folder: ") + url.path();
    case Kind::ioError:
        return QStringLiteral("An I/O error occurred while scanning: ") + url.path();
    case Kind::insufficientMemory:
        return QStringLiteral("Not enough memory to hold the scan of: ") + url.path();
    case Kind::bookmarkResolutionFailed:
        break;
    }
    return QStringLiteral("Stored folder access could not be restored.");
}
