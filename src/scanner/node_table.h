// The records of a scanned tree, keyed by node identifier: a dictionary that
// keeps its records in one array in insertion order, indexed by an
// open-addressing table. Copies share both (copy-on-write), so handing a tree
// of a million nodes to background work costs O(1); building one writes two
// large blocks front to back instead of a million scattered nodes.
#pragma once

#include "scan_node_record.h"

#include <memory>
#include <vector>

class NodeTable {
public:
    using const_iterator = std::vector<ScanNodeRecord>::const_iterator;

    qsizetype size() const { return d_ ? qsizetype(d_->records.size()) : 0; }
    bool isEmpty() const { return size() == 0; }
    void reserve(qsizetype count);

    bool contains(const QUuid &id) const { return find(id) != nullptr; }
    // nullptr when there is no record for id.
    const ScanNodeRecord *find(const QUuid &id) const;
    ScanNodeRecord *findMutable(const QUuid &id);

    // count default records on memory fit for a large table, to be filled
    // (from several threads, each its own records) and handed to fromRecords.
    static std::vector<ScanNodeRecord> recordArray(qsizetype count);
    // No records yet, but room for capacity of them on the same memory.
    static std::vector<ScanNodeRecord> recordRoom(qsizetype capacity);
    // A table of these records; of two with one identifier the later wins,
    // unless duplicateAt is given: then it receives the index of the first
    // record whose identifier came before, the table is empty and records
    // are left as they were.
    static NodeTable fromRecords(std::vector<ScanNodeRecord> &&records, qsizetype *duplicateAt = nullptr);

    // Adds the record, replacing one stored under the same identifier.
    void insert(ScanNodeRecord record);
    void insert(const NodeTable &other);

    const_iterator begin() const;
    const_iterator end() const;

    // Equal when both hold the same records, whatever their order.
    friend bool operator==(const NodeTable &a, const NodeTable &b);

private:
    struct Slot {
        quint64 tag; // the identifier's first 8 bytes; the table's hash
        qint32 index = -1;
    };
    struct Data {
        std::vector<ScanNodeRecord> records;
        std::vector<Slot> table; // a power of two, at most half full
    };

    void detach();
    void growIndex(size_t wanted);
    qint32 indexOf(const QUuid &id) const;

    std::shared_ptr<Data> d_;
};
