#include "scan_tree.h"

#include "two_threads.h"

#include <QSet>
#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <sys/mman.h>

namespace {

enum : quint16 {
    kKindMask = 0x3,
    kHidden = 1 << 2,
    kPackage = 1 << 3,
    kReadable = 1 << 4,
    kSpecial = 1 << 5,
    kUrlIsDirectory = 1 << 6,
    kMarkShift = 7,
    kMarkMask = 0x7 << kMarkShift,
    kOwnUrl = 1 << 10, // the URL is in Data::urls, not the parent's plus the name
    // How the allocated size follows from the logical one (AllocationCode).
    kAllocationShift = 11,
    kAllocationMask = 0x3 << kAllocationShift,
};

// Most files take their size rounded up to a block, nothing (sparse), or
// one block: two bits of the flags say so, and only the rest (folders'
// totals, odd files) keep a number of their own.
enum AllocationCode : quint16 { roundedUp = 0, nothing = 1, oneBlock = 2, stored = 3 };
constexpr qint64 kBlock = 4096;

qint64 roundedUpToBlock(qint64 logical)
{
    qint64 up;
    return logical >= 0 && !__builtin_add_overflow(logical, kBlock - 1, &up) ? up / kBlock * kBlock : -1;
}

AllocationCode allocationCodeOf(qint64 allocated, qint64 logical, bool isFile)
{
    if (!isFile)
        return stored;
    if (allocated == roundedUpToBlock(logical))
        return roundedUp;
    if (allocated == 0)
        return nothing;
    if (allocated == kBlock)
        return oneBlock;
    return stored;
}

__extension__ typedef unsigned __int128 Wide; // for a table of any size: (tag * size) >> 64

// Seconds since the epoch in 32 bits: 0 unknown, a time before 1970 as 1.
quint32 storedTime(qint64 seconds)
{
    return seconds == 0 ? 0 : quint32(std::clamp<qint64>(seconds, 1, std::numeric_limits<quint32>::max()));
}

quint64 tagOf(const QUuid &id)
{
    // Identifiers are hashes of paths, but some of their bits are fixed
    // (version, variant): mixed, so the high bits that pick a slot are even.
    quint64 tag;
    std::memcpy(&tag, &id, sizeof tag);
    tag ^= tag >> 33;
    tag *= 0xff51afd7ed558ccdULL;
    return tag ^ (tag >> 33);
}

quint16 flagsOf(const ScanTree::NodeFacts &f, bool urlIsDirectory)
{
    quint16 flags = quint16(int(f.kind) & kKindMask);
    if (f.isHidden)
        flags |= kHidden;
    if (f.isPackage)
        flags |= kPackage;
    if (f.isReadable)
        flags |= kReadable;
    if (f.isSpecial)
        flags |= kSpecial;
    if (urlIsDirectory)
        flags |= kUrlIsDirectory;
    flags |= quint16(quint16(f.mark) << kMarkShift);
    return flags;
}

const ScanNodeFacts &factsOf(const ScanNodeRecord &r)
{
    return r;
}

// Makes elements without writing them: a column of millions is touched
// only as it is filled, so that the fast engine can hand back its native
// array while the tree grows, instead of holding both whole.
template <typename T>
struct Unwritten : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = Unwritten<U>;
    };
    Unwritten() = default;
    template <typename U>
    Unwritten(const Unwritten<U> &) noexcept
    {
    }
    template <typename U>
    void construct(U *p) noexcept
    {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... A>
    void construct(U *p, A &&...args)
    {
        ::new (static_cast<void *>(p)) U(std::forward<A>(args)...);
    }
};
template <typename T>
using Column = std::vector<T, Unwritten<T>>;

// A QUuid's bytes, trivially made (QUuid zeroes itself).
struct StoredId {
    alignas(4) unsigned char bytes[16];
    StoredId() = default;
    StoredId(const QUuid &id) { std::memcpy(bytes, &id, sizeof bytes); }
    operator QUuid() const
    {
        QUuid id;
        std::memcpy(&id, bytes, sizeof bytes);
        return id;
    }
    friend bool operator==(const StoredId &a, const QUuid &b) { return std::memcmp(a.bytes, &b, sizeof a.bytes) == 0; }
    friend bool operator==(const StoredId &a, const StoredId &b)
    {
        return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
    }
};
static_assert(sizeof(StoredId) == sizeof(QUuid));

// Large arrays written once, kept off huge pages: with a full page cache
// the kernel compacts memory for each huge page at its fault, which doubled
// the import of ten million files.
template <typename V>
void reserveLarge(V &v, size_t count)
{
    v.reserve(count);
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(v.data()) + huge - 1) & ~(huge - 1);
    const uintptr_t end =
        (reinterpret_cast<uintptr_t>(v.data()) + count * sizeof(typename V::value_type)) & ~(huge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_NOHUGEPAGE);
}

// Room reserved beyond the size is never written, so never resident.
template <typename V>
qsizetype bytesOf(const V &v)
{
    return qsizetype(v.size() * sizeof(typename V::value_type));
}

} // namespace

struct ScanTree::Data {
    Column<StoredId> ids;
    Column<qint32> parents; // -1: none
    Column<qint64> logical;
    Column<quint16> flags;
    Column<quint32> modified; // seconds since the epoch, 0 unknown
    Column<quint32> nameEnds; // name i: names[nameEnds[i - 1], nameEnds[i])
    Column<char> names;
    // Children in compressed rows: those of i are childList[childStarts[i],
    // childStarts[i + 1]), or the positions of that range themselves when
    // the nodes come in order of their parents (rowsAreNodes, as a scan
    // builds them); empty while the lists are explicit.
    std::vector<qint32> childStarts, childList;
    bool rowsAreNodes = false;
    static constexpr quint32 kEmptySlot = ~quint32(0);
    std::vector<quint32> lookup; // positions by identifier, at most 4/5 full
    quint32 positionMask = 0;
    QHash<qint32, qint64> allocatedStored; // of nodes whose code is AllocationCode::stored

    QHash<qint32, FileUrl> urls;
    QHash<qint32, QString> displayNames;
    QHash<qint32, quint32> linkCounts;
    QHash<qint32, FileIdentity> identities;
    QHash<qint32, qint64> childCounts;
    QHash<qint32, QUuid> danglingParents; // a parent identifier without a record

    bool listed = false; // children from lists instead of rows
    QHash<qint32, QList<QUuid>> lists;

    qint32 size() const { return qint32(ids.size()); }

    // Where a tag starts probing: its share of the table, any size.
    size_t slotOf(quint64 tag) const { return size_t(Wide(tag) * lookup.size() >> 64); }
    size_t nextSlot(size_t at) const { return at + 1 == lookup.size() ? 0 : at + 1; }
    // A slot holds a position and, in the bits the table's size leaves, a
    // piece of its tag, so that probing past other identifiers rarely reads
    // their whole one (a miss of the cache each, most of an index's time).
    quint32 entryOf(qint32 i, quint64 tag) const { return (quint32(tag) & ~positionMask) | quint32(i); }
    bool mayHold(quint32 entry, quint64 tag) const { return ((entry ^ quint32(tag)) & ~positionMask) == 0; }
    qint32 positionIn(quint32 entry) const { return qint32(entry & positionMask); }

    void resetLookup(size_t capacity)
    {
        std::vector<quint32> fresh;
        reserveLarge(fresh, capacity);
        fresh.assign(capacity, kEmptySlot);
        lookup.swap(fresh);
        // Every position is below the size; all ones in the field are none.
        const int bits = std::min(31, int(std::bit_width(quint64(capacity))));
        positionMask = (quint32(1) << bits) - 1;
    }

    qint32 find(const QUuid &id) const
    {
        if (lookup.empty())
            return -1;
        const quint64 tag = tagOf(id);
        for (size_t at = slotOf(tag);; at = nextSlot(at)) {
            const quint32 e = lookup[at];
            if (e == kEmptySlot)
                return -1;
            if (mayHold(e, tag) && ids[size_t(positionIn(e))] == id)
                return positionIn(e);
        }
    }

    // Places i in the index, from any thread: of two nodes with one
    // identifier the slot keeps the later, or with keepFirst the earlier.
    // Returns the other one's position when the identifier was there, else -1.
    qint32 place(qint32 i, bool keepFirst = false)
    {
        const quint64 tag = tagOf(ids[size_t(i)]);
        const quint32 mine = entryOf(i, tag);
        for (size_t at = slotOf(tag);; at = nextSlot(at)) {
            std::atomic_ref<quint32> slot(lookup[at]);
            quint32 e = slot.load(std::memory_order_relaxed);
            for (;;) {
                if (e == kEmptySlot) {
                    if (slot.compare_exchange_weak(e, mine, std::memory_order_relaxed))
                        return -1;
                    continue;
                }
                const qint32 there = positionIn(e);
                if (!mayHold(e, tag) || !(ids[size_t(there)] == ids[size_t(i)]))
                    break;
                if ((keepFirst ? i > there : i < there) || slot.compare_exchange_weak(e, mine, std::memory_order_relaxed))
                    return there;
            }
        }
    }

    // The index of every node, a large tree's on two threads; with
    // stopAtDuplicate, the position of the first node whose identifier came
    // before, else -1.
    qint32 reindex(bool stopAtDuplicate)
    {
        resetLookup(ids.size() + ids.size() / 4 + 1);
        // Every slot is a miss of the cache: asking for the ones a few
        // nodes ahead keeps many in flight.
        constexpr qint32 kAhead = 16;
        // Told to keep the first, a slot's collisions tell each identifier's
        // second copy, and never one before it: the least told is the one.
        const auto placeAll = [&](qint32 from, qint32 to, qint32 &duplicate) {
            for (qint32 i = from; i < to; ++i) {
                if (i + kAhead < to)
                    __builtin_prefetch(&lookup[slotOf(tagOf(ids[size_t(i + kAhead)]))]);
                if (const qint32 there = place(i, stopAtDuplicate); there >= 0)
                    duplicate = std::min(duplicate, std::max(i, there));
            }
        };
        const qint32 n = size();
        qint32 duplicates[2] = {std::numeric_limits<qint32>::max(), std::numeric_limits<qint32>::max()};
        if (n >= 100000) {
            constexpr qint32 kPart = 1 << 15;
            shareOnTwoThreads((n + kPart - 1) / kPart, [&](std::ptrdiff_t k, int thread) {
                placeAll(qint32(k * kPart), qint32(std::min<std::ptrdiff_t>(n, (k + 1) * kPart)), duplicates[thread]);
            });
        } else {
            placeAll(0, n, duplicates[0]);
        }
        const qint32 duplicate = std::min(duplicates[0], duplicates[1]);
        return stopAtDuplicate && duplicate < n ? duplicate : -1;
    }

    void indexNew(qint32 i)
    {
        // Hand-made trees grow a node at a time: room for half again.
        if (lookup.size() < ids.size() + ids.size() / 4 + 1) {
            const size_t n = ids.size();
            resetLookup(n + n / 2 + 16);
            for (qint32 k = 0; k < size(); ++k)
                place(k);
        } else {
            place(i);
        }
    }

    qint64 allocated(qint32 i) const
    {
        switch ((flags[size_t(i)] & kAllocationMask) >> kAllocationShift) {
        case roundedUp: return roundedUpToBlock(logical[size_t(i)]);
        case nothing: return 0;
        case oneBlock: return kBlock;
        default: return allocatedStored.value(i, 0);
        }
    }

    // After the node's kind and logical size: lock guards the stored ones
    // when several threads fill the tree.
    void setAllocated(qint32 i, qint64 value, std::mutex *lock = nullptr)
    {
        quint16 &f = flags[size_t(i)];
        const AllocationCode code =
            allocationCodeOf(value, logical[size_t(i)], ScanNodeKind(f & kKindMask) == ScanNodeKind::file);
        const bool wasStored = ((f & kAllocationMask) >> kAllocationShift) == stored;
        f = quint16((f & ~kAllocationMask) | (code << kAllocationShift));
        if (code != stored && !wasStored)
            return;
        std::unique_lock guard = lock ? std::unique_lock(*lock) : std::unique_lock<std::mutex>();
        if (code == stored)
            allocatedStored.insert(i, value);
        else
            allocatedStored.remove(i);
    }

    quint32 nameStart(qint32 i) const { return i > 0 ? nameEnds[size_t(i) - 1] : 0; }
    QByteArrayView name(qint32 i) const
    {
        const quint32 from = nameStart(i);
        return QByteArrayView(names.data() + from, qsizetype(nameEnds[size_t(i)] - from));
    }
    void prefetchNode(qint32 i) const
    {
        const size_t at = size_t(i);
        __builtin_prefetch(&ids[at]);
        __builtin_prefetch(&parents[at]);
        __builtin_prefetch(&logical[at]);
        __builtin_prefetch(&flags[at]);
        __builtin_prefetch(&modified[at]);
        __builtin_prefetch(&nameEnds[at > 0 ? at - 1 : 0]);
        if (!listed && at < childStarts.size())
            __builtin_prefetch(childStarts.data() + at);
    }
    void prefetchName(qint32 i) const { __builtin_prefetch(names.data() + nameStart(i)); }
    QByteArray nativeName(qint32 i) const
    {
        if (flags[size_t(i)] & kOwnUrl)
            return urls.value(i).nativeLastPathComponent();
        return name(i).toByteArray();
    }

    FileUrl childUrl(const FileUrl::Folder &folder, qint32 i, QString *text) const
    {
        QByteArray raw;
        *text = displayTextOf(name(i), &raw);
        return FileUrl::child(folder, *text, raw, (flags[size_t(i)] & kUrlIsDirectory) != 0);
    }

    // The URL folders made so far by position, so that records made one
    // after another share their ancestors' pieces: a walk down a chain
    // thousands deep stays linear.
    using Folders = QHash<qint32, FileUrl::Folder>;

    FileUrl::Folder folder(qint32 p, Folders &made) const
    {
        std::vector<qint32> chain;
        for (qint32 k = p; !made.contains(k); k = parents[size_t(k)]) {
            chain.push_back(k);
            if (flags[size_t(k)] & kOwnUrl)
                break;
            if (parents[size_t(k)] < 0 || chain.size() > ids.size())
                return FileUrl().asFolder(); // not made by add or insert
        }
        QString text;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            const qint32 k = *it;
            const FileUrl u = (flags[size_t(k)] & kOwnUrl) ? urls.value(k)
                                                           : childUrl(made.value(parents[size_t(k)]), k, &text);
            made.insert(k, u.asFolder());
        }
        return made.value(p);
    }

    FileUrl url(qint32 i, Folders &made, QString *text) const
    {
        if (flags[size_t(i)] & kOwnUrl) {
            const FileUrl u = urls.value(i);
            *text = displayTextOf(u.nativeLastPathComponent(), nullptr);
            return u;
        }
        return childUrl(folder(parents[size_t(i)], made), i, text);
    }

    FileUrl url(qint32 i) const
    {
        Folders made;
        QString text;
        return url(i, made, &text);
    }

    qint64 listedCount(qint32 i) const
    {
        return listed || childStarts.empty() ? 0 : childStarts[size_t(i) + 1] - childStarts[size_t(i)];
    }

    // made: URL folders to share with the records made before and after.
    // parentFolder: the folder of i's parent, when the caller has it.
    ScanNodeRecord record(qint32 i, Folders *made = nullptr, const FileUrl::Folder *parentFolder = nullptr) const
    {
        ScanNodeRecord r;
        const size_t at = size_t(i);
        const quint16 f = flags[at];
        r.id = ids[at];
        if (parents[at] >= 0)
            r.parentID = ids[size_t(parents[at])];
        else if (const auto it = danglingParents.constFind(i); it != danglingParents.cend())
            r.parentID = *it;
        QString text;
        if (parentFolder && !(f & kOwnUrl)) {
            r.url = childUrl(*parentFolder, i, &text);
        } else {
            Folders own;
            r.url = url(i, made ? *made : own, &text);
        }
        const auto shown = displayNames.constFind(i);
        r.displayName = shown == displayNames.cend() ? text : *shown;
        r.kind = ScanNodeKind(f & kKindMask);
        r.isHidden = f & kHidden;
        r.isPackage = f & kPackage;
        r.isReadable = f & kReadable;
        r.isSpecial = f & kSpecial;
        r.mark = ScanNodeMark((f & kMarkMask) >> kMarkShift);
        r.allocatedSize = allocated(i);
        r.logicalSize = logical[at];
        r.modifiedAt = modified[at];
        r.childCount = childCounts.value(i, listedCount(i));
        r.linkCount = linkCounts.value(i, 0);
        return r;
    }

    template <typename F>
    void forEachChild(qint32 i, F visit) const
    {
        if (!listed) {
            if (childStarts.empty())
                return;
            for (qint32 k = childStarts[size_t(i)]; k < childStarts[size_t(i) + 1]; ++k)
                visit(rowsAreNodes ? k + 1 : childList[size_t(k)]); // the root is no child
            return;
        }
        const auto list = lists.constFind(i);
        if (list == lists.cend())
            return;
        for (const QUuid &id : *list)
            if (const qint32 c = find(id); c >= 0)
                visit(c);
    }

    QList<QUuid> childIDs(qint32 i) const
    {
        QList<QUuid> out;
        forEachChild(i, [&](qint32 c) { out.append(ids[size_t(c)]); });
        return out;
    }

    qint32 append(const QUuid &id, qint32 parent, QByteArrayView name, quint16 f)
    {
        if (ids.size() >= size_t(std::numeric_limits<qint32>::max()) ||
            quint64(names.size()) + quint64(name.size()) > std::numeric_limits<quint32>::max())
            throw std::bad_alloc();
        ids.push_back(id);
        parents.push_back(parent);
        logical.push_back(0);
        flags.push_back(f);
        modified.push_back(0);
        names.insert(names.end(), name.begin(), name.end());
        nameEnds.push_back(quint32(names.size()));
        return qint32(ids.size() - 1);
    }

    // A built node's flags, sizes and time; the root's URL is its own.
    void describe(qint32 i, const NodeFacts &facts, std::mutex *lock = nullptr)
    {
        const bool isRoot = i == 0;
        const bool isDirectory = isRoot ? urls.value(0).isDirectory() : facts.kind != ScanNodeKind::file;
        flags[size_t(i)] = quint16(flagsOf(facts, isDirectory) | (isRoot ? kOwnUrl : 0));
        logical[size_t(i)] = facts.logicalSize;
        modified[size_t(i)] = storedTime(facts.modifiedAt);
        setAllocated(i, facts.allocatedSize, lock);
    }

    void setFacts(qint32 i, const NodeFacts &facts)
    {
        flags[size_t(i)] = quint16((flags[size_t(i)] & (kOwnUrl | kUrlIsDirectory | kAllocationMask)) |
                                   (flagsOf(facts, false) & ~kUrlIsDirectory));
        logical[size_t(i)] = facts.logicalSize;
        modified[size_t(i)] = storedTime(facts.modifiedAt);
        setAllocated(i, facts.allocatedSize);
        if (facts.linkCount)
            linkCounts.insert(i, facts.linkCount);
        else
            linkCounts.remove(i);
    }

    // Rows become explicit lists, for changes by hand.
    void makeListed()
    {
        if (listed)
            return;
        for (qint32 i = 0; i < size(); ++i) {
            const qint64 count = listedCount(i);
            if (count > 0) {
                if (!childCounts.contains(i))
                    childCounts.insert(i, count);
                lists.insert(i, childIDs(i));
            }
        }
        childStarts = {};
        childList = {};
        rowsAreNodes = false;
        listed = true;
    }

    void buildRows()
    {
        const size_t n = ids.size();
        std::vector<qint32> starts;
        reserveLarge(starts, n + 1);
        starts.assign(n + 1, 0);
        // Nodes in order of their parents (a scan's breadth-first order):
        // each folder's children are a range of positions, no list needed.
        bool ordered = true;
        for (size_t i = 0; i < n; ++i) {
            if (const qint32 p = parents[i]; p >= 0) {
                ++starts[size_t(p) + 1];
                ordered = ordered && i > 0 && p >= parents[i - 1] && size_t(p) < i;
            } else {
                ordered = ordered && i == 0;
            }
        }
        for (size_t i = 0; i < n; ++i)
            starts[i + 1] += starts[i];
        if (ordered) {
            childStarts.swap(starts);
            childList = {};
            rowsAreNodes = true;
            return;
        }
        std::vector<qint32> list;
        reserveLarge(list, size_t(starts[n]));
        list.resize(size_t(starts[n]));
        std::vector<qint32> next(starts.begin(), starts.end() - 1);
        for (size_t i = 0; i < n; ++i)
            if (const qint32 p = parents[i]; p >= 0)
                list[size_t(next[size_t(p)]++)] = qint32(i);
        childStarts.swap(starts);
        childList.swap(list);
        rowsAreNodes = false;
    }
};

// Faults in ranges of pages on a thread of its own; each set asked for
// replaces the one not yet begun. Its owner ends it before any range it
// asked for can be freed: the destructor waits for the set under way.
class ScanTree::Builder::PageFaulter {
public:
    using Ranges = std::vector<std::pair<char *, size_t>>;

    PageFaulter() : thread_([this] { run(); }) {}
    ~PageFaulter()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    void ask(Ranges ranges)
    {
        {
            std::lock_guard lock(mutex_);
            next_ = std::move(ranges);
        }
        wake_.notify_one();
    }

private:
    void run()
    {
        const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !next_.empty(); });
            if (stop_)
                return;
            const Ranges ranges = std::move(next_);
            next_.clear();
            lock.unlock();
            for (const auto &[at, bytes] : ranges) {
                const uintptr_t begin = reinterpret_cast<uintptr_t>(at) & ~(page - 1);
                const uintptr_t end = reinterpret_cast<uintptr_t>(at) + bytes;
                // Only zero pages are made: what is written stays. A kernel
                // without it (before 5.14) leaves the faults to the writer.
                if (end > begin && madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE) != 0 &&
                    errno == EINVAL)
                    return;
            }
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    Ranges next_;
    bool stop_ = false;
    std::thread thread_;
};

ScanTree::Builder::Builder(const FileUrl &rootURL, qsizetype capacity, qsizetype nameBytes)
    : d_(std::make_shared<Data>())
{
    const size_t n = size_t(std::max<qsizetype>(capacity, 1));
    reserveLarge(d_->ids, n);
    reserveLarge(d_->parents, n);
    reserveLarge(d_->logical, n);
    reserveLarge(d_->modified, n);
    reserveLarge(d_->flags, n);
    reserveLarge(d_->nameEnds, n);
    reserveLarge(d_->names, size_t(std::max<qsizetype>(nameBytes, 0)));
    reserveLarge(childCounts_, n);
    d_->urls.insert(0, rootURL);
}

ScanTree::Builder::~Builder() = default;

namespace {
// Nodes between two asks, and how far ahead of the adding thread each reaches.
constexpr size_t kFaultStride = 1 << 15;
constexpr size_t kFaultNodesAhead = 2 * kFaultStride;
constexpr size_t kFaultNameBytesAhead = 2 << 20;
} // namespace

void ScanTree::Builder::faultAhead()
{
    if (faulter_)
        return;
    try {
        faulter_ = std::make_unique<PageFaulter>();
    } catch (const std::system_error &) {
        return; // no thread: the adding one faults as before
    }
    askFaulter();
}

void ScanTree::Builder::askFaulter()
{
    Data &d = *d_;
    const size_t n = d.ids.size();
    // A column reallocates only once full: ranges stay below what it holds
    // now, and the faulter ends before a column may need more.
    size_t room = std::numeric_limits<size_t>::max();
    PageFaulter::Ranges ranges;
    const auto column = [&](auto &c) {
        room = std::min(room, c.capacity());
        ranges.push_back({reinterpret_cast<char *>(c.data() + n), kFaultNodesAhead * sizeof(c[0])});
    };
    column(d.ids);
    column(d.parents);
    column(d.logical);
    column(d.flags);
    column(d.modified);
    column(d.nameEnds);
    column(childCounts_);
    const size_t names = d.names.size();
    if (room < n + kFaultNodesAhead || d.names.capacity() < names + kFaultNameBytesAhead) {
        faulter_.reset();
        return;
    }
    ranges.push_back({d.names.data() + names, kFaultNameBytesAhead});
    faultedNodesUntil_ = room - kFaultNodesAhead;
    faultedNamesUntil_ = d.names.capacity() - kFaultNameBytesAhead;
    faulter_->ask(std::move(ranges));
}

qint32 ScanTree::Builder::add(const QUuid &id, qint32 parent, QByteArrayView name, const NodeFacts &facts)
{
    Data &d = *d_;
    const bool isRoot = d.ids.empty();
    if (isRoot) {
        parent = -1;
        name = QByteArrayView();
    } else if (parent < 0 || parent >= d.size()) {
        throw std::out_of_range("a node's parent comes before it");
    }
    if (faulter_) {
        if (d.ids.size() % kFaultStride == 0)
            askFaulter();
        // The faulter's ranges lie in the columns as they are: it ends
        // before one is full and may be moved.
        if (faulter_ && (d.ids.size() >= faultedNodesUntil_ ||
                         d.names.size() + size_t(name.size()) > faultedNamesUntil_))
            faulter_.reset();
    }
    const qint32 i = d.append(id, parent, name, 0);
    d.describe(i, facts);
    if (facts.linkCount)
        d.linkCounts.insert(i, facts.linkCount);
    childCounts_.push_back(qint32(facts.childCount));
    return i;
}

qsizetype ScanTree::Builder::size() const { return d_->size(); }

void ScanTree::Builder::allocate(qsizetype count, quint32 nameBytes)
{
    faulter_.reset(); // the columns are made anew
    Data &d = *d_;
    if (count < 0 || count >= std::numeric_limits<qint32>::max())
        throw std::bad_alloc();
    const size_t n = size_t(count);
    d.ids.resize(n); // left unwritten until setNode
    d.parents.resize(n);
    d.logical.resize(n);
    d.flags.resize(n);
    d.modified.resize(n);
    d.nameEnds.resize(n);
    d.names.resize(nameBytes);
    childCounts_ = {}; // each folder has as many as it lists
}

void ScanTree::Builder::setNode(qint32 i, quint32 nameFrom, const QUuid &id, qint32 parent, QByteArrayView name,
                                const NodeFacts &facts)
{
    Data &d = *d_;
    const size_t at = size_t(i);
    d.ids[at] = id;
    d.parents[at] = i == 0 ? -1 : parent;
    const size_t from = std::min<size_t>(nameFrom, d.names.size());
    const size_t bytes = std::min<size_t>(size_t(name.size()), d.names.size() - from);
    if (bytes)
        std::memcpy(d.names.data() + from, name.data(), bytes);
    d.nameEnds[at] = quint32(from + bytes);
    d.describe(i, facts, &storedLock_);
}

void ScanTree::Builder::setDisplayName(qint32 i, const QString &name)
{
    const QString text = (d_->flags[size_t(i)] & kOwnUrl)
                             ? displayTextOf(d_->urls.value(i).nativeLastPathComponent(), nullptr)
                             : displayTextOf(d_->name(i), nullptr);
    if (name != text)
        d_->displayNames.insert(i, name);
    else
        d_->displayNames.remove(i);
}

void ScanTree::Builder::setMark(qint32 i, ScanNodeMark mark)
{
    quint16 &f = d_->flags[size_t(i)];
    f = quint16((f & ~kMarkMask) | (quint16(mark) << kMarkShift));
}

void ScanTree::Builder::setLinkCount(qint32 i, quint32 count)
{
    if (count)
        d_->linkCounts.insert(i, count);
    else
        d_->linkCounts.remove(i);
}

void ScanTree::Builder::setLinkedFile(qint32 i, const FileIdentity &identity) { d_->identities.insert(i, identity); }

void ScanTree::Builder::addSizes(qint32 i, qint64 allocated, qint64 logical)
{
    const auto add = [](qint64 to, qint64 delta) {
        qint64 sum;
        return __builtin_add_overflow(to, delta, &sum) ? (delta > 0 ? INT64_MAX : INT64_MIN) : sum;
    };
    const qint64 before = d_->allocated(i); // by the logical size as it was
    d_->logical[size_t(i)] = add(d_->logical[size_t(i)], logical);
    d_->setAllocated(i, add(before, allocated), &storedLock_);
}

ScanTree::NodeFacts ScanTree::Builder::facts(qint32 i) const
{
    const ScanNodeRecord r = d_->record(i);
    NodeFacts f = factsOf(r);
    f.childCount = childCounts_.empty() ? -1 : childCounts_[size_t(i)];
    return f;
}

void ScanTree::Builder::setFacts(qint32 i, const NodeFacts &facts)
{
    d_->setFacts(i, facts);
    if (!childCounts_.empty())
        childCounts_[size_t(i)] = qint32(facts.childCount);
}

qint32 ScanTree::Builder::parentOf(qint32 i) const { return d_->parents[size_t(i)]; }

void ScanTree::Builder::setId(qint32 i, const QUuid &id) { d_->ids[size_t(i)] = id; }
QByteArrayView ScanTree::Builder::name(qint32 i) const { return d_->name(i); }
FileUrl ScanTree::Builder::url(qint32 i) const { return d_->url(i); }
qint64 ScanTree::Builder::allocatedSize(qint32 i) const { return d_->allocated(i); }
qint64 ScanTree::Builder::logicalSize(qint32 i) const { return d_->logical[size_t(i)]; }

ScanTree ScanTree::Builder::finish(qsizetype *duplicateAt)
{
    ScanTree tree;
    faulter_.reset();
    Data &d = *d_;
    if (d.ids.empty())
        return tree;
    const qint32 duplicate = d.reindex(duplicateAt != nullptr);
    if (duplicate >= 0) {
        *duplicateAt = duplicate;
        return tree;
    }
    d.buildRows();
    for (qint32 i = 0; i < qint32(childCounts_.size()); ++i)
        if (childCounts_[size_t(i)] >= 0 && childCounts_[size_t(i)] != d.listedCount(i))
            d.childCounts.insert(i, childCounts_[size_t(i)]);
    childCounts_ = {};
    tree.rootID = d.ids[0];
    tree.d_ = std::move(d_);
    d_ = std::make_shared<Data>();
    return tree;
}

QUuid ScanTree::NodeRef::id() const { return d_->ids[size_t(i_)]; }
qint64 ScanTree::NodeRef::allocatedSize() const { return d_->allocated(i_); }
qint64 ScanTree::NodeRef::modifiedAt() const { return d_->modified[size_t(i_)]; }
qint64 ScanTree::NodeRef::logicalSize() const { return d_->logical[size_t(i_)]; }
ScanNodeKind ScanTree::NodeRef::kind() const { return ScanNodeKind(d_->flags[size_t(i_)] & kKindMask); }
ScanNodeMark ScanTree::NodeRef::mark() const
{
    return ScanNodeMark((d_->flags[size_t(i_)] & kMarkMask) >> kMarkShift);
}
bool ScanTree::NodeRef::isSpecial() const { return d_->flags[size_t(i_)] & kSpecial; }
quint32 ScanTree::NodeRef::linkCount() const { return d_->linkCounts.value(i_, 0); }
std::optional<FileIdentity> ScanTree::NodeRef::linkedFile() const
{
    const auto it = d_->identities.constFind(i_);
    return it == d_->identities.cend() ? std::nullopt : std::optional(*it);
}
QByteArray ScanTree::NodeRef::nativeName() const { return d_->nativeName(i_); }
QByteArrayView ScanTree::NodeRef::nativeName(QByteArray &scratch) const
{
    if (d_->flags[size_t(i_)] & kOwnUrl)
        return scratch = d_->nativeName(i_);
    return d_->name(i_);
}
QString ScanTree::NodeRef::displayName() const
{
    if (const auto shown = d_->displayNames.constFind(i_); shown != d_->displayNames.cend())
        return *shown;
    QByteArray scratch;
    return displayTextOf(nativeName(scratch), nullptr);
}
QStringView ScanTree::NodeRef::displayName(QString &scratch) const
{
    if (d_->flags[size_t(i_)] & kOwnUrl || d_->displayNames.contains(i_))
        return scratch = displayName();
    return displayTextOf(d_->name(i_), scratch);
}
ScanTree::NodeRef ScanTree::NodeRef::parent() const
{
    const qint32 p = d_->parents[size_t(i_)];
    return p < 0 ? NodeRef() : NodeRef(d_, p);
}
QList<ScanTree::NodeRef> ScanTree::NodeRef::children() const
{
    QList<NodeRef> out;
    out.reserve(d_->listedCount(i_));
    d_->forEachChild(i_, [&](qint32 c) { out.append(NodeRef(d_, c)); });
    return out;
}
ScanNodeRecord ScanTree::NodeRef::record() const { return d_->record(i_); }

qsizetype ScanTree::size() const { return d_ ? d_->size() : 0; }

qint32 ScanTree::position(const QUuid &id) const { return d_ ? d_->find(id) : -1; }

ScanTree::NodeRef ScanTree::ref(const QUuid &id) const
{
    const qint32 i = position(id);
    return i < 0 ? NodeRef() : NodeRef(d_.get(), i);
}

std::optional<ScanNodeRecord> ScanTree::node(const std::optional<QUuid> &id) const
{
    const qint32 i = id ? position(*id) : -1;
    if (i < 0)
        return std::nullopt;
    return d_->record(i);
}

QList<ScanNodeRecord> ScanTree::children(const QUuid &parentID) const
{
    const NodeRef parent = ref(parentID);
    return parent.isValid() ? childRecords(parent, parent.children()) : QList<ScanNodeRecord>();
}

QList<ScanNodeRecord> ScanTree::childRecords(const NodeRef &parent, const QList<NodeRef> &children) const
{
    QList<ScanNodeRecord> out(children.size());
    ScanNodeRecord *const records = out.data();
    const auto make = [&](qsizetype from, qsizetype to) {
        Data::Folders made; // siblings share their folder's URL
        const FileUrl::Folder folder = d_->folder(parent.position(), made);
        // Children in list order are nodes in no order: each record reads a
        // few columns and a name at random, asked for ahead so that those
        // misses overlap (a name once its end is in).
        constexpr qsizetype kAhead = 16;
        for (qsizetype k = from; k < std::min(to, from + kAhead); ++k)
            d_->prefetchNode(children[k].position());
        for (qsizetype k = from; k < to; ++k) {
            if (k + kAhead < to)
                d_->prefetchNode(children[k + kAhead].position());
            if (k + kAhead / 2 < to)
                d_->prefetchName(children[k + kAhead / 2].position());
            const qint32 c = children[k].position();
            records[k] = d_->parents[size_t(c)] == parent.position() ? d_->record(c, &made, &folder) : d_->record(c, &made);
        }
    };
    const qsizetype n = children.size();
    if (n >= 20000)
        runOnTwoThreads([&] { make(0, n / 2); }, [&] { make(n / 2, n); });
    else
        make(0, n);
    return out;
}

QList<QUuid> ScanTree::childIDs(const QUuid &parentID) const
{
    const qint32 p = position(parentID);
    return p < 0 ? QList<QUuid>() : d_->childIDs(p);
}

QList<ScanNodeRecord> ScanTree::path(const QUuid &id) const
{
    QList<ScanNodeRecord> out;
    QSet<qint32> visited;
    Data::Folders made; // the first record makes every ancestor's folder
    for (qint32 i = position(id); i >= 0 && !visited.contains(i);) {
        visited.insert(i);
        out.append(d_->record(i, &made));
        i = out.last().parentID ? position(*out.last().parentID) : -1;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::optional<FileIdentity> ScanTree::linkedFile(const QUuid &id) const
{
    const NodeRef r = ref(id);
    return r.isValid() ? r.linkedFile() : std::nullopt;
}

void ScanTree::forEachNode(const std::function<void(const ScanNodeRecord &)> &visit) const
{
    Data::Folders made;
    for (qint32 i = 0; i < qint32(size()); ++i)
        visit(d_->record(i, &made));
}

void ScanTree::forEachRef(const std::function<void(const NodeRef &)> &visit) const
{
    for (qint32 i = 0; i < qint32(size()); ++i)
        visit(NodeRef(d_.get(), i));
}

void ScanTree::forEachRefBelow(const QUuid &id, const std::function<bool(const NodeRef &)> &visit) const
{
    const qint32 top = position(id);
    if (top < 0)
        return;
    const Data &d = *d_;
    if (top == 0 && !d.listed && d.parents[0] < 0) {
        // Everything below the root is every other node: in order, no stack.
        for (qint32 i = 1; i < d.size(); ++i)
            if (!visit(NodeRef(&d, i)))
                return;
        return;
    }
    std::vector<qint32> stack{top};
    QSet<qint32> seen; // lists made by hand may hold a cycle
    while (!stack.empty()) {
        const qint32 p = stack.back();
        stack.pop_back();
        bool go = true;
        d.forEachChild(p, [&](qint32 c) {
            if (!go || (d.listed && (c == top || seen.contains(c))))
                return;
            if (d.listed)
                seen.insert(c);
            go = visit(NodeRef(&d, c));
            stack.push_back(c);
        });
        if (!go)
            return;
    }
}

QList<ScanNodeRecord> ScanTree::records() const
{
    QList<ScanNodeRecord> out;
    out.reserve(size());
    forEachNode([&](const ScanNodeRecord &r) { out.append(r); });
    return out;
}

QList<ScanNodeRecord> ScanTree::marked(ScanNodeMark mark) const
{
    QList<ScanNodeRecord> found;
    Data::Folders made;
    for (qint32 i = 0; i < qint32(size()); ++i) {
        if (NodeRef(d_.get(), i).mark() == mark)
            found.append(d_->record(i, &made));
    }
    std::sort(found.begin(), found.end(), [](const ScanNodeRecord &a, const ScanNodeRecord &b) {
        return a.url.nativeFilePath() < b.url.nativeFilePath();
    });
    return found;
}

void ScanTree::detach()
{
    if (!d_)
        d_ = std::make_shared<Data>();
    else if (d_.use_count() > 1)
        d_ = std::make_shared<Data>(*d_);
}

void ScanTree::insert(const ScanNodeRecord &r)
{
    detach();
    Data &d = const_cast<Data &>(*d_);
    d.makeListed();
    const qint32 p = r.parentID ? d.find(*r.parentID) : -1;
    qint32 i = d.find(r.id);
    const QByteArray name = r.url.nativeLastPathComponent();
    bool relative = false;
    if (p >= 0) {
        QByteArray raw;
        const QString text = displayTextOf(name, &raw);
        relative = FileUrl::child(d.url(p).asFolder(), text, raw, r.url.isDirectory()) == r.url;
    }
    if (i < 0) {
        i = d.append(r.id, p, name, 0);
        d.indexNew(i);
        if (p >= 0)
            d.lists[p].append(r.id);
    } else {
        relative = relative && d.name(i) == name; // the arena keeps the first name
        if (!(d.url(i) == r.url)) {
            // The children keep their URLs when this one's changes.
            for (qint32 j = 0; j < d.size(); ++j) {
                if (d.parents[size_t(j)] == i && !(d.flags[size_t(j)] & kOwnUrl)) {
                    d.urls.insert(j, d.url(j));
                    d.flags[size_t(j)] |= kOwnUrl;
                }
            }
        }
    }
    d.parents[size_t(i)] = p;
    if (r.parentID && p < 0)
        d.danglingParents.insert(i, *r.parentID);
    else
        d.danglingParents.remove(i);
    // Children put in before this one now lead up to it.
    for (auto it = d.danglingParents.begin(); it != d.danglingParents.end();) {
        if (it.value() == r.id) {
            d.parents[size_t(it.key())] = i;
            it = d.danglingParents.erase(it);
        } else {
            ++it;
        }
    }
    d.setFacts(i, factsOf(r));
    quint16 &f = d.flags[size_t(i)];
    f = quint16(f & ~(kOwnUrl | kUrlIsDirectory));
    if (r.url.isDirectory())
        f |= kUrlIsDirectory;
    if (relative) {
        d.urls.remove(i);
    } else {
        f |= kOwnUrl;
        d.urls.insert(i, r.url);
    }
    if (r.displayName != displayTextOf(name, nullptr))
        d.displayNames.insert(i, r.displayName);
    else
        d.displayNames.remove(i);
    if (r.childCount)
        d.childCounts.insert(i, r.childCount);
    else
        d.childCounts.remove(i);
}

bool ScanTree::update(const QUuid &id, const std::function<void(ScanNodeRecord &)> &change)
{
    std::optional<ScanNodeRecord> record = node(id);
    if (!record)
        return false;
    change(*record);
    insert(*record);
    return true;
}

void ScanTree::setChildren(const QUuid &parentID, const QList<QUuid> &childIDs)
{
    detach();
    Data &d = const_cast<Data &>(*d_);
    d.makeListed();
    if (const qint32 p = d.find(parentID); p >= 0)
        d.lists.insert(p, childIDs);
}

void ScanTree::setLinkedFile(const QUuid &id, const FileIdentity &identity)
{
    if (!contains(id))
        return;
    detach();
    Data &d = const_cast<Data &>(*d_);
    d.identities.insert(d.find(id), identity);
}

bool operator==(const ScanTree &a, const ScanTree &b)
{
    if (a.rootID != b.rootID)
        return false;
    if (a.d_ == b.d_)
        return true;
    if (a.size() != b.size())
        return false;
    ScanTree::Data::Folders madeA, madeB;
    for (qint32 i = 0; i < qint32(a.size()); ++i) {
        const qint32 j = b.position(a.d_->ids[size_t(i)]);
        if (j < 0 || !(a.d_->record(i, &madeA) == b.d_->record(j, &madeB)) || a.d_->childIDs(i) != b.d_->childIDs(j) ||
            a.d_->identities.value(i) != b.d_->identities.value(j) ||
            a.d_->identities.contains(i) != b.d_->identities.contains(j))
            return false;
    }
    return true;
}

qsizetype ScanTree::memoryUse() const
{
    if (!d_)
        return 0;
    const Data &d = *d_;
    // A stored allocation costs about a hash entry (key, value, span slot).
    return bytesOf(d.ids) + bytesOf(d.parents) + bytesOf(d.logical) + bytesOf(d.flags) + bytesOf(d.modified) +
           bytesOf(d.nameEnds) + bytesOf(d.names) + bytesOf(d.childStarts) + bytesOf(d.childList) +
           bytesOf(d.lookup) + d.allocatedStored.size() * 24;
}
