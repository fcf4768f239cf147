// The largest files, the types and the ages of a real tree, as both engines
// and a scan file read back see them, against what the test works out itself
// from the files it made: their extensions as it named them, their sizes from
// lstat (a file with two links once), their times as it set them.
#include "fast_scan_engine.h"
#include "local_file_system_provider.h"
#include "scan_analysis.h"
#include "scan_engine.h"
#include "scan_file.h"
#include "scanned_tree.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDateTime>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using bltest::TempTree;

namespace {

struct Made {
    std::string path; // below the root
    std::string extension;
    FileCategory category;
    qint64 ageDays; // -1: now
};

} // namespace

TEST(ScanAnalysis, TablesMatchTheFilesAsMade)
{
    TempTree t;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const std::vector<Made> made = {
        {"photos/a.jpg", "jpg", FileCategory::pictures, 0},      {"photos/B.JPG", "jpg", FileCategory::pictures, 3},
        {"photos/caf\xe9.PNG", "png", FileCategory::pictures, 40}, {"video/film.mkv", "mkv", FileCategory::video, 200},
        {"backup.tar.gz", "tar.gz", FileCategory::archives, 500}, {"dump.sql.xz", "sql.xz", FileCategory::archives, 1000},
        {"notes", "", FileCategory::other, 2000},                 {".bashrc", "", FileCategory::other, 20},
        {"src/main.cpp", "cpp", FileCategory::sourceCode, 10},    {"src/lib.so", "so", FileCategory::programs, 100},
        {"report.2024.pdf", "pdf", FileCategory::documents, 6},   {"odd.\xff\xfe", "\xff\xfe", FileCategory::other, 60},
    };
    for (const char *d : {"photos", "video", "src"})
        t.dir(d);
    size_t bytes = 3000;
    for (const Made &m : made) {
        t.file(m.path, bytes += 7777);
        const qint64 when = now - m.ageDays * 86400 - 600;
        const struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, t.path(m.path).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << m.path;
    }
    // One file under two names: once in every table.
    ASSERT_EQ(link(t.path("video/film.mkv").c_str(), t.path("photos/film-again.mkv").c_str()), 0);
    ASSERT_EQ(truncate(t.path("sparse.img").c_str(), 0), -1); // not there yet
    { const int fd = open(t.path("sparse.img").c_str(), O_CREAT | O_WRONLY, 0644); ASSERT_GE(fd, 0); close(fd); }
    ASSERT_EQ(truncate(t.path("sparse.img").c_str(), 50'000'000), 0);

    FastScanEngine fast;
    ScanEngine recursive(std::make_shared<LocalFileSystemProvider>());
    std::vector<ScanTree> trees{scannedTree(fast, t.root()), scannedTree(recursive, t.root())};
    {
        QByteArray file;
        QBuffer out(&file);
        out.open(QIODevice::WriteOnly);
        QString error;
        ASSERT_TRUE(writeScanFile(trees[0], {}, out, &error));
        const auto back = readScanFile(file, &error);
        ASSERT_TRUE(back) << error.toStdString();
        trees.push_back(back->tree); // the times travel in the file
    }

    for (const SizeMeasure measure : {SizeMeasure::allocated, SizeMeasure::logical}) {
        // What the test knows of each file it made.
        std::map<std::string, std::pair<qint64, qint64>> byType; // extension: size, count
        std::map<FileAge, std::pair<qint64, qint64>> byAge;
        std::vector<std::pair<qint64, std::string>> bySize;
        std::vector<Made> all = made;
        all.push_back({"sparse.img", "img", FileCategory::archives, -1});
        for (const Made &m : all) {
            struct stat st;
            ASSERT_EQ(lstat(t.path(m.path).c_str(), &st), 0);
            const qint64 size = measure == SizeMeasure::logical ? qint64(st.st_size) : qint64(st.st_blocks) * 512;
            byType[m.extension].first += size;
            ++byType[m.extension].second;
            const FileAge age = m.ageDays < 0 ? fileAgeOf(st.st_mtime, now) : fileAgeOf(now - m.ageDays * 86400 - 600, now);
            byAge[age].first += size;
            ++byAge[age].second;
            bySize.emplace_back(size, m.path);
            const QByteArrayView name = QByteArrayView(m.path).sliced(m.path.rfind('/') == std::string::npos ? 0 : m.path.rfind('/') + 1);
            EXPECT_EQ(fileExtensionOf(name), QByteArray::fromStdString(m.extension)) << m.path;
            EXPECT_EQ(fileCategoryOfName(name), m.extension.empty() ? FileCategory::other : m.category) << m.path;
            if (!m.extension.empty()) {
                EXPECT_EQ(fileCategoryOf(QByteArray::fromStdString(m.extension)), m.category) << m.path;
            }
        }
        std::sort(bySize.begin(), bySize.end(), std::greater<>());

        for (const ScanTree &tree : trees) {
            const QList<FileTypeRow> types = ScanAnalysis::fileTypes(tree, tree.rootID, measure);
            std::map<std::string, std::pair<qint64, qint64>> gotTypes;
            for (const FileTypeRow &row : types)
                gotTypes[row.extension.toStdString()] = {row.size, row.count};
            EXPECT_EQ(gotTypes, byType);
            const auto ages = ScanAnalysis::fileAges(tree, tree.rootID, measure, now);
            std::map<FileAge, std::pair<qint64, qint64>> gotAges;
            for (const FileAgeRow &row : ages)
                if (row.count)
                    gotAges[row.age] = {row.size, row.count};
            EXPECT_EQ(gotAges, byAge);
            const QList<ScanTree::NodeRef> largest = ScanAnalysis::largestFiles(tree, tree.rootID, measure, 5);
            ASSERT_EQ(largest.size(), 5);
            for (int k = 0; k < 5; ++k) {
                const qint64 size = measure == SizeMeasure::logical ? largest[k].logicalSize() : largest[k].allocatedSize();
                EXPECT_EQ(size, bySize[size_t(k)].first) << k;
            }
            const QByteArray top = ScanAnalysis::pathBelow(tree, tree.rootID, largest[0]);
            EXPECT_EQ(top, measure == SizeMeasure::logical ? "sparse.img" : QByteArray::fromStdString(bySize[0].second));
            // Only the pictures, by their category.
            FileFilter pictures;
            pictures.kind = FileFilter::Kind::category;
            pictures.category = FileCategory::pictures;
            EXPECT_EQ(ScanAnalysis::largestFiles(tree, tree.rootID, measure, 100, pictures).size(), 3);
            const auto photos = ScanAnalysis::fileTypes(tree, tree.rootID, measure);
            EXPECT_EQ(ScanAnalysis::categories(photos).size(), 7) << "no category is left empty but audio";
        }
    }
    // A scan file without times has nothing but "unknown".
    QString error;
    const auto timeless = readScanFile("[1,2,{},[{\"name\":\"/r\"},{\"name\":\"a.txt\",\"asize\":5}]]", &error);
    ASSERT_TRUE(timeless);
    const auto ages = ScanAnalysis::fileAges(timeless->tree, timeless->tree.rootID, SizeMeasure::logical, now);
    EXPECT_EQ(ages[size_t(FileAge::unknown)].count, 1);
}
