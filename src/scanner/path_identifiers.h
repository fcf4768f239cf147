// Identifiers of the many paths of one scanned tree, for the engines' tree
// builders. A folder keeps only its own name (once, in one arena) and the
// forward hash of its path, never the path itself, which would cost the
// square of the depth. The backward hash has to walk up through every
// ancestor's name, so the children of one folder walk together, up to eight
// at a time, and each thread keeps the chain of the folder it last walked.
#pragma once

#include "stable_scan_node_id.h"

#include <atomic>
#include <vector>

class PathIdentifiers {
public:
    // topPath: the scanned root's path as the file system names it, without
    // a trailing slash (except "/"); it is folder 0.
    explicit PathIdentifiers(const QByteArray &topPath);

    // Adds a folder below parent (an index from here); one thread, parents
    // first, and not while identify() runs on another.
    int32_t addFolder(int32_t parent, QByteArrayView name);
    // Folders so far, the top included: the next one's index.
    int32_t folderCount() const { return int32_t(links_.size()); }

    struct Child {
        QByteArrayView name;
        QUuid *id; // where the identifier goes
    };
    // Identifiers of children of folder; callable from several threads at once.
    void identify(int32_t folder, const Child *children, qsizetype count) const;

    QUuid topID() const { return stableScanNodeIDOfBytes(top_); }

    // Identifies runs of children as identify() does, but gathers the small
    // runs of folders nested in one another (a deep chain, folders of a few
    // files) to walk their shared path together. One a thread; every
    // identifier is written once flush() or the destructor has returned.
    class Batch {
    public:
        explicit Batch(const PathIdentifiers &paths) : paths_(paths) {}
        ~Batch() { flush(); }
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;
        void add(int32_t folder, const Child *children, qsizetype count);
        void flush();

    private:
        const PathIdentifiers &paths_;
        scan_node_hash::Lane lanes_[scan_node_hash::kLanes];
        int count_ = 0;
        int32_t deepest_ = -1;
    };

private:
    struct Link {
        int32_t parent;      // -1 for the top
        uint32_t offset;     // of the name in arena_
        uint32_t size;
        int32_t depth;       // the top's is 0
        bool slashBefore;    // a "/" joins the parent's path and the name
        bool endsWithSlash;  // the path ends with "/" (only "/" itself)
        quint64 forward;     // forward hash of the whole path
        quint64 length;      // of that path
    };
    const std::vector<scan_node_hash::Piece> &chainTo(int32_t folder) const;
    // The child of folder named name, before its identifier is known.
    scan_node_hash::ChildName childName(int32_t folder, const Child &child, bool *slash) const;
    bool isWithin(int32_t folder, int32_t ancestor) const;

    QByteArray top_;
    std::vector<Link> links_;
    QByteArray arena_;
    // Tells one instance's per-thread chain from another's.
    static inline std::atomic<quint64> nextSerial{0};
    const quint64 serial_;
};
