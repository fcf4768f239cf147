#include "scan_analysis.h"

#include <QHash>
#include <algorithm>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr qsizetype kLongestExtension = 16;

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool isLetters(QByteArrayView bytes)
{
    return !bytes.isEmpty() && std::all_of(bytes.begin(), bytes.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// Where a name's extension starts (after its dot), or -1 for none; a
// compressor's suffix keeps the type it compresses (".tar.gz", ".sql.xz").
qsizetype extensionStart(QByteArrayView name)
{
    const qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0 || dot + 1 >= name.size() || name.size() - dot - 1 > kLongestExtension)
        return -1;
    static const std::string_view compressors[] = {"gz", "bz2", "xz", "zst", "lz", "lzma", "lz4", "z", "br"};
    const qsizetype length = name.size() - dot - 1;
    bool compressed = false;
    if (length <= 4) {
        char last[4];
        for (qsizetype k = 0; k < length && k < 4; ++k)
            last[k] = lower(name[dot + 1 + k]);
        const std::string_view word(last, size_t(length));
        compressed = std::find(std::begin(compressors), std::end(compressors), word) != std::end(compressors);
    }
    if (compressed) {
        const qsizetype before = name.first(dot).lastIndexOf('.');
        if (before > 0 && dot - before - 1 <= 4 && isLetters(name.sliced(before + 1, dot - before - 1)))
            return before + 1;
    }
    return dot + 1;
}

struct CategoryOf {
    const char *extensions;
    FileCategory category;
};

// Space-separated, lower case.
const CategoryOf kCategories[] = {
    {"jpg jpeg png gif bmp tif tiff webp heic heif avif raw cr2 cr3 nef arw orf rw2 dng svg ico psd xcf kra exr",
     FileCategory::pictures},
    {"mp4 m4v mkv avi mov wmv flv webm mpg mpeg m2ts mts 3gp vob ogv", FileCategory::video},
    {"mp3 flac wav ogg oga opus m4a aac wma aiff aif alac ape mid midi", FileCategory::audio},
    {"pdf doc docx xls xlsx ppt pptx odt ods odp odg rtf txt md rst tex epub mobi csv tsv djvu pages key numbers",
     FileCategory::documents},
    {"zip tar gz tgz bz2 tbz xz txz zst lz lzma lz4 7z rar cab iso img dmg qcow2 vmdk vdi vhd vhdx squashfs deb rpm "
     "tar.gz tar.bz2 tar.xz tar.zst tar.lz tar.lzma tar.lz4 cpio.gz sql.gz sql.xz sql.zst",
     FileCategory::archives},
    {"c h cc cpp cxx hpp hh hxx ipp inl py pyi js mjs cjs ts tsx jsx java kt kts go rs rb php swift m mm cs fs vb "
     "sh bash zsh fish pl pm lua r jl scala clj hs ml sql json yaml yml toml xml html htm css scss sass less vue "
     "svelte cmake mk gradle proto ini cfg conf pas pp inc f f90 d asm s el vim",
     FileCategory::sourceCode},
    {"so a o obj lib dll exe bin elf dylib jar war class pyc pyo apk appimage snap flatpak wasm ko efi msi",
     FileCategory::programs},
};

const QHash<QByteArray, FileCategory> &categoryTable()
{
    static const QHash<QByteArray, FileCategory> table = [] {
        QHash<QByteArray, FileCategory> t;
        for (const CategoryOf &c : kCategories)
            for (const QByteArray &e : QByteArray(c.extensions).split(' '))
                t.insert(e, c.category);
        return t;
    }();
    return table;
}

// The size a file counts for.
qint64 sizeOf(const ScanTree::NodeRef &r, SizeMeasure measure)
{
    return measure == SizeMeasure::logical ? r.logicalSize() : r.allocatedSize();
}

bool isFile(const ScanTree::NodeRef &r)
{
    // Packages are files for what they are made of; links and devices hold
    // nothing, and neither does what was left out (an excluded name in a
    // scan file may be of any kind).
    if (r.mark() != ScanNodeMark::none && r.mark() != ScanNodeMark::unreadable)
        return false;
    return (r.kind() == ScanNodeKind::file && !r.isSpecial()) || r.kind() == ScanNodeKind::package;
}

} // namespace

QString fileCategoryName(FileCategory category)
{
    switch (category) {
    case FileCategory::pictures: return QStringLiteral("Pictures");
    case FileCategory::video: return QStringLiteral("Video");
    case FileCategory::audio: return QStringLiteral("Audio");
    case FileCategory::documents: return QStringLiteral("Documents");
    case FileCategory::archives: return QStringLiteral("Archives and disk images");
    case FileCategory::sourceCode: return QStringLiteral("Source code");
    case FileCategory::programs: return QStringLiteral("Programs and libraries");
    case FileCategory::other: break;
    }
    return QStringLiteral("Other");
}

QString fileCategoryKey(FileCategory category)
{
    switch (category) {
    case FileCategory::pictures: return QStringLiteral("pictures");
    case FileCategory::video: return QStringLiteral("video");
    case FileCategory::audio: return QStringLiteral("audio");
    case FileCategory::documents: return QStringLiteral("documents");
    case FileCategory::archives: return QStringLiteral("archives");
    case FileCategory::sourceCode: return QStringLiteral("source");
    case FileCategory::programs: return QStringLiteral("programs");
    case FileCategory::other: break;
    }
    return QStringLiteral("other");
}

QByteArray fileExtensionOf(QByteArrayView name)
{
    const qsizetype start = extensionStart(name);
    QByteArray out;
    if (start < 0)
        return out;
    out.reserve(name.size() - start);
    for (const char c : name.sliced(start))
        out += lower(c);
    return out;
}

FileCategory fileCategoryOfName(QByteArrayView name)
{
    // Without a copy of the extension: this is asked of every file.
    const qsizetype start = extensionStart(name);
    if (start < 0)
        return FileCategory::other;
    char lowered[32];
    const qsizetype length = name.size() - start;
    if (length > qsizetype(sizeof lowered))
        return fileCategoryOf(fileExtensionOf(name));
    for (qsizetype k = 0; k < length; ++k)
        lowered[k] = lower(name[start + k]);
    return fileCategoryOf(QByteArrayView(lowered, length));
}

FileCategory fileCategoryOf(QByteArrayView extension)
{
    const QHash<QByteArray, FileCategory> &table = categoryTable();
    const auto found = table.constFind(QByteArray::fromRawData(extension.data(), extension.size()));
    if (found != table.cend())
        return *found;
    // A compressed type of its own kind ("sql.gz" is in the table; "log.gz" is an archive).
    if (const qsizetype dot = extension.lastIndexOf('.'); dot >= 0)
        return fileCategoryOf(extension.sliced(dot + 1));
    return FileCategory::other;
}

FileAge fileAgeOf(qint64 modifiedAt, qint64 now)
{
    if (modifiedAt == 0)
        return FileAge::unknown;
    constexpr qint64 day = 86400;
    const qint64 age = std::max<qint64>(now - modifiedAt, 0);
    if (age < day)
        return FileAge::day;
    if (age < 7 * day)
        return FileAge::week;
    if (age < 30 * day)
        return FileAge::month;
    if (age < 91 * day)
        return FileAge::threeMonths;
    if (age < 365 * day)
        return FileAge::year;
    if (age < 2 * 365 * day)
        return FileAge::twoYears;
    if (age < 5 * 365 * day)
        return FileAge::fiveYears;
    return FileAge::older;
}

QString fileAgeName(FileAge age)
{
    switch (age) {
    case FileAge::day: return QStringLiteral("Within a day");
    case FileAge::week: return QStringLiteral("Within a week");
    case FileAge::month: return QStringLiteral("Within a month");
    case FileAge::threeMonths: return QStringLiteral("Within three months");
    case FileAge::year: return QStringLiteral("Within a year");
    case FileAge::twoYears: return QStringLiteral("Within two years");
    case FileAge::fiveYears: return QStringLiteral("Within five years");
    case FileAge::older: return QStringLiteral("Older");
    case FileAge::unknown: break;
    }
    return QStringLiteral("Unknown");
}

QString fileAgeKey(FileAge age)
{
    switch (age) {
    case FileAge::day: return QStringLiteral("day");
    case FileAge::week: return QStringLiteral("week");
    case FileAge::month: return QStringLiteral("month");
    case FileAge::threeMonths: return QStringLiteral("threeMonths");
    case FileAge::year: return QStringLiteral("year");
    case FileAge::twoYears: return QStringLiteral("twoYears");
    case FileAge::fiveYears: return QStringLiteral("fiveYears");
    case FileAge::older: return QStringLiteral("older");
    case FileAge::unknown: break;
    }
    return QStringLiteral("unknown");
}

bool FileFilter::matches(const ScanTree::NodeRef &file) const
{
    switch (kind) {
    case Kind::all: return true;
    case Kind::age: return fileAgeOf(file.modifiedAt(), now) == age;
    case Kind::extension: {
        QByteArray scratch;
        return fileExtensionOf(file.nativeName(scratch)) == extension;
    }
    case Kind::category: {
        QByteArray scratch;
        return fileCategoryOfName(file.nativeName(scratch)) == category;
    }
    }
    return false;
}

void ScanAnalysis::forEachFile(const ScanTree &tree, const QUuid &folder, SizeMeasure measure,
                               const std::function<bool(const ScanTree::NodeRef &, qint64)> &visit,
                               const std::atomic<bool> *cancelled)
{
    // A file with several links counts once, under the link met first.
    std::unordered_set<FileIdentity, FileIdentityHash> seen;
    qint64 walked = 0;
    tree.forEachRefBelow(folder, [&](const ScanTree::NodeRef &r) {
        if ((++walked & 0xffff) == 0 && cancelled && cancelled->load(std::memory_order_relaxed))
            return false;
        if (!isFile(r))
            return true;
        if (r.linkCount() > 1)
            if (const std::optional<FileIdentity> identity = r.linkedFile(); identity && !seen.insert(*identity).second)
                return true;
        return visit(r, sizeOf(r, measure));
    });
}

QList<ScanTree::NodeRef> ScanAnalysis::largestFiles(const ScanTree &tree, const QUuid &folder, SizeMeasure measure,
                                                    int limit, const FileFilter &filter,
                                                    const std::atomic<bool> *cancelled)
{
    struct Kept {
        qint64 size;
        qint32 position;
        ScanTree::NodeRef node;
    };
    // The smallest kept on top: a file larger than it takes its place.
    const auto smaller = [](const Kept &a, const Kept &b) {
        return a.size != b.size ? a.size > b.size : a.position < b.position;
    };
    std::vector<Kept> heap;
    if (limit <= 0)
        return {};
    heap.reserve(size_t(limit) + 1);
    forEachFile(
        tree, folder, measure,
        [&](const ScanTree::NodeRef &r, qint64 size) {
            if (qsizetype(heap.size()) == limit && size <= heap.front().size)
                return true;
            if (!filter.matches(r))
                return true;
            heap.push_back({size, r.position(), r});
            std::push_heap(heap.begin(), heap.end(), smaller);
            if (qsizetype(heap.size()) > limit) {
                std::pop_heap(heap.begin(), heap.end(), smaller);
                heap.pop_back();
            }
            return true;
        },
        cancelled);
    std::sort(heap.begin(), heap.end(), smaller);
    QList<ScanTree::NodeRef> out;
    out.reserve(qsizetype(heap.size()));
    for (const Kept &k : heap)
        out.append(k.node);
    return out;
}

QList<FileTypeRow> ScanAnalysis::fileTypes(const ScanTree &tree, const QUuid &folder, SizeMeasure measure,
                                           const std::atomic<bool> *cancelled)
{
    // Extensions are few: looked up by their bytes, each stored once.
    std::deque<std::string> keys;
    std::unordered_map<std::string_view, qsizetype> rowOf;
    QList<FileTypeRow> rows;
    char lowered[kLongestExtension + 8];
    QByteArray scratch;
    forEachFile(
        tree, folder, measure,
        [&](const ScanTree::NodeRef &r, qint64 size) {
            const QByteArrayView name = r.nativeName(scratch);
            const qsizetype start = extensionStart(name);
            std::string_view key;
            if (start >= 0) {
                const qsizetype n = name.size() - start;
                for (qsizetype k = 0; k < n; ++k)
                    lowered[k] = lower(name[start + k]);
                key = std::string_view(lowered, size_t(n));
            }
            auto found = rowOf.find(key);
            if (found == rowOf.end()) {
                keys.emplace_back(key);
                FileTypeRow row;
                row.extension = QByteArray(keys.back().data(), qsizetype(keys.back().size()));
                row.category = fileCategoryOf(row.extension);
                rows.append(row);
                found = rowOf.emplace(std::string_view(keys.back()), rows.size() - 1).first;
            }
            FileTypeRow &row = rows[found->second];
            row.size = INT64_MAX - row.size < size ? INT64_MAX : row.size + size;
            ++row.count;
            return true;
        },
        cancelled);
    std::sort(rows.begin(), rows.end(), [](const FileTypeRow &a, const FileTypeRow &b) {
        return a.size != b.size ? a.size > b.size : a.extension < b.extension;
    });
    return rows;
}

QList<FileTypeRow> ScanAnalysis::categories(const QList<FileTypeRow> &types)
{
    QList<FileTypeRow> rows(kFileCategoryCount);
    for (int c = 0; c < kFileCategoryCount; ++c)
        rows[c].category = FileCategory(c);
    for (const FileTypeRow &t : types) {
        FileTypeRow &row = rows[int(t.category)];
        row.size = INT64_MAX - row.size < t.size ? INT64_MAX : row.size + t.size;
        row.count += t.count;
    }
    rows.removeIf([](const FileTypeRow &r) { return r.count == 0; });
    std::stable_sort(rows.begin(), rows.end(), [](const FileTypeRow &a, const FileTypeRow &b) { return a.size > b.size; });
    return rows;
}

std::array<FileAgeRow, kFileAgeCount> ScanAnalysis::fileAges(const ScanTree &tree, const QUuid &folder,
                                                             SizeMeasure measure, qint64 now,
                                                             const std::atomic<bool> *cancelled)
{
    std::array<FileAgeRow, kFileAgeCount> rows;
    for (int a = 0; a < kFileAgeCount; ++a)
        rows[size_t(a)].age = FileAge(a);
    forEachFile(
        tree, folder, measure,
        [&](const ScanTree::NodeRef &r, qint64 size) {
            FileAgeRow &row = rows[size_t(fileAgeOf(r.modifiedAt(), now))];
            row.size = INT64_MAX - row.size < size ? INT64_MAX : row.size + size;
            ++row.count;
            return true;
        },
        cancelled);
    return rows;
}

QHash<QUuid, ScanAnalysis::FileMix> ScanAnalysis::folderMix(const ScanTree &tree, const QUuid &folder,
                                                            SizeMeasure measure, int depth,
                                                            const std::function<int(const ScanTree::NodeRef &)> &classify,
                                                            const std::atomic<bool> *cancelled)
{
    const ScanTree::NodeRef top = tree.ref(folder);
    if (!top.isValid())
        return {};
    const auto add = [](FileMix &into, const FileMix &part) {
        for (size_t k = 0; k < into.size(); ++k)
            into[k] = INT64_MAX - into[k] < part[k] ? INT64_MAX : into[k] + part[k];
    };
    // Each folder's own files first: a folder's files come one after
    // another, so one look-up serves them all (the map keeps its entries
    // where they are).
    std::unordered_map<qint32, std::pair<ScanTree::NodeRef, FileMix>> own;
    qint32 lastParent = -2;
    FileMix *lastMix = nullptr;
    forEachFile(
        tree, folder, measure,
        [&](const ScanTree::NodeRef &file, qint64 size) {
            const ScanTree::NodeRef parent = file.parent();
            if (parent.position() != lastParent) {
                auto &entry = own.try_emplace(parent.position(), parent, FileMix{}).first->second;
                lastMix = &entry.second;
                lastParent = parent.position();
            }
            qint64 &part = (*lastMix)[size_t(std::clamp(classify(file), 0, kFileAgeCount - 1))];
            part = INT64_MAX - part < size ? INT64_MAX : part + size;
            return true;
        },
        cancelled);

    // Then each folder's into the nearest within depth and every one above
    // it. A tree put together by hand may hold a folder whose parents do
    // not lead back up here: its bytes go to the top.
    std::unordered_map<qint32, int> depths{{top.position(), 0}};
    std::vector<ScanTree::NodeRef> chain;
    const auto depthOf = [&](ScanTree::NodeRef at) {
        const ScanTree::NodeRef start = at;
        chain.clear();
        while (!depths.count(at.position())) {
            if (!at.isValid() || chain.size() > size_t(tree.size())) {
                for (const ScanTree::NodeRef &c : chain)
                    depths[c.position()] = -1;
                return std::pair(-1, top);
            }
            chain.push_back(at);
            at = at.parent();
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            const int above = depths[it->parent().position()];
            depths[it->position()] = above < 0 ? -1 : above + 1;
        }
        return std::pair(depths[start.position()], start);
    };
    QHash<qint32, std::pair<ScanTree::NodeRef, FileMix>> mix;
    const auto into = [&](const ScanTree::NodeRef &at, const FileMix &part) {
        auto &entry = mix[at.position()];
        entry.first = at;
        add(entry.second, part);
    };
    for (const auto &[position, entry] : own) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return {};
        auto [d, at] = depthOf(entry.first);
        if (d < 0) {
            into(top, entry.second);
            continue;
        }
        for (; d > depth; --d)
            at = at.parent();
        for (;; at = at.parent()) {
            into(at, entry.second);
            if (at.position() == top.position())
                break;
        }
    }
    QHash<QUuid, FileMix> out;
    out.reserve(mix.size());
    for (const auto &[at, part] : mix)
        out.insert(at.id(), part);
    return out;
}

QByteArray ScanAnalysis::pathBelow(const ScanTree &tree, const QUuid &folder, const ScanTree::NodeRef &node)
{
    const qint32 top = tree.ref(folder).position();
    QList<QByteArray> names;
    for (ScanTree::NodeRef at = node; at.isValid() && at.position() != top && names.size() < tree.size(); at = at.parent())
        names.prepend(at.nativeName());
    return names.join('/');
}
