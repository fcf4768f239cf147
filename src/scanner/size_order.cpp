#include "size_order.h"

#include "scan_tree.h"
#include "two_threads.h"

#include <QLocale>
#include <algorithm>
#include <cstring>
#include <numeric>
#include <unicode/ucol.h>

namespace {

// The order of names that QCollator gives for the current locale, case
// insensitive, as keys in one arena: ICU's keys with the strength QCollator
// sets, or in the C locale the case-folded UTF-16 units that its comparison
// compares. Sorting entries of an inline prefix and a pointer touches far
// less memory than a QCollatorSortKey each, and both short and long runs
// get one order. One a thread.
class NameKeys {
public:
    struct Entry {
        quint64 prefix; // the key's first 8 bytes, big-endian
        const uchar *key;
        quint32 length;
        qint32 item; // the last tie-break: as the items came
    };

    NameKeys() = default;
    ~NameKeys() { ucol_close(collator_); }
    NameKeys(const NameKeys &) = delete;
    NameKeys &operator=(const NameKeys &) = delete;

    void add(QStringView name, qint32 item)
    {
        if (!opened_) { // most orders have no ties to key
            open();
            opened_ = true;
        }
        const size_t at = used_;
        if (collator_) {
            const auto *text = reinterpret_cast<const UChar *>(name.utf16());
            for (;;) {
                reserve(kRoom);
                const int32_t room = int32_t(bytes_.size() - at);
                const int32_t need = ucol_getSortKey(collator_, text, int32_t(name.size()), &bytes_[at], room);
                if (need <= room) {
                    used_ = at + size_t(std::max(need - 1, 0)); // without its closing 0
                    break;
                }
                reserve(size_t(need));
            }
        } else {
            reserve(size_t(name.size()) * 2 + 4);
            for (qsizetype k = 0; k < name.size(); ++k) {
                char32_t c = name[k].unicode();
                if (QChar::isHighSurrogate(c) && k + 1 < name.size() && name[k + 1].isLowSurrogate())
                    c = QChar::surrogateToUcs4(char16_t(c), name[++k].unicode());
                // ASCII folds to its lower case; the rest asks the tables.
                c = c < 0x80 ? (c >= 'A' && c <= 'Z' ? c + 32 : c) : QChar::toCaseFolded(c);
                if (QChar::requiresSurrogates(c)) {
                    put(QChar::highSurrogate(c));
                    put(QChar::lowSurrogate(c));
                } else {
                    put(char16_t(c));
                }
            }
        }
        entries_.push_back({0, nullptr, quint32(used_ - at), item});
        offsets_.push_back(at);
    }

    // Empty for the next run; the collator stays open.
    void clear()
    {
        used_ = 0;
        entries_.clear();
        offsets_.clear();
    }

    // Sorted, once every name is added.
    std::vector<Entry> &sorted()
    {
        for (size_t k = 0; k < entries_.size(); ++k) {
            Entry &e = entries_[k];
            e.key = bytes_.data() + offsets_[k];
            for (quint32 b = 0; b < 8; ++b)
                e.prefix = e.prefix << 8 | (b < e.length ? e.key[b] : 0);
        }
        std::sort(entries_.begin(), entries_.end(), before);
        return entries_;
    }

    static bool before(const Entry &a, const Entry &b)
    {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        if (const int c = std::memcmp(a.key, b.key, std::min(a.length, b.length)))
            return c < 0;
        return a.length != b.length ? a.length < b.length : a.item < b.item;
    }

private:
    static constexpr size_t kRoom = 256;

    void open()
    {
        const QLocale locale;
        if (locale.language() == QLocale::C)
            return;
        UErrorCode status = U_ZERO_ERROR;
        const QByteArray name = locale.bcp47Name().toLatin1().replace('-', '_');
        collator_ = ucol_open(name.constData(), &status);
        ucol_setAttribute(collator_, UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
        ucol_setAttribute(collator_, UCOL_STRENGTH, UCOL_SECONDARY, &status);
        ucol_setAttribute(collator_, UCOL_NUMERIC_COLLATION, UCOL_OFF, &status);
        ucol_setAttribute(collator_, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
        if (U_FAILURE(status)) { // as QCollator: the C locale's order
            ucol_close(collator_);
            collator_ = nullptr;
        }
    }

    void reserve(size_t more)
    {
        if (bytes_.size() < used_ + more)
            bytes_.resize(std::max(bytes_.size() * 2, used_ + more));
    }
    void put(char16_t unit)
    {
        bytes_[used_++] = uchar(unit >> 8);
        bytes_[used_++] = uchar(unit);
    }

    UCollator *collator_ = nullptr;
    bool opened_ = false;
    std::vector<uchar> bytes_;
    size_t used_ = 0;
    std::vector<Entry> entries_;
    std::vector<size_t> offsets_;
};

// The positions of n items in list order, from their sizes and (for ties
// only) their names. A long run of one size, a folder of a million small
// files, is keyed and sorted in two halves on two threads, then merged.
template <typename NameAt>
std::vector<qsizetype> listOrder(const std::vector<qint64> &sizes, NameAt nameAt)
{
    constexpr size_t kParallelRun = 65536;
    std::vector<qsizetype> order(sizes.size());
    std::iota(order.begin(), order.end(), qsizetype(0));
    std::stable_sort(order.begin(), order.end(), [&sizes](qsizetype a, qsizetype b) { return sizes[a] > sizes[b]; });

    NameKeys first, second; // opened at their first name, kept for every run
    for (auto run = order.begin(); run != order.end();) {
        const qint64 size = sizes[*run];
        const auto end = std::find_if(run, order.end(), [&](qsizetype i) { return sizes[i] != size; });
        const size_t n = size_t(end - run);
        if (n > 1) {
            std::vector<NameKeys::Entry> merged;
            const auto half = [&](size_t from, size_t to, NameKeys &keys) -> std::vector<NameKeys::Entry> & {
                QString scratch;
                for (size_t k = from; k < to; ++k)
                    keys.add(nameAt(run[qsizetype(k)], scratch), qint32(k));
                return keys.sorted();
            };
            if (n >= kParallelRun) {
                std::vector<NameKeys::Entry> *a = nullptr, *b = nullptr;
                runOnTwoThreads([&] { a = &half(0, n / 2, first); }, [&] { b = &half(n / 2, n, second); });
                merged.resize(n);
                std::merge(a->begin(), a->end(), b->begin(), b->end(), merged.begin(), NameKeys::before);
            } else {
                merged = std::move(half(0, n, first));
            }
            const std::vector<qsizetype> came(run, end);
            for (size_t k = 0; k < n; ++k)
                run[qsizetype(k)] = came[size_t(merged[k].item)];
            first.clear(); // the merged entries point into their keys: only now
            second.clear();
        }
        run = end;
    }
    return order;
}

} // namespace

void sortBySize(QList<ScanTree::NodeRef> &refs, SizeMeasure measure)
{
    std::vector<qint64> sizes(size_t(refs.size()));
    for (qsizetype i = 0; i < refs.size(); ++i)
        sizes[size_t(i)] = measure == SizeMeasure::logical ? refs[i].logicalSize() : refs[i].allocatedSize();
    const QList<ScanTree::NodeRef> came = refs;
    const std::vector<qsizetype> order =
        listOrder(sizes, [&came](qsizetype i, QString &scratch) { return came[i].displayName(scratch); });
    for (size_t k = 0; k < order.size(); ++k)
        refs[qsizetype(k)] = came[order[k]];
}

QList<ScanNodeRecord> sortedChildren(const ScanTree &tree, const QUuid &parentID, SizeMeasure measure)
{
    const ScanTree::NodeRef parent = tree.ref(parentID);
    if (!parent.isValid())
        return {};
    QList<ScanTree::NodeRef> children = parent.children();
    QList<ScanNodeRecord> records;
    if (children.size() < 20000) {
        sortBySize(children, measure);
        records.resize(children.size());
    } else { // the sort is mostly one thread's work
        const qsizetype n = children.size();
        runOnTwoThreads([&] { sortBySize(children, measure); }, [&] { records.resize(n); });
    }
    tree.childRecords(parent, children, records);
    return records;
}
