// A scanned tree, stored by columns so that tens of millions of nodes fit.
//
// Each node is a position in a handful of arrays: its identifier (16 bytes),
// its parent's position, both sizes, one word of kind, flags and mark, and
// where its name ends in one byte arena shared by every node; a folder's
// children are a range of one position array (compressed rows): 50 bytes
// plus the name, and 5 to 10 more for an open-addressing index of 32-bit
// positions keyed by the identifier (at most 4/5 full). What few nodes carry (link counts, the identity
// of linked files, display names that are not the name's text, URLs that are
// not the parent's plus the name, such as the root's) lives in small hashes.
//
// Records are not stored: node(), children() and path() make ScanNodeRecord
// values on demand, URL and display name included. Walks over many nodes
// (layout, export) read the columns through NodeRef instead.
//
// The arrays are shared between copies: a copy costs O(1), and a change
// (insert, update, setChildren: for small trees made by hand) copies them
// first. A built tree lists each folder's children in position order; the
// first change turns it into explicit child lists, which may name nodes
// without records (they are skipped) as hand-made trees sometimes do.
#pragma once

#include "scan_node_record.h"

#include <QHash>
#include <QList>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class ScanTree {
    struct Data;

public:
    // What a builder is told of a node beside its identifier, parent and
    // name; a childCount of -1 stands for as many as are listed below it.
    using NodeFacts = ScanNodeFacts;

    // A node's columns, read without making its record. Valid while the tree
    // it came from lives and is not changed.
    class NodeRef {
    public:
        NodeRef() = default;
        bool isValid() const { return d_ != nullptr; }
        qint32 position() const { return i_; }
        QUuid id() const;
        qint64 allocatedSize() const;
        qint64 logicalSize() const;
        // Seconds since the epoch; 0 when not known.
        qint64 modifiedAt() const;
        ScanNodeKind kind() const;
        ScanNodeMark mark() const;
        bool isSpecial() const;
        quint32 linkCount() const;
        std::optional<FileIdentity> linkedFile() const;
        // The node's own name as the file system names it; the whole path
        // for a node whose URL is not its parent's plus a name (the root).
        QByteArray nativeName() const;
        // The same without a copy where the tree holds it (scratch otherwise).
        QByteArrayView nativeName(QByteArray &scratch) const;
        // The name as its record shows it.
        QString displayName() const;
        // The same, written into scratch: a plain name costs no allocation
        // once scratch has room.
        QStringView displayName(QString &scratch) const;
        NodeRef parent() const;
        // The children with records, in list order.
        QList<NodeRef> children() const;
        ScanNodeRecord record() const;

    private:
        friend class ScanTree;
        NodeRef(const Data *d, qint32 i) : d_(d), i_(i) {}
        const Data *d_ = nullptr;
        qint32 i_ = -1;
    };

    // Builds a tree node by node, parents first: the engines' and the
    // importer's way, which makes no record.
    class Builder {
    public:
        // rootURL: the first node's URL; capacity: nodes to make room for.
        explicit Builder(const FileUrl &rootURL, qsizetype capacity = 0, qsizetype nameBytes = 0);
        ~Builder();
        Builder(const Builder &) = delete;
        Builder &operator=(const Builder &) = delete;

        // The first node added is the root (parent -1, name ignored); every
        // other's parent is a position returned before. Returns its position.
        qint32 add(const QUuid &id, qint32 parent, QByteArrayView name, const NodeFacts &facts);
        // While add() fills the room the builder was made with, another
        // thread has the pages it is about to write faulted in, so that
        // the adding thread does not stop for each to be zeroed.
        void faultAhead();
        qsizetype size() const;
        // For builders that fill many nodes at once, from several threads:
        // room for count nodes and nameBytes of their names, each node then
        // made once by setNode from any thread, its name at nameFrom in
        // the names (which lie in node order; the root's is empty). Links
        // are told by setLinkCount, on one thread. Child counts are not
        // told: each folder has as many as it lists.
        void allocate(qsizetype count, quint32 nameBytes);
        void setNode(qint32 position, quint32 nameFrom, const QUuid &id, qint32 parent, QByteArrayView name,
                     const NodeFacts &facts);
        void setDisplayName(qint32 position, const QString &name);
        void setMark(qint32 position, ScanNodeMark mark);
        void setLinkCount(qint32 position, quint32 count);
        void setLinkedFile(qint32 position, const FileIdentity &identity);
        // Saturating, as every total of the tree is.
        void addSizes(qint32 position, qint64 allocated, qint64 logical);
        NodeFacts facts(qint32 position) const;
        void setFacts(qint32 position, const NodeFacts &facts);
        qint32 parentOf(qint32 position) const;
        // For builders that learn identifiers later: any time before finish.
        void setId(qint32 position, const QUuid &id);
        QByteArrayView name(qint32 position) const;
        FileUrl url(qint32 position) const;
        qint64 allocatedSize(qint32 position) const;
        qint64 logicalSize(qint32 position) const;

        // The tree; of two nodes with one identifier the later is found,
        // unless duplicateAt is given: then it receives the position of the
        // first node whose identifier came before and the tree is empty.
        ScanTree finish(qsizetype *duplicateAt = nullptr);

    private:
        class PageFaulter;
        void askFaulter();

        std::shared_ptr<Data> d_;
        std::unique_ptr<PageFaulter> faulter_;
        size_t faultedNodesUntil_ = 0, faultedNamesUntil_ = 0; // where its ranges may reach
        std::vector<qint32> childCounts_; // as told; kept where the lists disagree
        std::mutex storedLock_;           // the stored allocations, filled from several threads
    };

    QUuid rootID;

    qsizetype size() const;
    bool isEmpty() const { return size() == 0; }
    bool contains(const QUuid &id) const { return position(id) >= 0; }

    std::optional<ScanNodeRecord> rootNode() const { return node(rootID); }
    std::optional<ScanNodeRecord> node(const std::optional<QUuid> &id) const;
    // The listed children that have records, in list order.
    QList<ScanNodeRecord> children(const QUuid &parentID) const;
    // The records of some of parent's children (refs from its children()),
    // in the order given; a long list is made on two threads.
    QList<ScanNodeRecord> childRecords(const NodeRef &parent, const QList<NodeRef> &children) const;
    QList<QUuid> childIDs(const QUuid &parentID) const;
    // From the topmost reachable ancestor down to id; a cycle ends the walk.
    QList<ScanNodeRecord> path(const QUuid &id) const;
    // Of each file with more than one link: its identity, which tells its
    // links from another file's when the tree is written out and read back.
    std::optional<FileIdentity> linkedFile(const QUuid &id) const;

    NodeRef ref(const QUuid &id) const;
    // Every record, in the order the nodes were added.
    void forEachNode(const std::function<void(const ScanNodeRecord &)> &visit) const;
    // Every node's columns, in the same order: for walks that read a few
    // facts of every node and want the records of only some.
    void forEachRef(const std::function<void(const NodeRef &)> &visit) const;
    // Every node below id at any depth, without making records; visit
    // returns false to end the walk.
    void forEachRefBelow(const QUuid &id, const std::function<bool(const NodeRef &)> &visit) const;
    // The same as a list, for small trees.
    QList<ScanNodeRecord> records() const;
    // The records that carry mark, in the order of their paths.
    QList<ScanNodeRecord> marked(ScanNodeMark mark) const;

    // Changes, for small trees: a new record is appended to its parent's
    // list when the parent has a record; one with a known identifier
    // replaces the old record and keeps its place in the lists.
    void insert(const ScanNodeRecord &record);
    // Changes the record of id, if there is one.
    bool update(const QUuid &id, const std::function<void(ScanNodeRecord &)> &change);
    void setChildren(const QUuid &parentID, const QList<QUuid> &childIDs);
    void setLinkedFile(const QUuid &id, const FileIdentity &identity);

    // Equal when both hold the same records, child lists and linked files,
    // whatever their order.
    friend bool operator==(const ScanTree &a, const ScanTree &b);

    // What the tree's arrays take, in bytes (for the benchmarks).
    qsizetype memoryUse() const;
    // Whether two trees share their arrays (a copy not yet changed).
    bool sharesStorageWith(const ScanTree &other) const { return d_ && d_ == other.d_; }

private:
    qint32 position(const QUuid &id) const;
    void detach();

    std::shared_ptr<const Data> d_;
};
