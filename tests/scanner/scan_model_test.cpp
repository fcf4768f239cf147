// Identifiers, URLs and tree look-ups of the scan model.
#include "scan_failure.h"
#include "scan_tree.h"
#include "stable_scan_node_id.h"

#include <gtest/gtest.h>

namespace {

QString text(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

ScanNodeRecord record(const QString &path, std::optional<QUuid> parent, ScanNodeKind kind)
{
    ScanNodeRecord r;
    r.url = FileUrl::fromPath(path, kind != ScanNodeKind::file);
    r.id = stableScanNodeID(r.url);
    r.parentID = parent;
    r.displayName = r.url.lastPathComponent();
    r.kind = kind;
    return r;
}

} // namespace

TEST(StableScanNodeID, WorkedExamplesAndPathForms)
{
    EXPECT_EQ(text(stableScanNodeID(QStringLiteral("abc"))), "E71FA219-0541-5748-92DE-9CB39E1BF45C");
    EXPECT_EQ(text(stableScanNodeID(QString())), "AF63A24C-8601-59FF-97BD-445E7CE79FD7");
    EXPECT_EQ(text(stableScanNodeID(QStringLiteral("/"))), "AF63A24C-8601-59FF-97BD-445E7CE79FD7");

    const QUuid plain = stableScanNodeID(FileUrl::fromPath("/tmp/a/b", true));
    EXPECT_EQ(stableScanNodeID(FileUrl::fromPath("/tmp/a/b/", true)), plain);
    EXPECT_EQ(stableScanNodeID(FileUrl::fromPath("/tmp/./a/c/../b", true)), plain);
    EXPECT_EQ(stableScanNodeID(FileUrl::fromPath("/", true)), stableScanNodeID(QStringLiteral("/")));
    EXPECT_NE(stableScanNodeID(QStringLiteral("/tmp/a")), plain);

    // Non-ASCII text hashes its UTF-8 bytes: the same path, however built.
    const QString accented = QString::fromUtf8("/tmp/caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(stableScanNodeID(accented), stableScanNodeID(QString(accented)));
    EXPECT_NE(stableScanNodeID(accented), stableScanNodeID(QStringLiteral("/tmp/cafe/")));
    EXPECT_EQ(stableScanNodeID(accented).version(), QUuid::Sha1);
    EXPECT_EQ(stableScanNodeID(accented).variant(), QUuid::DCE);
}

TEST(FileUrl, ComponentsAndStandardizing)
{
    const FileUrl dir = FileUrl::fromPath("/home/me/", true);
    EXPECT_EQ(dir.path(), "/home/me");
    EXPECT_EQ(dir.rawPath(), "/home/me/");
    EXPECT_EQ(dir.appending("x", true).appending("y", false).rawPath(), "/home/me/x/y");
    EXPECT_EQ(dir.lastPathComponent(), "me");
    const FileUrl child = dir.appending("notes.txt", false);
    EXPECT_EQ(child.path(), "/home/me/notes.txt");
    EXPECT_FALSE(child.isDirectory());
    EXPECT_EQ(FileUrl::fromPath("/", true).lastPathComponent(), "/");
    EXPECT_EQ(FileUrl::fromPath("/a/./b/../../c/", true).standardized().rawPath(), "/c/");
    EXPECT_EQ(FileUrl::fromPath("/..", true).standardized().path(), "/");
}

TEST(ScanFailure, Messages)
{
    const FileUrl url = FileUrl::fromPath("/srv/data folder/", true);
    EXPECT_EQ(ScanFailure::rootInaccessible(url).message(), "Could not access folder: /srv/data folder");
    EXPECT_EQ(ScanFailure::ioError(url).message(),
              "An I/O error occurred while scanning: /srv/data folder");
    EXPECT_EQ(ScanFailure::bookmarkResolutionFailed().message(),
              "Stored folder access could not be restored.");
}

TEST(ScanTree, LookupsPathsAndCycles)
{
    ScanTree tree;
    const ScanNodeRecord root = record("/r", std::nullopt, ScanNodeKind::directory);
    const ScanNodeRecord sub = record("/r/sub", root.id, ScanNodeKind::directory);
    const ScanNodeRecord file = record("/r/sub/f", sub.id, ScanNodeKind::file);
    tree.rootID = root.id;
    for (const auto &r : {root, sub, file})
        tree.insert(r);
    const QUuid missing = stableScanNodeID(QStringLiteral("/r/gone"));
    tree.setChildren(root.id, {missing, sub.id});
    tree.setChildren(sub.id, {file.id});

    EXPECT_EQ(tree.rootNode()->id, root.id);
    EXPECT_FALSE(tree.node(std::nullopt));
    EXPECT_FALSE(tree.node(missing));
    ASSERT_EQ(tree.children(root.id).size(), 1) << "ids without a record are skipped";
    EXPECT_EQ(tree.children(root.id).front().id, sub.id);
    EXPECT_TRUE(tree.children(file.id).isEmpty());
    EXPECT_TRUE(tree.children(missing).isEmpty());

    const auto toFile = tree.path(file.id);
    ASSERT_EQ(toFile.size(), 3);
    EXPECT_EQ(toFile.front().id, root.id);
    EXPECT_EQ(toFile.back().id, file.id);
    EXPECT_EQ(tree.path(root.id).size(), 1);
    EXPECT_TRUE(tree.path(missing).isEmpty());

    ScanTree copy = tree; // shares its tables until one side writes
    EXPECT_EQ(copy, tree);
    copy.update(root.id, [&](ScanNodeRecord &r) { r.parentID = file.id; }); // a cycle: root -> file -> sub -> root
    EXPECT_EQ(copy.path(file.id).size(), 3);
    EXPECT_NE(copy, tree);
    EXPECT_FALSE(tree.node(root.id)->parentID) << "the original is untouched";
}
