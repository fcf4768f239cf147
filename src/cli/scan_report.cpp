#include "scan_report.h"

#include "scan_analysis.h"

#include "byte_count_text.h"
#include "size_order.h"
#include "stable_scan_node_id.h"
#include "sunburst_layout_service.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <algorithm>

namespace {

QString kindKey(ScanNodeKind kind)
{
    switch (kind) {
    case ScanNodeKind::file: return QStringLiteral("file");
    case ScanNodeKind::package: return QStringLiteral("package");
    case ScanNodeKind::directory: break;
    }
    return QStringLiteral("directory");
}

double seconds(const ScanSummary &s)
{
    return double(s.startedAt.msecsTo(s.finishedAt)) / 1000.0;
}

QString shareText(qint64 part, qint64 whole)
{
    return whole > 0 ? QLocale().toString(100.0 * double(part) / double(whole), 'f', 1) + u'%' : QStringLiteral("-");
}

QString dateText(qint64 modifiedAt)
{
    return modifiedAt ? QLocale().toString(QDateTime::fromSecsSinceEpoch(modifiedAt).date(), QLocale::ShortFormat)
                      : QStringLiteral("unknown");
}

QString extensionText(const QByteArray &extension)
{
    return extension.isEmpty() ? QStringLiteral("(no extension)") : u'.' + displayTextOf(extension, nullptr);
}

// Rows of columns, each padded to its widest; the last one left as it is.
QString table(const QList<QStringList> &rows, const QList<bool> &rightAligned)
{
    QList<qsizetype> widths;
    for (const QStringList &row : rows)
        for (qsizetype c = 0; c < row.size(); ++c) {
            if (widths.size() <= c)
                widths.append(0);
            widths[c] = std::max(widths[c], row[c].size());
        }
    QString out;
    for (const QStringList &row : rows) {
        QString line = QStringLiteral("  ");
        for (qsizetype c = 0; c < row.size(); ++c) {
            const bool last = c + 1 == row.size();
            const int width = last ? 0 : int(widths[c]);
            line += rightAligned.value(c) ? row[c].rightJustified(width) : row[c].leftJustified(width);
            if (!last)
                line += QStringLiteral("  ");
        }
        out += line + u'\n';
    }
    return out;
}

// An item of either side with its change, for the lists of what moved most.
struct Changed {
    qint64 change;
    qsizetype removed; // index into the comparison's removed, or -1
    ScanTree::NodeRef node; // in the newer tree, when not removed
};

} // namespace

QList<FileUrl> ScanReport::unreadableFolders() const
{
    QList<FileUrl> found;
    if (summary.unreadableCount == 0)
        return found; // no walk over a tree of millions for nothing
    for (const ScanNodeRecord &r : tree.marked(ScanNodeMark::unreadable))
        found.append(r.url);
    return found;
}

QString ScanReport::text() const
{
    const auto root = tree.rootNode();
    const QLocale locale;
    const bool apparent = measure == SizeMeasure::logical;
    QString out;
    out += summary.rootURL.path() + u'\n';
    out += QStringLiteral("Total: %1 %2\n")
               .arg(byteCountText(root ? sizeOf(*root, measure) : 0),
                    apparent ? QStringLiteral("apparent") : QStringLiteral("allocated"));
    out += QStringLiteral("Items: %1  Folders: %2  Files: %3  Unreadable: %4\n")
               .arg(locale.toString(summary.itemsScanned), locale.toString(summary.directoriesScanned),
                    locale.toString(summary.filesScanned), locale.toString(summary.unreadableCount));
    out += QStringLiteral("Scanned in %1 s\n").arg(locale.toString(seconds(summary), 'f', 2));
    const QList<FileUrl> unreadable = unreadableFolders();
    if (!unreadable.isEmpty()) {
        constexpr qsizetype kNamed = 10;
        out += QStringLiteral("\nCould not be read:\n");
        for (qsizetype i = 0; i < unreadable.size() && i < kNamed; ++i)
            out += QStringLiteral("  ") + unreadable[i].path() + u'\n';
        if (unreadable.size() > kNamed)
            out += QStringLiteral("  ... and %1 more\n").arg(locale.toString(unreadable.size() - kNamed));
    }

    const QList<ScanNodeRecord> children = sortedChildren(tree, tree.rootID, measure);
    const qsizetype shown = std::min<qsizetype>(children.size(), top < 0 ? 20 : top);
    if (shown > 0)
        out += u'\n';
    QStringList sizes, kinds;
    qsizetype sizeWidth = 0, kindWidth = 0;
    for (qsizetype i = 0; i < shown; ++i) {
        sizes.append(byteCountText(sizeOf(children[i], measure)));
        kinds.append(scanNodeDetailText(children[i]));
        sizeWidth = std::max(sizeWidth, sizes.last().size());
        kindWidth = std::max(kindWidth, kinds.last().size());
    }
    for (qsizetype i = 0; i < shown; ++i)
        out += QStringLiteral("%1  %2  %3\n")
                   .arg(sizes[i], int(sizeWidth))
                   .arg(kinds[i], -int(kindWidth))
                   .arg(children[i].displayName);
    if (children.size() > shown)
        out += QStringLiteral("... and %1 more\n").arg(locale.toString(children.size() - shown));
    out += analysisText();
    out += comparisonText();
    return out;
}

QString ScanReport::analysisText() const
{
    QString out;
    const qint64 total = tree.rootNode() ? sizeOf(*tree.rootNode(), measure) : 0;
    const auto sizeOfRef = [this](const ScanTree::NodeRef &r) {
        return measure == SizeMeasure::logical ? r.logicalSize() : r.allocatedSize();
    };
    if (topFiles > 0) {
        QList<QStringList> rows;
        for (const ScanTree::NodeRef &r : ScanAnalysis::largestFiles(tree, tree.rootID, measure, topFiles))
            rows.append({byteCountText(sizeOfRef(r)), shareText(sizeOfRef(r), total), dateText(r.modifiedAt()),
                         displayTextOf(ScanAnalysis::pathBelow(tree, tree.rootID, r), nullptr)});
        out += QStringLiteral("\nLargest files:\n") + table(rows, {true, true, false});
    }
    if (types) {
        const QList<FileTypeRow> byType = ScanAnalysis::fileTypes(tree, tree.rootID, measure);
        QList<QStringList> rows;
        for (const FileTypeRow &t : ScanAnalysis::categories(byType))
            rows.append({byteCountText(t.size), shareText(t.size, total), QLocale().toString(t.count),
                         fileCategoryName(t.category)});
        out += QStringLiteral("\nFile categories:\n") + table(rows, {true, true, true});
        rows.clear();
        for (qsizetype i = 0; i < byType.size() && i < (top < 0 ? 20 : top); ++i) {
            const FileTypeRow &t = byType[i];
            rows.append({byteCountText(t.size), shareText(t.size, total), QLocale().toString(t.count),
                         extensionText(t.extension), fileCategoryName(t.category)});
        }
        out += QStringLiteral("\nFile types:\n") + table(rows, {true, true, true, false});
        if (byType.size() > rows.size())
            out += QStringLiteral("... and %1 more\n").arg(QLocale().toString(byType.size() - rows.size()));
    }
    if (ages) {
        QList<QStringList> rows;
        for (const FileAgeRow &a : ScanAnalysis::fileAges(tree, tree.rootID, measure, now))
            if (a.count > 0)
                rows.append({fileAgeName(a.age), byteCountText(a.size), shareText(a.size, total),
                             QLocale().toString(a.count) + QStringLiteral(" files")});
        out += QStringLiteral("\nLast modified:\n") + table(rows, {false, true, true});
    }
    return out;
}

void ScanReport::addAnalysis(QJsonObject &object) const
{
    const auto sizes = [](const ScanTree::NodeRef &r) {
        return QJsonObject{{"allocated", r.allocatedSize()}, {"logical", r.logicalSize()}};
    };
    if (topFiles > 0) {
        QJsonArray files;
        for (const ScanTree::NodeRef &r : ScanAnalysis::largestFiles(tree, tree.rootID, measure, topFiles)) {
            QJsonObject file = sizes(r);
            file["path"] = displayTextOf(ScanAnalysis::pathBelow(tree, tree.rootID, r), nullptr);
            file["modified"] = r.modifiedAt() ? QJsonValue(r.modifiedAt()) : QJsonValue();
            files.append(file);
        }
        object["largestFiles"] = files;
    }
    if (types) {
        const QList<FileTypeRow> byType = ScanAnalysis::fileTypes(tree, tree.rootID, measure);
        QJsonArray rows, categories;
        for (const FileTypeRow &t : byType)
            rows.append(QJsonObject{{"extension", displayTextOf(t.extension, nullptr)},
                                    {"category", fileCategoryKey(t.category)},
                                    {"size", t.size},
                                    {"count", t.count}});
        for (const FileTypeRow &t : ScanAnalysis::categories(byType))
            categories.append(
                QJsonObject{{"category", fileCategoryKey(t.category)}, {"size", t.size}, {"count", t.count}});
        object["types"] = rows;
        object["categories"] = categories;
    }
    if (ages) {
        QJsonArray rows;
        for (const FileAgeRow &a : ScanAnalysis::fileAges(tree, tree.rootID, measure, now))
            rows.append(QJsonObject{{"age", fileAgeKey(a.age)}, {"size", a.size}, {"count", a.count}});
        object["ages"] = rows;
    }
}

QByteArray ScanReport::json() const
{
    const auto root = tree.rootNode();
    QJsonObject object;
    object["root"] = summary.rootURL.path();
    object["engine"] = engine;
    object["rootId"] = uuidText(tree.rootID);
    object["items"] = summary.itemsScanned;
    object["directories"] = summary.directoriesScanned;
    object["files"] = summary.filesScanned;
    object["unreadable"] = summary.unreadableCount;
    object["sizeShown"] = measure == SizeMeasure::logical ? "logical" : "allocated";
    QJsonArray unreadable;
    for (const FileUrl &url : unreadableFolders())
        unreadable.append(url.path());
    object["unreadableFolders"] = unreadable;
    object["allocated"] = root ? root->allocatedSize : 0;
    object["logical"] = root ? root->logicalSize : 0;
    object["seconds"] = seconds(summary);
    QJsonArray children;
    const QList<ScanNodeRecord> sorted = sortedChildren(tree, tree.rootID, measure);
    const qsizetype shown = top < 0 ? sorted.size() : std::min<qsizetype>(sorted.size(), top);
    for (qsizetype i = 0; i < shown; ++i) {
        const ScanNodeRecord &r = sorted[i];
        QJsonObject child{{"id", uuidText(r.id)},
                          {"name", r.displayName},
                          {"kind", kindKey(r.kind)},
                          {"allocated", r.allocatedSize},
                          {"logical", r.logicalSize},
                          {"childCount", r.childCount}};
        if (r.mark != ScanNodeMark::none)
            child["mark"] = scanNodeMarkKey(r.mark);
        if (r.linkCount > 1) {
            child["hardLink"] = true;
            child["linkCount"] = qint64(r.linkCount);
        }
        children.append(child);
    }
    object["children"] = children;
    addAnalysis(object);
    addComparison(object);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QByteArray ScanReport::segmentsJson() const
{
    QJsonArray array;
    SunburstLayoutService layout;
    layout.measure = measure; // the angles follow the size the report shows
    for (const SunburstSegment &segment : layout.makeSegments(tree, tree.rootID)) {
        array.append(QJsonObject{
            {"id", segment.id},
            {"node", segment.backingNodeID ? QJsonValue(uuidText(*segment.backingNodeID)) : QJsonValue()},
            {"ring", segment.ringIndex},
            {"start", segment.startDegrees},
            {"end", segment.endDegrees},
            {"kind", segment.kind.isOther() ? "other" : "node"},
            {"items", segment.kind.itemCount}});
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

namespace {

// The items that grew most (grew) or shrank most, at most limit.
std::vector<Changed> mostChanged(const ScanTree &tree, const ScanComparison &c, SizeMeasure measure, bool grew,
                                 qsizetype limit)
{
    std::vector<Changed> out;
    tree.forEachRefBelow(tree.rootID, [&](const ScanTree::NodeRef &r) {
        const qint64 change = c.change(r, measure);
        if (grew ? change > 0 : change < 0)
            out.push_back({change, -1, r});
        return true;
    });
    if (!grew)
        for (size_t i = 0; i < c.removed.size(); ++i) {
            const ScanTree::NodeRef &gone = c.removed[i].node;
            const qint64 size = measure == SizeMeasure::logical ? gone.logicalSize() : gone.allocatedSize();
            if (size > 0)
                out.push_back({-size, qsizetype(i), gone});
        }
    // Ties in the order of the tree (a folder before what it holds).
    const auto first = [grew](const Changed &a, const Changed &b) {
        if (a.change != b.change)
            return grew ? a.change > b.change : a.change < b.change;
        return std::pair(a.removed, a.node.position()) < std::pair(b.removed, b.node.position());
    };
    const size_t kept = size_t(std::min<qsizetype>(limit, qsizetype(out.size())));
    std::partial_sort(out.begin(), out.begin() + qsizetype(kept), out.end(), first);
    out.resize(kept);
    return out;
}

} // namespace

QString ScanReport::comparisonText() const
{
    if (!comparison)
        return {};
    const ScanComparison &c = *comparison;
    const QLocale locale;
    const ScanTree::NodeRef root = tree.ref(tree.rootID);
    const qint64 now = measure == SizeMeasure::logical ? root.logicalSize() : root.allocatedSize();
    QString out = QStringLiteral("\nSince the scan of %1 (%2):\n")
                      .arg(locale.toString(olderSummary.finishedAt.toLocalTime(), QLocale::ShortFormat), olderFile);
    out += QStringLiteral("Total: %1, was %2: %3\n")
               .arg(byteCountText(now), byteCountText(c.before(root, measure)), byteChangeText(c.change(root, measure)));
    out += QStringLiteral("Items: %1 added, %2 removed\n")
               .arg(locale.toString(c.addedItems), locale.toString(c.removedItems));
    const qsizetype limit = top < 0 ? 20 : top;
    for (const bool grew : {true, false}) {
        QList<QStringList> rows;
        for (const Changed &m : mostChanged(tree, c, measure, grew, limit)) {
            const bool removed = m.removed >= 0;
            const qint64 after = removed ? 0 : (measure == SizeMeasure::logical ? m.node.logicalSize() : m.node.allocatedSize());
            const QString was = removed || !c.isNew(m.node) ? byteCountText(after - m.change) : QStringLiteral("new");
            const QByteArray path = removed ? c.removed[size_t(m.removed)].path : ScanAnalysis::pathBelow(tree, tree.rootID, m.node);
            QString name = displayTextOf(path, nullptr);
            if (m.node.kind() != ScanNodeKind::file)
                name += u'/';
            if (removed)
                name += QStringLiteral("  (removed, %1 items)").arg(locale.toString(c.removed[size_t(m.removed)].items));
            rows.append({byteChangeText(m.change), was, QStringLiteral("\u2192"), removed ? QStringLiteral("gone") : byteCountText(after), name});
        }
        if (!rows.isEmpty())
            out += (grew ? QStringLiteral("\nGrew most:\n") : QStringLiteral("\nShrank most:\n")) +
                   table(rows, {true, true, false, true});
    }
    return out;
}

void ScanReport::addComparison(QJsonObject &object) const
{
    if (!comparison)
        return;
    const ScanComparison &c = *comparison;
    const ScanTree::NodeRef root = tree.ref(tree.rootID);
    const auto sizes = [&](const ScanTree::NodeRef &r, bool removed, QJsonObject &into) {
        const bool isNew = !removed && c.isNew(r);
        into["allocatedBefore"] = removed ? r.allocatedSize() : isNew ? 0 : c.before(r, SizeMeasure::allocated);
        into["allocatedAfter"] = removed ? 0 : r.allocatedSize();
        into["logicalBefore"] = removed ? r.logicalSize() : isNew ? 0 : c.before(r, SizeMeasure::logical);
        into["logicalAfter"] = removed ? 0 : r.logicalSize();
    };
    QJsonObject out{{"olderFile", olderFile},
                    {"olderTimestamp", olderSummary.finishedAt.isValid() ? QJsonValue(olderSummary.finishedAt.toSecsSinceEpoch()) : QJsonValue()},
                    {"added", c.addedItems},
                    {"removed", c.removedItems}};
    sizes(root, false, out);
    const qsizetype limit = top < 0 ? 20 : top;
    for (const bool grew : {true, false}) {
        QJsonArray rows;
        for (const Changed &m : mostChanged(tree, c, measure, grew, limit)) {
            const bool removed = m.removed >= 0;
            QJsonObject row{{"path", displayTextOf(removed ? c.removed[size_t(m.removed)].path
                                                           : ScanAnalysis::pathBelow(tree, tree.rootID, m.node),
                                                   nullptr)},
                            {"kind", kindKey(m.node.kind())},
                            {"change", m.change},
                            {"state", removed ? "removed" : c.isNew(m.node) ? "new" : "changed"}};
            if (removed)
                row["items"] = c.removed[size_t(m.removed)].items;
            sizes(m.node, removed, row);
            rows.append(row);
        }
        out[grew ? "grew" : "shrank"] = rows;
    }
    object["comparison"] = out;
}
