#include "scan_compare.h"

#include "scan_analysis.h"

#include <deque>
#include <string_view>
#include <unordered_map>

namespace {

// One kind for matching: a folder, a package, a file, or a link or device.
int kindOf(const ScanTree::NodeRef &r)
{
    return r.kind() == ScanNodeKind::file && r.isSpecial() ? 3 : int(r.kind());
}

qint64 itemsBelow(const ScanTree &tree, const ScanTree::NodeRef &r)
{
    qint64 n = 1;
    if (r.kind() != ScanNodeKind::file)
        tree.forEachRefBelow(r.id(), [&n](const ScanTree::NodeRef &) { return ++n, true; });
    return n;
}

} // namespace

std::optional<ScanComparison> ScanComparison::compare(const ScanTree &older, const ScanTree &newer, QString *error,
                                                      const std::atomic<bool> *cancelled)
{
    const ScanTree::NodeRef olderRoot = older.ref(older.rootID), newerRoot = newer.ref(newer.rootID);
    if (!olderRoot.isValid() || !newerRoot.isValid()) {
        if (error)
            *error = QStringLiteral("One of the scans is empty.");
        return std::nullopt;
    }
    const FileUrl olderURL = older.rootNode()->url, newerURL = newer.rootNode()->url;
    if (olderURL.nativePath() != newerURL.nativePath()) {
        if (error)
            *error = QStringLiteral("The scans are of two folders: \u201c%1\u201d and \u201c%2\u201d.")
                         .arg(olderURL.path(), newerURL.path());
        return std::nullopt;
    }
    ScanComparison c;
    c.olderAllocated.assign(size_t(newer.size()), -1);
    c.olderLogical.assign(size_t(newer.size()), -1);
    const auto match = [&c](const ScanTree::NodeRef &was, const ScanTree::NodeRef &is) {
        c.olderAllocated[size_t(is.position())] = was.allocatedSize();
        c.olderLogical[size_t(is.position())] = was.logicalSize();
    };
    match(olderRoot, newerRoot);

    // Folder by folder, from the root: the older children by name, then
    // each newer child found among them or new.
    std::vector<std::pair<ScanTree::NodeRef, ScanTree::NodeRef>> folders{{olderRoot, newerRoot}};
    std::unordered_map<std::string_view, ScanTree::NodeRef> byName;
    std::deque<QByteArray> kept; // names the trees do not hold as bytes of their own
    QByteArray scratch;
    qint64 visited = 0;
    while (!folders.empty()) {
        if (cancelled && (++visited & 0xff) == 0 && cancelled->load(std::memory_order_relaxed))
            return std::nullopt;
        const auto [was, is] = folders.back();
        folders.pop_back();
        const QList<ScanTree::NodeRef> olderChildren = was.children();
        // clear() goes over every bucket, and a map keeps the buckets of
        // its widest folder: after a folder of a million entries each
        // folder would cost a million.
        if (byName.bucket_count() > 2 * size_t(olderChildren.size()) + 1024)
            decltype(byName)().swap(byName); // "= {}" would clear() too
        else
            byName.clear();
        kept.clear();
        const auto nameOf = [&](const ScanTree::NodeRef &r) {
            const QByteArrayView name = r.nativeName(scratch);
            if (name.data() != scratch.constData())
                return std::string_view(name.data(), size_t(name.size()));
            kept.push_back(scratch);
            return std::string_view(kept.back().constData(), size_t(kept.back().size()));
        };
        for (const ScanTree::NodeRef &child : olderChildren)
            byName.emplace(nameOf(child), child);
        for (const ScanTree::NodeRef &child : is.children()) {
            const QByteArrayView name = child.nativeName(scratch);
            const auto found = byName.find(std::string_view(name.data(), size_t(name.size())));
            if (found == byName.end() || kindOf(found->second) != kindOf(child)) {
                c.addedItems += itemsBelow(newer, child);
                continue; // new, or of another kind: removed below
            }
            match(found->second, child);
            if (child.kind() != ScanNodeKind::file)
                folders.emplace_back(found->second, child);
            byName.erase(found);
        }
        for (const auto &[name, gone] : byName) {
            const qint64 items = itemsBelow(older, gone);
            c.removedItems += items;
            c.removed.push_back({gone, ScanAnalysis::pathBelow(older, older.rootID, gone), items});
        }
    }
    return c;
}
