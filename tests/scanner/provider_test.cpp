// The local file-system provider and the sizing rule.
#include "local_file_system_provider.h"
#include "node_sizing_service.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <sstream>

using bltest::TempTree;

namespace {

FileUrl urlOf(const std::string &path, bool dir = true)
{
    return FileUrl::fromPath(QString::fromStdString(path), dir);
}

} // namespace

TEST(NodeSizingService, FiguresAndFallbacks)
{
    const NodeSizingService sizing;
    NodeResourceValues v;
    EXPECT_EQ(sizing.resolveSize(v), (NodeSize{0, 0})) << "a directory reports no sizes";
    v.fileSize = 1000;
    EXPECT_EQ(sizing.resolveSize(v), (NodeSize{1000, 1000}));
    v.totalFileSize = 10;
    v.fileSize = 8;
    v.fileAllocatedSize = 4096;
    EXPECT_EQ(sizing.resolveSize(v), (NodeSize{4096, 10}));
    v.totalFileAllocatedSize = -5;
    EXPECT_EQ(sizing.resolveSize(v), (NodeSize{0, 10})) << "negative figures become 0";
}

TEST(LocalFileSystemProvider, ListsChildrenWithTheirMetadata)
{
    TempTree t;
    t.dir("d");
    t.file("d/data", 5000);
    t.file("d/.hidden", 1);
    t.dir("d/App.app");
    t.symlink("data", "d/link");
    const LocalFileSystemProvider fs;
    std::map<QString, ChildEntry> byName;
    for (const ChildEntry &e : fs.childEntries(urlOf(t.path("d"))))
        byName[e.values.name] = e;
    ASSERT_EQ(byName.size(), 4u);
    const NodeResourceValues &data = byName.at("data").values;
    EXPECT_FALSE(data.isDirectory);
    EXPECT_TRUE(data.isReadable);
    EXPECT_EQ(data.fileSize, 5000);
    EXPECT_EQ(data.totalFileSize, 5000);
    EXPECT_GE(*data.fileAllocatedSize, 4096);
    EXPECT_EQ(byName.at("data").url.path(), QString::fromStdString(t.path("d/data")));
    EXPECT_TRUE(byName.at(".hidden").values.isHidden);
    EXPECT_TRUE(byName.at("App.app").values.isPackage);
    EXPECT_TRUE(byName.at("App.app").values.isDirectory);
    EXPECT_FALSE(byName.at("App.app").values.fileSize) << "directories carry no sizes";
    EXPECT_FALSE(byName.at("link").values.isDirectory);
    EXPECT_FALSE(byName.at("link").values.fileSize) << "a link is not followed";

    EXPECT_EQ(fs.resourceValues(urlOf(t.path("d/data"), false)), data);
    EXPECT_TRUE(fs.resourceValues(urlOf("/")).isDirectory);
    EXPECT_THROW(fs.childEntries(urlOf(t.path("missing"))), FileSystemError);
    EXPECT_THROW(fs.resourceValues(urlOf(t.path("missing"))), FileSystemError);
}

TEST(LocalFileSystemProvider, DeepPathsAndUnreadableMetadata)
{
    TempTree t;
    const std::string chain = t.deepChain("deep", 5000);
    const LocalFileSystemProvider fs;
    const auto bottom = fs.childEntries(urlOf(t.path(chain)));
    ASSERT_EQ(bottom.size(), 1);
    EXPECT_EQ(bottom.front().values.fileSize, 4);
    EXPECT_EQ(fs.resourceValues(bottom.front().url).name, "bottom.txt");

    t.dir("listonly");
    t.file("listonly/x", 10);
    t.chmod("listonly", 0444);
    const auto answer = bltest::inUnprivilegedChild([&] {
        try {
            LocalFileSystemProvider().childEntries(urlOf(t.path("listonly")));
        } catch (const FileSystemError &e) {
            return std::to_string(e.code().value());
        }
        return std::string("listed");
    });
    if (answer) {
        EXPECT_EQ(*answer, std::to_string(EACCES)) << "listed but not searchable: the folder is unreadable";
    }
}

// A folder swapped for a link after its parent was listed is not followed
// out of the tree: the child is opened below the directory that was listed.
TEST(LocalFileSystemProvider, FoldersAreOpenedBelowTheListingNotThroughLinks)
{
    TempTree t;
    t.dir("tree");
    t.dir("tree/a");
    t.dir("tree/a/b");
    t.file("tree/a/b/inside", 10);
    t.dir("outside");
    t.dir("outside/b");
    t.file("outside/b/elsewhere", 10);
    const LocalFileSystemProvider fs;
    const auto top = fs.childEntries(urlOf(t.path("tree")));
    ASSERT_EQ(top.size(), 1);
    const auto a = fs.childEntries(top.front().url);
    ASSERT_EQ(a.size(), 1);
    // Now "a" becomes a link to a folder outside the tree.
    ASSERT_EQ(std::rename(t.path("tree/a").c_str(), t.path("moved").c_str()), 0);
    t.symlink(t.path("outside"), "tree/a");
    QStringList names;
    try {
        for (const ChildEntry &e : fs.childEntries(a.front().url))
            names << e.values.name;
    } catch (const FileSystemError &) {
    }
    EXPECT_FALSE(names.contains("elsewhere"));

    const NodeResourceValues root = fs.resourceValues(FileUrl::fromPath("/", true));
    EXPECT_TRUE(root.isDirectory);
    EXPECT_FALSE(root.isHidden) << "the file-system root is not a dot file";
}
