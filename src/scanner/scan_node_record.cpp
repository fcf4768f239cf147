#include "scan_node_record.h"

namespace {

// Every name of a mark, in one place: the key the JSON report gives it, the
// value of "excluded" that scan files give it (none for read_error), and
// the text people read.
struct MarkNames {
    ScanNodeMark mark;
    const char *reportKey;
    const char *exclusionKey;
    const char *text;
};
constexpr MarkNames kMarkNames[] = {
    {ScanNodeMark::otherFileSystem, "otherfs", "otherfs", "Other file system"},
    {ScanNodeMark::kernelFileSystem, "kernfs", "kernfs", "Kernel file system"},
    {ScanNodeMark::excluded, "excluded", "pattern", "Excluded"},
    {ScanNodeMark::unreadable, "unreadable", nullptr, "Could not be read"},
};

const MarkNames *namesOf(ScanNodeMark mark)
{
    for (const MarkNames &names : kMarkNames) {
        if (names.mark == mark)
            return &names;
    }
    return nullptr;
}

} // namespace

QString scanNodeMarkText(const ScanNodeRecord &node)
{
    if (const MarkNames *names = namesOf(node.mark))
        return QString::fromLatin1(names->text);
    if (node.linkCount > 1)
        return QStringLiteral("Hard link \u2022 %1 links").arg(node.linkCount);
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
    const MarkNames *names = namesOf(mark);
    return names ? QString::fromLatin1(names->reportKey) : QString();
}

const char *scanFileExclusionKey(ScanNodeMark mark)
{
    const MarkNames *names = namesOf(mark);
    return names ? names->exclusionKey : nullptr;
}

ScanNodeMark scanNodeMarkOfExclusionKey(QByteArrayView key)
{
    if (key == "othfs") // what ncdu 1.9 wrote
        return ScanNodeMark::otherFileSystem;
    for (const MarkNames &names : kMarkNames) {
        if (names.exclusionKey && key == names.exclusionKey)
            return names.mark;
    }
    return ScanNodeMark::excluded;
}
