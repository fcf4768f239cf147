#include "size_order.h"

#include "scan_tree.h"
#include "two_threads.h"

#include <QHash>
#include <QLocale>
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <unicode/ucol.h>
#include <unicode/uset.h>

namespace {

constexpr qsizetype kLongestPlainName = 255;

bool isPlain(QStringView name)
{
    if (name.isEmpty() || name.size() > kLongestPlainName)
        return false;
    for (const QChar c : name)
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    return true;
}

// ICU's key of a name of printable ASCII, made without ICU: where the
// locale has no contraction of such characters, each one is one collation
// element of its own primary bytes and a common secondary weight, so the key
// is their primary bytes in turn, then a tail that depends on the length
// alone. Taken from ICU's own keys, and used only where it gives ICU's keys
// for every pair of characters and for strings of every length.
class PlainKeys {
public:
    // Null where the locale's keys do not have that form.
    static std::shared_ptr<const PlainKeys> of(UCollator *collator, const QByteArray &locale)
    {
        static std::mutex mutex;
        static QHash<QByteArray, std::shared_ptr<const PlainKeys>> made;
        std::lock_guard lock(mutex);
        if (const auto it = made.constFind(locale); it != made.cend())
            return *it;
        auto keys = std::make_shared<PlainKeys>();
        std::shared_ptr<const PlainKeys> usable;
        if (keys->learn(collator))
            usable = std::move(keys);
        made.insert(locale, usable);
        return usable;
    }

    // The key of a plain name (isPlain) without its closing 0, at to; its
    // length. to has room for keyLength(name).
    size_t keyLength(QStringView name) const
    {
        size_t n = tails_[size_t(name.size())].size();
        for (const QChar c : name)
            n += primaries_[c.unicode()].size();
        return n;
    }
    size_t write(QStringView name, uchar *to) const
    {
        uchar *at = to;
        for (const QChar c : name) {
            const std::string &p = primaries_[c.unicode()];
            std::memcpy(at, p.data(), p.size());
            at += p.size();
        }
        const std::string &tail = tails_[size_t(name.size())];
        std::memcpy(at, tail.data(), tail.size());
        return size_t(at - to) + tail.size();
    }

private:
    static std::string icuKey(UCollator *collator, const char16_t *text, int32_t length)
    {
        uchar buffer[1024];
        const int32_t n = ucol_getSortKey(collator, reinterpret_cast<const UChar *>(text), length, buffer, sizeof buffer);
        if (n < 1 || n > int32_t(sizeof buffer))
            return {};
        return std::string(reinterpret_cast<const char *>(buffer), size_t(n - 1)); // without its closing 0
    }
    std::string keyOf(const char16_t *text, qsizetype length) const
    {
        std::string key(keyLength(QStringView(text, length)), '\0');
        write(QStringView(text, length), reinterpret_cast<uchar *>(key.data()));
        return key;
    }

    bool learn(UCollator *collator)
    {
        // Any contraction of plain characters (Danish "aa", Hungarian "cs"):
        // not this form.
        UErrorCode status = U_ZERO_ERROR;
        USet *contractions = uset_openEmpty();
        ucol_getContractionsAndExpansions(collator, contractions, nullptr, false, &status);
        bool plainContraction = U_FAILURE(status);
        UChar item[64];
        for (int32_t i = 0, count = uset_getItemCount(contractions); i < count && !plainContraction; ++i) {
            UChar32 start, end;
            status = U_ZERO_ERROR;
            const int32_t length = uset_getItem(contractions, i, &start, &end, item, 64, &status);
            if (length == 0) // a range of single characters, no contraction
                continue;
            bool plain = U_SUCCESS(status);
            for (int32_t k = 0; k < length && plain; ++k)
                plain = item[k] >= 0x20 && item[k] <= 0x7e;
            plainContraction = plain;
        }
        uset_close(contractions);
        if (plainContraction)
            return false;
        // One character: its primary bytes, then 01 and one common weight.
        std::string commonTail;
        for (char16_t c = 0x20; c <= 0x7e; ++c) {
            const std::string key = icuKey(collator, &c, 1);
            const size_t level = key.find('\x01');
            if (level == 0 || level == std::string::npos)
                return false;
            if (commonTail.empty())
                commonTail = key.substr(level);
            else if (key.substr(level) != commonTail)
                return false;
            primaries_[c] = key.substr(0, level);
        }
        // The tail of each length, from a run of one letter.
        const std::u16string letters(size_t(kLongestPlainName), u'a');
        for (qsizetype n = 1; n <= kLongestPlainName; ++n) {
            const std::string key = icuKey(collator, letters.data(), int32_t(n));
            const size_t primary = primaries_[u'a'].size() * size_t(n);
            if (key.size() <= primary)
                return false;
            tails_[size_t(n)] = key.substr(primary);
        }
        // Checked against ICU: every pair, and strings of every length.
        for (char16_t a = 0x20; a <= 0x7e; ++a)
            for (char16_t b = 0x20; b <= 0x7e; ++b) {
                const char16_t pair[2] = {a, b};
                if (keyOf(pair, 2) != icuKey(collator, pair, 2))
                    return false;
            }
        std::minstd_rand random(29);
        std::u16string text;
        for (qsizetype n = 1; n <= kLongestPlainName; ++n) {
            text.resize(size_t(n));
            for (char16_t &c : text)
                c = char16_t(0x20 + random() % 95);
            if (keyOf(text.data(), n) != icuKey(collator, text.data(), int32_t(n)))
                return false;
        }
        return true;
    }

    std::array<std::string, 0x7f> primaries_;
    std::array<std::string, kLongestPlainName + 1> tails_;
};

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
        if (plainKeys_ && isPlain(name)) {
            reserve(plainKeys_->keyLength(name));
            used_ = at + plainKeys_->write(name, &bytes_[at]);
        } else if (collator_) {
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
            return;
        }
        plainKeys_ = PlainKeys::of(collator_, name);
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
    std::shared_ptr<const PlainKeys> plainKeys_;
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
    sortBySize(children, measure);
    return tree.childRecords(parent, children);
}
