// Scans kept in a folder of their own: saved compressed, read back as the
// scan they were, found by the folder scanned, and let go oldest first past
// the limits; a file that is not a scan is left alone by everything but
// the limits.
#include "scan_file_io.h"
#include "scan_history.h"
#include "stable_scan_node_id.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

ScanTree treeOf(const QString &root, qint64 size)
{
    ScanTree::Builder b(FileUrl::fromPath(root, true));
    ScanTree::NodeFacts folder, file;
    folder.kind = ScanNodeKind::directory;
    file.allocatedSize = file.logicalSize = size;
    b.add(stableScanNodeID(root), -1, {}, folder);
    b.add(stableScanNodeID(root + "/f"), 0, "f", file);
    b.addSizes(0, size, size);
    return b.finish();
}

ScanSummary at(qint64 seconds)
{
    ScanSummary s;
    s.finishedAt = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
    return s;
}

} // namespace

TEST(ScanHistory, SavedScansReadBackAndTheOldestGo)
{
    QTemporaryDir dir;
    ScanHistory history(dir.path());
    history.perFolder = 3;
    QString error, saved;
    for (int day = 0; day < 5; ++day)
        ASSERT_TRUE(history.save(treeOf("/home/u", 1000 * (day + 1)), at(1796000000 + day * 86400), &error, &saved))
            << error.toStdString();
    ASSERT_TRUE(history.save(treeOf("/srv", 7), at(1796000000), &error));

    const QList<ScanHistoryEntry> home = history.scansOf(FileUrl::fromPath("/home/u", true));
    ASSERT_EQ(home.size(), 3) << "three a folder";
    EXPECT_EQ(home.first().finishedAt, at(1796000000 + 4 * 86400).finishedAt) << "newest first";
    EXPECT_EQ(home.first().file, saved);
    const std::optional<ScanFileContents> back = loadScanFile(home.first().file, &error);
    ASSERT_TRUE(back) << error.toStdString();
    EXPECT_EQ(back->tree.rootNode()->allocatedSize, 5000);
    EXPECT_EQ(back->tree.rootNode()->url.path(), "/home/u");
    EXPECT_EQ(history.scansOf(FileUrl::fromPath("/srv", true)).size(), 1);

    // What is not a scan stays until the limits let it go; the bytes in
    // all count every file, the oldest going first.
    QFile junk(home.last().file.left(home.last().file.indexOf("-2026")) + "-20200101T000000000Z.json.zst");
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a scan");
    junk.close();
    EXPECT_EQ(history.scansOf(FileUrl::fromPath("/home/u", true)).size(), 4);
    history.applyLimits(10, home.first().fileBytes + home[1].fileBytes + 1);
    EXPECT_EQ(history.scansOf(FileUrl::fromPath("/home/u", true)).size(), 2) << "the newest two of all";
    EXPECT_TRUE(history.scansOf(FileUrl::fromPath("/srv", true)).isEmpty());
    EXPECT_FALSE(junk.exists());

    ScanHistory nowhere(QStringLiteral("/proc/no/such"));
    EXPECT_FALSE(nowhere.save(treeOf("/home/u", 1), at(1), &error));
    EXPECT_FALSE(error.isEmpty());
}
