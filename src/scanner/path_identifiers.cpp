#include "path_identifiers.h"

PathIdentifiers::PathIdentifiers(const QByteArray &topPath) : top_(topPath), serial_(nextSerial.fetch_add(1) + 1)
{
    arena_ = top_;
    links_.push_back({-1, 0, uint32_t(top_.size()), 0, false, top_.endsWith('/'),
                      scan_node_hash::forward(scan_node_hash::kForwardSeed, top_), quint64(top_.size())});
}

int32_t PathIdentifiers::addFolder(int32_t parent, QByteArrayView name)
{
    const Link &p = links_[size_t(parent)];
    Link link{parent, uint32_t(arena_.size()), uint32_t(name.size()), p.depth + 1, !p.endsWithSlash, false, 0, 0};
    quint64 h = p.forward;
    if (link.slashBefore)
        h = scan_node_hash::step(h, '/');
    link.forward = scan_node_hash::forward(h, name);
    link.length = p.length + (link.slashBefore ? 1 : 0) + quint64(name.size());
    arena_ += name;
    links_.push_back(link);
    return int32_t(links_.size() - 1);
}

const std::vector<scan_node_hash::Piece> &PathIdentifiers::chainTo(int32_t folder) const
{
    // Consecutive calls are mostly for folders near each other: the chain
    // changes only below their common ancestor.
    thread_local quint64 owner = 0;
    thread_local const char *base = nullptr; // the pieces view the arena: it moves as folders come
    thread_local std::vector<int32_t> folders;
    thread_local std::vector<scan_node_hash::Piece> pieces;
    thread_local std::vector<int32_t> below;
    if (owner != serial_ || base != arena_.constData()) {
        owner = serial_;
        base = arena_.constData();
        folders.clear();
        pieces.clear();
    }
    below.clear();
    int32_t f = folder;
    while (f >= 0 && !(size_t(links_[size_t(f)].depth) < folders.size() && folders[size_t(links_[size_t(f)].depth)] == f)) {
        below.push_back(f);
        f = links_[size_t(f)].parent;
    }
    const size_t keep = f < 0 ? 0 : size_t(links_[size_t(f)].depth) + 1;
    folders.resize(keep);
    pieces.resize(keep);
    for (auto it = below.rbegin(); it != below.rend(); ++it) {
        const Link &link = links_[size_t(*it)];
        folders.push_back(*it);
        pieces.push_back({QByteArrayView(arena_.constData() + link.offset, link.size), link.slashBefore});
    }
    return pieces;
}

scan_node_hash::ChildName PathIdentifiers::childName(int32_t folder, const Child &child, bool *slash) const
{
    const Link &parent = links_[size_t(folder)];
    *slash = !parent.endsWithSlash;
    const quint64 start = *slash ? scan_node_hash::step(parent.forward, '/') : parent.forward;
    return {child.name, scan_node_hash::forward(start, child.name),
            parent.length + (*slash ? 1 : 0) + quint64(child.name.size()), child.id};
}

bool PathIdentifiers::isWithin(int32_t folder, int32_t ancestor) const
{
    const int32_t depth = links_[size_t(ancestor)].depth;
    while (folder >= 0 && links_[size_t(folder)].depth > depth)
        folder = links_[size_t(folder)].parent;
    return folder == ancestor;
}

void PathIdentifiers::identify(int32_t folder, const Child *children, qsizetype count) const
{
    if (count <= 0)
        return;
    bool slash = false;
    thread_local std::vector<scan_node_hash::ChildName> names;
    names.clear();
    for (qsizetype i = 0; i < count; ++i)
        names.push_back(childName(folder, children[i], &slash));
    const std::vector<scan_node_hash::Piece> &path = chainTo(folder);
    scan_node_hash::identifyChildren(path.data(), qsizetype(path.size()), slash, names.data(), count);
}

void PathIdentifiers::Batch::add(int32_t folder, const Child *children, qsizetype count)
{
    if (count >= scan_node_hash::kLanes) {
        flush();
        paths_.identify(folder, children, count);
        return;
    }
    if (count_ > 0 && !paths_.isWithin(folder, deepest_))
        flush();
    const qsizetype pieces = qsizetype(paths_.links_[size_t(folder)].depth) + 1;
    for (qsizetype i = 0; i < count; ++i) {
        if (count_ == scan_node_hash::kLanes)
            flush();
        scan_node_hash::Lane &lane = lanes_[count_++];
        lane.child = paths_.childName(folder, children[i], &lane.slash);
        lane.pieceCount = pieces;
        deepest_ = folder;
    }
}

void PathIdentifiers::Batch::flush()
{
    if (count_ == 0)
        return;
    const std::vector<scan_node_hash::Piece> &path = paths_.chainTo(deepest_);
    scan_node_hash::identifyLanes(path.data(), lanes_, count_);
    count_ = 0;
    deepest_ = -1;
}
