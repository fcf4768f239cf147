#include "scan_node_record.h"

QString scanNodeMarkText(const ScanNodeRecord &node)
{
    switch (node.mark) {
    case ScanNodeMark::none:
        if (node.linkCount > 1)
            return QStringLiteral("Hard link \u2022 %1 links").arg(node.linkCount);
        break;
    case ScanNodeMark::otherFileSystem: return QStringLiteral("Other file system");
    case ScanNodeMark::kernelFileSystem: return QStringLiteral("Kernel file system");
    case ScanNodeMark::excluded: return QStringLiteral("Excluded");
    case ScanNodeMark::unreadable: return QStringLiteral("Could not be read");
    }
    return {};
}

QString scanNodeDetailText(const ScanNodeRecord &node)
{
    if (const QString marked = scanNodeMarkText(node); !marked.isEmpty())
        return marked;
    switch (node.kind) {
    case ScanNodeKind::file: return QStringLiteral("File");
    case ScanNodeKind::package: return QStringLiteral("Package");
    case ScanNodeKind::directory: break;
    }
    return QString::number(node.childCount) + QStringLiteral(" children");
}

QString scanNodeMarkKey(ScanNodeMark mark)
{
    switch (mark) {
    case ScanNodeMark::none: break;
    case ScanNodeMark::otherFileSystem: return QStringLiteral("otherfs");
    case ScanNodeMark::kernelFileSystem: return QStringLiteral("kernfs");
    case ScanNodeMark::excluded: return QStringLiteral("excluded");
    case ScanNodeMark::unreadable: return QStringLiteral("unreadable");
    }
    return {};
}
