// Real folder trees in a temporary directory for the scan-core tests, and an
// independent walk (readdir + fstatat, nothing shared with the core) to check
// the core's results against.
#pragma once

#include "bl_scan.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <map>
#include <string>
#include <vector>

namespace bltest {

class TempTree {
public:
    // In base when given (a tmpfs, for trees whose folders would cost
    // seconds to make and remove on a journaling disk), else in TMPDIR.
    explicit TempTree(const std::string &base = {});
    ~TempTree();
    TempTree(const TempTree &) = delete;
    TempTree &operator=(const TempTree &) = delete;

    const std::string &root() const { return root_; }
    std::string path(const std::string &relative) const { return root_ + "/" + relative; }

    void dir(const std::string &relative, unsigned mode = 0755) const;
    // A file of `bytes` bytes of data (not sparse).
    void file(const std::string &relative, size_t bytes) const;
    void symlink(const std::string &target, const std::string &relative) const;
    void fifo(const std::string &relative) const;
    void chmod(const std::string &relative, unsigned mode) const;

    // dirs directories of filesPerDir small files each, spread over two levels.
    void wide(const std::string &relative, int dirs, int filesPerDir) const;

    // levels nested directories "d", each holding a 100-byte file "f",
    // made relative to each other so that any depth takes linear time.
    void chain(const std::string &relative, int levels) const;

    // A chain of directories whose full path is longer than minBytes, with
    // one file at the bottom; returns the chain's relative path.
    std::string deepChain(const std::string &relative, size_t minBytes) const;

private:
    std::string root_;
};

// A tmpfs for large fixture trees when there is one ("" otherwise): making
// and removing a hundred thousand files costs seconds on a journaling disk.
std::string fastScratch();

struct WalkTotals {
    int64_t items = 0, dirs = 0, files = 0, unreadable = 0;
    uint64_t allocated = 0, logical = 0;
};

// What a correct scan of path must count: packages are counted as files and
// not entered, links are not followed, sizes are those of regular files,
// each counted once however many links it has; mount points are entries and
// are not entered.
WalkTotals independentWalk(const std::string &path);

// Names in one directory in the order the kernel lists them, without . and ..
std::vector<std::string> listingOrder(const std::string &path);

// A finished scan, released when the holder goes out of scope.
struct ScanRun {
    bl_scan_result_t result{};
    int32_t cancel = 0;
    int status = 0;
    explicit ScanRun(const std::string &path) { status = bl_full_scan(path.c_str(), &result, &cancel); }
    ~ScanRun() { bl_scan_result_free(&result); }
    ScanRun(const ScanRun &) = delete;
    ScanRun &operator=(const ScanRun &) = delete;
};

// Runs body in a forked child that has dropped to the "nobody" user (uid
// 65534) when running as root, and returns what body returned; nullopt when
// privileges cannot be dropped here. Root reads every folder, so tests of
// unreadable folders need this.
std::optional<std::string> inUnprivilegedChild(const std::function<std::string()> &body);

// Full path of node i, rebuilt from the parent chain.
std::string nodePath(const bl_scan_result_t &r, const std::string &rootPath, int32_t i);

} // namespace bltest
