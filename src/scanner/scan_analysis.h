// What the space below a folder is made of: its largest files, its files by
// type (extension and category) and by age. Pure functions of a tree, run
// off the main thread by the window and in burrowlens-scan. A file counts as
// the scan counts it: once however many links it has, by the size shown.
#pragma once

#include "scan_tree.h"
#include "size_order.h"

#include <QHash>
#include <QList>
#include <array>
#include <atomic>

enum class FileCategory { pictures, video, audio, documents, archives, sourceCode, programs, other };
inline constexpr int kFileCategoryCount = 8;

// "Pictures", "Archives and disk images", ...
QString fileCategoryName(FileCategory category);
// A short key for JSON: "pictures", "archives", ...
QString fileCategoryKey(FileCategory category);

// The type of a file by its name: the extension in lower case without its
// dot ("jpg", "tar.gz" for double ones), empty for none (".bashrc" has none).
QByteArray fileExtensionOf(QByteArrayView name);
FileCategory fileCategoryOf(QByteArrayView extension);
// The same of a file's name (fileCategoryOf(fileExtensionOf(name))).
FileCategory fileCategoryOfName(QByteArrayView name);

// How long ago a file was last modified.
enum class FileAge { day, week, month, threeMonths, year, twoYears, fiveYears, older, unknown };
inline constexpr int kFileAgeCount = 9;
FileAge fileAgeOf(qint64 modifiedAt, qint64 now);
// "Within a day", ..., "Older", "Unknown".
QString fileAgeName(FileAge age);
QString fileAgeKey(FileAge age);

struct FileTypeRow {
    QByteArray extension; // empty: no extension
    FileCategory category = FileCategory::other;
    qint64 size = 0;
    qint64 count = 0;
    friend bool operator==(const FileTypeRow &, const FileTypeRow &) = default;
};

struct FileAgeRow {
    FileAge age = FileAge::unknown;
    qint64 size = 0;
    qint64 count = 0;
    friend bool operator==(const FileAgeRow &, const FileAgeRow &) = default;
};

// Which files a table or a list takes: all of them, or one type or age.
struct FileFilter {
    enum class Kind { all, extension, category, age };
    Kind kind = Kind::all;
    QByteArray extension;
    FileCategory category = FileCategory::other;
    FileAge age = FileAge::unknown;
    qint64 now = 0; // for age
    bool matches(const ScanTree::NodeRef &file) const;
    friend bool operator==(const FileFilter &, const FileFilter &) = default;
};

class ScanAnalysis {
public:
    // Every file below folder (at any depth) once, with its size by measure;
    // visit returns false to stop. Folders not entered add nothing.
    // cancelled, when set, is asked now and then: the walk ends early.
    static void forEachFile(const ScanTree &tree, const QUuid &folder, SizeMeasure measure,
                            const std::function<bool(const ScanTree::NodeRef &file, qint64 size)> &visit,
                            const std::atomic<bool> *cancelled = nullptr);

    // The limit largest files below folder, largest first (the same size in
    // the order of the tree).
    static QList<ScanTree::NodeRef> largestFiles(const ScanTree &tree, const QUuid &folder, SizeMeasure measure,
                                                 int limit, const FileFilter &filter = {},
                                                 const std::atomic<bool> *cancelled = nullptr);
    // By extension, largest first.
    static QList<FileTypeRow> fileTypes(const ScanTree &tree, const QUuid &folder, SizeMeasure measure,
                                        const std::atomic<bool> *cancelled = nullptr);
    // The same gathered into categories, largest first (empty ones left out).
    static QList<FileTypeRow> categories(const QList<FileTypeRow> &types);
    // Every age, in order; now: seconds since the epoch.
    static std::array<FileAgeRow, kFileAgeCount> fileAges(const ScanTree &tree, const QUuid &folder, SizeMeasure measure,
                                                          qint64 now, const std::atomic<bool> *cancelled = nullptr);

    // Of folder and each folder below it down to depth levels: the bytes of
    // its files (at any depth) in the slot classify gives each file
    // (0 <= slot < kFileAgeCount), by identifier.
    using FileMix = std::array<qint64, kFileAgeCount>;
    static QHash<QUuid, FileMix> folderMix(const ScanTree &tree, const QUuid &folder, SizeMeasure measure, int depth,
                                           const std::function<int(const ScanTree::NodeRef &file)> &classify,
                                           const std::atomic<bool> *cancelled = nullptr);

    // The path of node below folder, as bytes ("sub/dir/file").
    static QByteArray pathBelow(const ScanTree &tree, const QUuid &folder, const ScanTree::NodeRef &node);
};
