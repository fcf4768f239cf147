// Two scans of a real tree, before and after known changes, compared; the
// test works the expected differences out itself from what lstat says of
// both states on disk (sizes as a scan counts them: a file with two links
// once in each folder above it, a folder's own blocks left out).
#include "fast_scan_engine.h"
#include "scan_analysis.h"
#include "scan_compare.h"
#include "scan_file.h"
#include "scanned_tree.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using bltest::TempTree;

namespace {

ScanTree scanned(const std::string &root)
{
    FastScanEngine engine;
    return scannedTree(engine, root);
}

struct Item {
    char kind; // d folder, f file, s link or other
    qint64 allocated = 0, logical = 0;
};

std::string parentOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Every path below root ("" the root itself) with its sizes.
std::map<std::string, Item> onDisk(const std::string &root)
{
    std::map<std::string, Item> items{{"", {'d'}}};
    std::map<std::string, std::set<std::pair<dev_t, ino_t>>> counted;
    std::vector<std::string> folders{""};
    while (!folders.empty()) {
        const std::string folder = folders.back();
        folders.pop_back();
        DIR *d = opendir((root + (folder.empty() ? "" : "/" + folder)).c_str());
        while (const dirent *e = d ? readdir(d) : nullptr) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder.empty() ? name : folder + "/" + name;
            struct stat st;
            if (lstat((root + "/" + path).c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                items[path] = {'d'};
                folders.push_back(path);
            } else if (S_ISREG(st.st_mode)) {
                const qint64 allocated = qint64(st.st_blocks) * 512, logical = st.st_size;
                items[path] = {'f', allocated, logical};
                // Into every folder above, once a file.
                for (std::string up = folder;; up = parentOf(up)) {
                    if (counted[up].insert({st.st_dev, st.st_ino}).second) {
                        items[up].allocated += allocated;
                        items[up].logical += logical;
                    }
                    if (up.empty())
                        break;
                }
            } else {
                items[path] = {'s'};
            }
        }
        if (d)
            closedir(d);
    }
    return items;
}

} // namespace

TEST(ScanComparison, MatchesTheChangesMadeOnDisk)
{
    TempTree t;
    for (const char *d : {"a", "b", "b/y", "d", "d/in", "odd\xff", "w", "w/sub"})
        t.dir(d);
    for (int i = 0; i < 1500; ++i) // a wide folder before a narrow one
        t.file("w/f" + std::to_string(i), 10);
    const std::pair<const char *, size_t> files[] = {{"a/keep.txt", 1000},   {"a/grow.bin", 2000},   {"a/shrink.bin", 50000},
                                                     {"a/gone.txt", 300},    {"b/x", 4000},          {"b/y/z", 5000},
                                                     {"c", 700},             {"d/in/deep", 100},     {"odd\xff/n\xfe", 3000},
                                                     {"h1", 80000},          {"w/sub/x", 100}};
    for (const auto &[name, bytes] : files)
        t.file(name, bytes);
    ASSERT_EQ(link(t.path("h1").c_str(), t.path("a/h2").c_str()), 0);
    t.symlink("a", "s");
    const std::map<std::string, Item> then = onDisk(t.root());
    const ScanTree older = scanned(t.root());

    // Grown, shrunk, added, removed; folders added and removed; a file that
    // became a folder and a folder that became a file; a link gone.
    t.file("a/grow.bin", 90000);
    t.file("a/shrink.bin", 100);
    std::filesystem::remove(t.path("a/gone.txt"));
    t.file("a/new.txt", 6000);
    t.dir("e");
    t.dir("e/f");
    t.file("e/f/g.bin", 7000);
    std::filesystem::remove_all(t.path("b"));
    std::filesystem::remove(t.path("c"));
    t.dir("c");
    t.file("c/inner", 900);
    std::filesystem::remove_all(t.path("d"));
    t.file("d", 100);
    t.file("odd\xff/n\xfe", 9000);
    t.file("odd\xff/m\xfd", 10);
    std::filesystem::remove(t.path("h1"));
    std::filesystem::remove(t.path("w/f8"));
    t.file("w/sub/x", 20000);
    const std::map<std::string, Item> now = onDisk(t.root());
    const ScanTree newer = scanned(t.root());

    // What matches: the same path and kind, below a folder that matches.
    std::set<std::string> matched{""};
    for (const auto &[path, item] : now)
        if (!path.empty() && then.count(path) && then.at(path).kind == item.kind && matched.count(parentOf(path)))
            matched.insert(path);
    std::set<std::string> removedTops;
    qint64 removedItems = 0;
    for (const auto &[path, item] : then) {
        if (path.empty() || (now.count(path) && matched.count(path)))
            continue;
        ++removedItems;
        if (matched.count(parentOf(path)))
            removedTops.insert(path);
    }
    EXPECT_EQ(removedTops, (std::set<std::string>{"a/gone.txt", "b", "c", "d", "h1", "w/f8"}));

    // Read from a file, the older scan compares as it did scanned.
    QBuffer file;
    file.open(QIODevice::ReadWrite);
    QString error;
    ASSERT_TRUE(writeScanFile(older, {}, file, &error));
    const std::optional<ScanFileContents> reread = readScanFile(file.data(), &error);
    ASSERT_TRUE(reread) << error.toStdString();

    for (const ScanTree *side : {&older, &reread->tree}) {
        const std::optional<ScanComparison> c = ScanComparison::compare(*side, newer, &error);
        ASSERT_TRUE(c) << error.toStdString();
        qsizetype checked = 0;
        qint64 added = 0;
        newer.forEachRefBelow(newer.rootID, [&](const ScanTree::NodeRef &r) {
            const std::string path = ScanAnalysis::pathBelow(newer, newer.rootID, r).toStdString();
            EXPECT_EQ(c->isNew(r), !matched.count(path)) << path;
            added += !matched.count(path);
            const qint64 before = matched.count(path) ? then.at(path).allocated : 0;
            EXPECT_EQ(c->before(r, SizeMeasure::allocated), before) << path;
            EXPECT_EQ(c->change(r, SizeMeasure::logical), now.at(path).logical - (matched.count(path) ? then.at(path).logical : 0)) << path;
            ++checked;
            return true;
        });
        EXPECT_EQ(checked, qsizetype(now.size() - 1));
        EXPECT_EQ(c->addedItems, added);
        // The root's change is its total now minus its total then.
        EXPECT_EQ(c->change(newer.ref(newer.rootID), SizeMeasure::allocated), now.at("").allocated - then.at("").allocated);
        std::set<std::string> gone;
        for (const ScanComparison::Removed &r : c->removed)
            gone.insert(r.path.toStdString());
        EXPECT_EQ(gone, removedTops);
        EXPECT_EQ(c->removedItems, removedItems);
    }

    // Two folders are not compared.
    TempTree other;
    EXPECT_FALSE(ScanComparison::compare(scanned(other.root()), newer, &error));
    EXPECT_TRUE(error.contains(QString::fromStdString(t.root())) && error.contains(QString::fromStdString(other.root())))
        << error.toStdString();
}
