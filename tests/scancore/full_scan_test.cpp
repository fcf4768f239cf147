// bl_full_scan on real trees, checked against an independent walk.
#include "bl_scan_internal.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

using bltest::ScanRun;
using bltest::TempTree;

namespace {

// A tree with every kind the core distinguishes.
void buildMixedTree(const TempTree &t)
{
    t.dir("a");
    t.dir("a/b");
    t.dir("a/b/c");
    t.dir("empty");
    t.file("top.bin", 10000);
    t.file("zero", 0);
    t.file("a/one", 1);
    t.file("a/b/four_k", 4096);
    t.file("a/b/c/big", 300000);
    t.file(".hidden", 17);
    t.symlink("a", "link_to_dir");
    t.symlink("does/not/exist", "broken_link");
    t.fifo("pipe");
    t.dir("Tool.app");
    t.dir("Tool.app/Contents");
    t.file("Tool.app/Contents/binary", 50000);
    t.wide("wide", 40, 12);
}

void expectArrayInvariants(const bl_scan_result_t &r)
{
    ASSERT_GE(r.node_count, 1);
    ASSERT_LE(r.node_count, r.node_capacity);
    EXPECT_EQ(r.nodes[0].parent_index, -1);
    std::map<int32_t, std::vector<int32_t>> byParent;
    for (int32_t i = 1; i < r.node_count; ++i) {
        const int32_t p = r.nodes[i].parent_index;
        ASSERT_GE(p, 0) << "only the root lacks a parent";
        ASSERT_LT(p, i) << "parents precede children";
        ASSERT_EQ(r.nodes[p].obj_type, BL_OBJ_DIRECTORY) << bl_node_name(&r, &r.nodes[i]);
        byParent[p].push_back(i);
        EXPECT_STRNE(bl_node_name(&r, &r.nodes[i]), ".");
        EXPECT_STRNE(bl_node_name(&r, &r.nodes[i]), "..");
    }
    for (const auto &[parent, kids] : byParent)
        EXPECT_EQ(kids.back() - kids.front() + 1, int32_t(kids.size()))
            << "children of " << bl_node_name(&r, &r.nodes[parent]) << " are not one block";
}

} // namespace

TEST(FullScan, MixedTreeMatchesIndependentWalk)
{
    TempTree t;
    buildMixedTree(t);
    ScanRun scan(t.root());
    ASSERT_EQ(scan.status, 0);
    const bl_scan_result_t &r = scan.result;
    expectArrayInvariants(r);

    const bltest::WalkTotals w = bltest::independentWalk(t.root());
    EXPECT_EQ(bl_get_items_scanned(&r), w.items);
    EXPECT_EQ(bl_get_dirs_scanned(&r), w.dirs);
    EXPECT_EQ(bl_get_files_scanned(&r), w.files);
    EXPECT_EQ(bl_get_unreadable_count(&r), 0);
    EXPECT_EQ(r.node_count, w.items);
    EXPECT_EQ(r.nodes[0].allocated_size, w.allocated);
    EXPECT_EQ(r.nodes[0].logical_size, w.logical);

    // Every directory's block is its listing, in the kernel's order.
    for (int32_t i = 0; i < r.node_count; ++i) {
        if (r.nodes[i].obj_type != BL_OBJ_DIRECTORY)
            continue;
        std::vector<std::string> scanned;
        for (int32_t k = 0; k < r.nodes[i].child_count; ++k)
            scanned.emplace_back(bl_node_name(&r, &r.nodes[r.children[r.nodes[i].first_child + k]]));
        EXPECT_EQ(scanned, bltest::listingOrder(bltest::nodePath(r, t.root(), i)));
    }

    std::map<std::string, const bl_flat_node_t *> top;
    for (int32_t i = 1; i < r.node_count; ++i)
        if (r.nodes[i].parent_index == 0)
            top[bl_node_name(&r, &r.nodes[i])] = &r.nodes[i];
    EXPECT_EQ(top.at("link_to_dir")->obj_type, BL_OBJ_SYMLINK);
    EXPECT_EQ(top.at("link_to_dir")->allocated_size, 0u);
    EXPECT_EQ(top.at("broken_link")->obj_type, BL_OBJ_SYMLINK);
    EXPECT_EQ(top.at("pipe")->obj_type, BL_OBJ_OTHER);
    EXPECT_EQ(top.at(".hidden")->is_hidden, 0) << "a leading dot is no hidden flag";
    EXPECT_EQ(top.at("top.bin")->logical_size, 10000u);
    EXPECT_EQ(top.at("top.bin")->is_readable, 1);

    const bl_flat_node_t *package = top.at("Tool.app");
    EXPECT_EQ(package->obj_type, BL_OBJ_PACKAGE);
    EXPECT_EQ(package->is_package, 1);
    EXPECT_EQ(package->allocated_size, 0u);
    EXPECT_EQ(package->child_count, 0);
    for (int32_t i = 0; i < r.node_count; ++i)
        EXPECT_STRNE(bl_node_name(&r, &r.nodes[i]), "Contents") << "a package is never entered";
}

TEST(FullScan, ChildrenIndexAndSubtreeSizes)
{
    TempTree t;
    buildMixedTree(t);
    ScanRun scan(t.root());
    ASSERT_EQ(scan.status, 0);
    const bl_scan_result_t &r = scan.result;
    ASSERT_NE(r.children, nullptr);
    EXPECT_EQ(r.children_count, r.node_count - 1);

    std::vector<int32_t> seenParent(size_t(r.node_count), -2);
    for (int32_t p = 0; p < r.node_count; ++p) {
        uint64_t allocated = 0, logical = 0;
        for (int32_t k = 0; k < r.nodes[p].child_count; ++k) {
            const int32_t c = r.children[r.nodes[p].first_child + k];
            ASSERT_EQ(seenParent[size_t(c)], -2) << "node listed under two parents";
            seenParent[size_t(c)] = p;
            allocated += r.nodes[c].allocated_size;
            logical += r.nodes[c].logical_size;
            if (k > 0) {
                EXPECT_LT(r.children[r.nodes[p].first_child + k - 1], c) << "ascending order";
            }
        }
        if (r.nodes[p].obj_type == BL_OBJ_DIRECTORY) {
            EXPECT_EQ(r.nodes[p].allocated_size, allocated) << bl_node_name(&r, &r.nodes[p]);
            EXPECT_EQ(r.nodes[p].logical_size, logical) << bl_node_name(&r, &r.nodes[p]);
        }
    }
    for (int32_t i = 1; i < r.node_count; ++i)
        EXPECT_EQ(seenParent[size_t(i)], r.nodes[i].parent_index);
}

TEST(FullScan, LargeDirectoryIsAppendedOnceAndWhole)
{
    TempTree t;
    t.dir("big");
    for (int i = 0; i < 10000; ++i)
        t.file("big/e" + std::to_string(i), size_t(i % 7));
    ScanRun scan(t.root());
    ASSERT_EQ(scan.status, 0);
    const bl_scan_result_t &r = scan.result;
    ASSERT_EQ(r.node_count, 10002);
    std::set<std::string> names;
    for (int32_t i = 2; i < r.node_count; ++i) {
        EXPECT_EQ(r.nodes[i].parent_index, 1);
        names.insert(bl_node_name(&r, &r.nodes[i]));
    }
    EXPECT_EQ(names.size(), 10000u);
    EXPECT_EQ(bl_get_files_scanned(&r), 10000);
    EXPECT_EQ(r.nodes[0].logical_size, bltest::independentWalk(t.root()).logical);
}

TEST(FullScan, PackageRootIsOneNodeWithoutMutex)
{
    TempTree t;
    t.dir("Thing.bundle");
    t.file("Thing.bundle/inner", 5000);
    ScanRun scan(t.path("Thing.bundle"));
    ASSERT_EQ(scan.status, 0);
    const bl_scan_result_t &r = scan.result;
    ASSERT_EQ(r.node_count, 1);
    EXPECT_EQ(r.nodes[0].obj_type, BL_OBJ_PACKAGE);
    EXPECT_STREQ(bl_node_name(&r, &r.nodes[0]), "Thing.bundle");
    EXPECT_EQ(r.nodes[0].allocated_size, 0u);
    EXPECT_EQ(r.nodes[0].child_count, 0);
    EXPECT_EQ(r.nodes[0].first_child, 0);
    EXPECT_EQ(r.children_count, 0);
    EXPECT_EQ(r._scan_shared, nullptr);
    EXPECT_EQ(bl_get_items_scanned(&r), 1);
    EXPECT_EQ(bl_get_dirs_scanned(&r), 1);
    bl_flat_node_t out[4];
    EXPECT_EQ(bl_snapshot_nodes(&r, out, 4), 0);
}

TEST(FullScan, RootPathForms)
{
    TempTree t;
    t.dir("folder");
    t.dir("folder/sub");
    t.file("folder/sub/f", 3000);
    t.file("plain", 10);
    t.symlink("folder", "via_link");

    {
        ScanRun slash(t.path("folder/"));
        ASSERT_EQ(slash.status, 0);
        EXPECT_STREQ(bl_node_name(&slash.result, &slash.result.nodes[0]), "") << "a trailing slash leaves the name empty";
        EXPECT_EQ(slash.result.node_count, 3) << "child paths with a double slash still list";
        EXPECT_EQ(slash.result.nodes[0].logical_size, 3000u);
    }
    {
        ScanRun link(t.path("via_link"));
        ASSERT_EQ(link.status, 0) << "the root itself may be reached through a link";
        EXPECT_EQ(link.result.node_count, 3);
    }
    for (const std::string &bad : {t.path("plain"), t.path("missing")}) {
        ScanRun scan(bad);
        EXPECT_EQ(scan.status, -1) << bad;
        EXPECT_EQ(scan.result.nodes, nullptr);
        EXPECT_EQ(scan.result.node_count, 0);
    }
}

TEST(FullScan, ChainDeeperThanPathMaxIsListed)
{
    TempTree t;
    const std::string chain = t.deepChain("deep", 6000);
    ASSERT_GT(t.path(chain).size(), 4096u);
    const bltest::WalkTotals w = bltest::independentWalk(t.root());
    ScanRun scan(t.root());
    ASSERT_EQ(scan.status, 0);
    const bl_scan_result_t &r = scan.result;
    EXPECT_EQ(bl_get_unreadable_count(&r), 0);
    EXPECT_EQ(r.node_count, w.items);
    EXPECT_EQ(bl_get_dirs_scanned(&r), w.dirs);
    EXPECT_EQ(r.nodes[0].logical_size, 4u);
    ASSERT_STREQ(bl_node_name(&r, &r.nodes[r.node_count - 1]), "bottom.txt");
    EXPECT_EQ(bltest::nodePath(r, t.root(), r.node_count - 1), t.path(chain + "/bottom.txt"));

    // A root that itself lies deeper than PATH_MAX is scanned as well.
    ScanRun deepRoot(t.path(chain));
    ASSERT_EQ(deepRoot.status, 0);
    EXPECT_EQ(deepRoot.result.node_count, 2);
    EXPECT_EQ(bl_get_unreadable_count(&deepRoot.result), 0);
}

TEST(ListDirectory, FillsAndReportsOverflow)
{
    TempTree t;
    t.dir("d");
    t.file("d/a", 100);
    t.file("d/b", 0);
    t.dir("d/sub.app");
    t.dir("d/plain");
    t.symlink("a", "d/l");

    bl_dir_entry_t entries[8];
    int32_t count = -1;
    ASSERT_EQ(bl_list_directory(t.path("d").c_str(), entries, 8, &count), 0);
    ASSERT_EQ(count, 5);
    std::map<std::string, bl_dir_entry_t> byName;
    for (int i = 0; i < count; ++i)
        byName[entries[i].name] = entries[i];
    EXPECT_EQ(byName.at("a").obj_type, BL_OBJ_FILE);
    EXPECT_EQ(byName.at("a").logical_size, 100u);
    EXPECT_GT(byName.at("a").allocated_size, 0u);
    EXPECT_EQ(byName.at("sub.app").obj_type, BL_OBJ_DIRECTORY) << "packages keep code 2 here";
    EXPECT_EQ(byName.at("sub.app").is_package, 1);
    EXPECT_EQ(byName.at("plain").is_package, 0);
    EXPECT_EQ(byName.at("l").obj_type, BL_OBJ_SYMLINK);

    ASSERT_EQ(bl_list_directory(t.path("d").c_str(), entries, 3, &count), 1);
    EXPECT_EQ(count, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(byName.count(entries[i].name)) << "overflowing listing fills what fits";

    EXPECT_EQ(bl_list_directory(t.path("missing").c_str(), entries, 8, &count), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(bl_list_directory(t.path("d/a").c_str(), entries, 8, &count), -1);
}

TEST(ListDirectory, PackageNames)
{
    for (const char *yes : {".app", "Mail.app", "X.APP", "a.framework", "p.prefpane", "s.PKG",
                            "q.qlgenerator", "w.saver"})
        EXPECT_EQ(bl_is_package_name(yes), 1) << yes;
    for (const char *no : {"app", "ap", "", "x.ap", "x.apps", "x.app.txt", "bundle"})
        EXPECT_EQ(bl_is_package_name(no), 0) << no;
}

TEST(ScanResult, FreeIsHarmlessOnZeroedAndFreedRecords)
{
    bl_scan_result_t r{};
    bl_scan_result_free(&r);
    TempTree t;
    t.file("f", 1);
    int32_t cancel = 0;
    ASSERT_EQ(bl_full_scan(t.root().c_str(), &r, &cancel), 0);
    bl_scan_result_free(&r);
    EXPECT_EQ(r.nodes, nullptr);
    EXPECT_EQ(r.children, nullptr);
    EXPECT_EQ(r._scan_shared, nullptr);
    EXPECT_EQ(r.node_count, 0);
    EXPECT_EQ(bl_get_items_scanned(&r), 2) << "counters survive the release";
    bl_scan_result_free(&r);
}
