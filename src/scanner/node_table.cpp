#include "node_table.h"

#include <cstring>
#include <sys/mman.h>

namespace {

quint64 tagOf(const QUuid &id)
{
    // Identifiers are hashes of paths already: their leading bytes are spread
    // evenly, so they index the table as they are.
    quint64 tag;
    std::memcpy(&tag, &id, sizeof tag);
    return tag ^ (tag >> 29);
}

// The record array and the index are large and written once: on 2 MiB pages
// they cost a few dozen page faults instead of tens of thousands.
void adviseHugePages(const void *block, size_t bytes)
{
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + huge - 1) & ~(huge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(huge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

} // namespace

std::vector<ScanNodeRecord> NodeTable::recordRoom(qsizetype capacity)
{
    std::vector<ScanNodeRecord> records;
    records.reserve(size_t(capacity));
    adviseHugePages(records.data(), size_t(capacity) * sizeof(ScanNodeRecord));
    return records;
}

std::vector<ScanNodeRecord> NodeTable::recordArray(qsizetype count)
{
    std::vector<ScanNodeRecord> records = recordRoom(count);
    records.resize(size_t(count));
    return records;
}

NodeTable NodeTable::fromRecords(std::vector<ScanNodeRecord> &&records, qsizetype *duplicateAt)
{
    NodeTable table;
    table.d_ = std::make_shared<Data>();
    table.growIndex(records.size());
    const size_t mask = table.d_->table.size() - 1;
    for (size_t i = 0; i < records.size(); ++i) {
        const quint64 tag = tagOf(records[i].id);
        size_t at = size_t(tag) & mask;
        for (;; at = (at + 1) & mask) {
            const Slot &slot = table.d_->table[at];
            if (slot.index < 0)
                break;
            if (slot.tag == tag && records[size_t(slot.index)].id == records[i].id) {
                if (duplicateAt) {
                    *duplicateAt = qsizetype(i);
                    return NodeTable();
                }
                // Two records for one identifier: rare enough to rebuild by insert.
                NodeTable slow;
                slow.reserve(qsizetype(records.size()));
                for (ScanNodeRecord &r : records)
                    slow.insert(std::move(r));
                return slow;
            }
        }
        table.d_->table[at] = Slot{tag, qint32(i)};
    }
    table.d_->records = std::move(records);
    return table;
}

void NodeTable::detach()
{
    if (!d_)
        d_ = std::make_shared<Data>();
    else if (d_.use_count() > 1)
        d_ = std::make_shared<Data>(*d_);
}

void NodeTable::reserve(qsizetype count)
{
    detach();
    if (size_t(count) > d_->records.capacity()) {
        d_->records.reserve(size_t(count));
        adviseHugePages(d_->records.data(), d_->records.capacity() * sizeof(ScanNodeRecord));
    }
    growIndex(size_t(count));
}

void NodeTable::growIndex(size_t wanted)
{
    size_t capacity = 16;
    while (capacity < wanted * 2)
        capacity *= 2;
    if (capacity <= d_->table.size())
        return;
    std::vector<Slot> table;
    table.reserve(capacity); // advised before the first write touches it
    adviseHugePages(table.data(), capacity * sizeof(Slot));
    table.resize(capacity);
    const size_t mask = capacity - 1;
    for (const Slot &old : d_->table) {
        if (old.index < 0)
            continue;
        size_t at = size_t(old.tag) & mask;
        while (table[at].index >= 0)
            at = (at + 1) & mask;
        table[at] = old;
    }
    d_->table = std::move(table);
}

qint32 NodeTable::indexOf(const QUuid &id) const
{
    if (!d_ || d_->table.empty())
        return -1;
    const quint64 tag = tagOf(id);
    const size_t mask = d_->table.size() - 1;
    for (size_t at = size_t(tag) & mask;; at = (at + 1) & mask) {
        const Slot &slot = d_->table[at];
        if (slot.index < 0)
            return -1;
        if (slot.tag == tag && d_->records[size_t(slot.index)].id == id)
            return slot.index;
    }
}

const ScanNodeRecord *NodeTable::find(const QUuid &id) const
{
    const qint32 index = indexOf(id);
    return index < 0 ? nullptr : &d_->records[size_t(index)];
}

ScanNodeRecord *NodeTable::findMutable(const QUuid &id)
{
    if (indexOf(id) < 0)
        return nullptr;
    detach();
    return &d_->records[size_t(indexOf(id))];
}

void NodeTable::insert(ScanNodeRecord record)
{
    detach();
    if (d_->table.size() < (d_->records.size() + 1) * 2)
        growIndex(std::max<size_t>(d_->records.size() + 1, d_->records.size() * 2));
    const quint64 tag = tagOf(record.id);
    const size_t mask = d_->table.size() - 1;
    for (size_t at = size_t(tag) & mask;; at = (at + 1) & mask) {
        Slot &slot = d_->table[at];
        if (slot.index < 0) {
            slot.tag = tag;
            slot.index = qint32(d_->records.size());
            d_->records.push_back(std::move(record));
            return;
        }
        if (slot.tag == tag && d_->records[size_t(slot.index)].id == record.id) {
            d_->records[size_t(slot.index)] = std::move(record);
            return;
        }
    }
}

void NodeTable::insert(const NodeTable &other)
{
    if (other.isEmpty())
        return;
    reserve(size() + other.size());
    for (const ScanNodeRecord &record : other)
        insert(record);
}

NodeTable::const_iterator NodeTable::begin() const
{
    static const std::vector<ScanNodeRecord> none;
    return d_ ? d_->records.cbegin() : none.cbegin();
}

NodeTable::const_iterator NodeTable::end() const
{
    static const std::vector<ScanNodeRecord> none;
    return d_ ? d_->records.cend() : none.cend();
}

bool operator==(const NodeTable &a, const NodeTable &b)
{
    if (a.d_ == b.d_)
        return true;
    if (a.size() != b.size())
        return false;
    for (const ScanNodeRecord &record : a) {
        const ScanNodeRecord *other = b.find(record.id);
        if (!other || !(*other == record))
            return false;
    }
    return true;
}
