#include "scan_tree.h"
#include "scan_options.h"

#include <QFile>

#include <QSettings>

#include <QSet>
#include <algorithm>

std::optional<ScanNodeRecord> ScanTree::node(const std::optional<QUuid> &id) const
{
    if (!id)
        return std::nullopt;
    const ScanNodeRecord *record = nodesByID.find(*id);
    if (!record)
        return std::nullopt;
    return *record;
}

QList<ScanNodeRecord> ScanTree::children(const QUuid &parentID) const
{
    QList<ScanNodeRecord> out;
    const auto list = childIDsByParentID.constFind(parentID);
    if (list == childIDsByParentID.cend())
        return out;
    out.reserve(list->size());
    for (const QUuid &id : *list) {
        if (const ScanNodeRecord *record = nodesByID.find(id))
            out.append(*record);
    }
    return out;
}

QList<ScanNodeRecord> ScanTree::path(const QUuid &id) const
{
    QList<ScanNodeRecord> out;
    QSet<QUuid> visited;
    auto current = node(id);
    while (current && !visited.contains(current->id)) {
        visited.insert(current->id);
        out.append(*current);
        current = node(current->parentID);
    }
    std::reverse(out.begin(), out.end());
    return out;
}

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

ScanOptions ScanOptions::fromUserDefaults(const QString &organization, const QString &application)
{
    const QSettings settings(organization, application);
    ScanOptions options;
    options.crossFileSystems = settings.value(QStringLiteral("crossFileSystems"), false).toBool();
    for (const QString &pattern : settings.value(QStringLiteral("excludePatterns")).toStringList())
        options.excludePatterns.append(QFile::encodeName(pattern));
    options.excludeCaches = settings.value(QStringLiteral("excludeCaches"), false).toBool();
    return options;
}

bl::Exclusions ScanOptions::exclusionsBelow(const QByteArray &rootPath) const
{
    std::vector<std::string> patterns;
    for (const QByteArray &p : excludePatterns)
        patterns.push_back(p.toStdString());
    return bl::Exclusions(rootPath.constData(), patterns, excludeCaches);
}
