// Internals of the native scan core, shared by its source files, its tests
// and scancore_bench; not part of the public C API.
#pragma once

#include "bl_scan.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

namespace bl {
class WorkPool;
struct DirRef;

// What _scan_mutex points at: the scan's one lock and what it guards beside
// the node array.
struct ScanShared {
    std::mutex mutex;
    // Sizes of regular files at index BL_LIVE_TOTALS_NODES or later, added to
    // their nearest ancestor below that index when their block is appended,
    // so that a snapshot of the first records sees everything found so far.
    uint64_t liveAllocated[BL_LIVE_TOTALS_NODES] = {};
    uint64_t liveLogical[BL_LIVE_TOTALS_NODES] = {};
    std::vector<bl_unreadable_t> unreadable;
};

inline ScanShared *sharedOf(const bl_scan_result_t *result);

// Adds without wrapping: a total that would pass 2^64 - 1 stays there.
inline uint64_t saturatingAdd(uint64_t a, uint64_t b)
{
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}
} // namespace bl

struct bl_scan_ctx_t {
    bl_scan_result_t *result;
    bl::ScanShared *shared;
    bl::WorkPool *pool;
    int32_t *cancel_flag;
    std::atomic<int32_t> fatal{0};   // errno that ends the whole scan
    std::atomic<int32_t> heldFds{0}; // descriptors kept open for children
    int32_t fdBudget = 0;
    const char *rootPath = nullptr;
};

extern "C" {

// Package extensions, tested in this order as case-insensitive suffixes.
extern const char *const bl_package_extensions[13];

int bl_is_package_name(const char *name);
void bl_scan_one_dir(bl_scan_ctx_t *ctx, bl::DirRef *dir);
void bl_accumulate_sizes(bl_scan_result_t *result);
void bl_build_children(bl_scan_result_t *result);

// bl_full_scan with an explicit worker count (threads <= 0: the default).
int bl_full_scan_threads(const char *root_path, bl_scan_result_t *result,
                         int32_t *cancel_flag, int threads);

} // extern "C"

namespace bl {

constexpr int32_t kInitialNodeCapacity = 65536;
constexpr int32_t kInitialEntryCapacity = 4096;
constexpr std::size_t kListingBufferBytes = 256 * 1024;

// open(2) for a directory path of any length: paths of PATH_MAX bytes or more
// are opened piece by piece relative to the previous piece's descriptor.
// extraFlags is added to O_DIRECTORY | O_CLOEXEC (O_RDONLY or O_PATH).
int openDirectory(const char *path, bool followFinalSymlink, int extraFlags = 0);

enum class OverflowFill { none, firstEntries };

// Lists the open directory fd. With OverflowFill::none an overflowing
// directory is only counted (no statx), since the caller lists it again with
// more room; with firstEntries the first capacity entries are filled. A read
// error part-way keeps what was read and sets *read_error to its errno
// (0 when the listing ended normally); read_error may be NULL.
int listOpenDirectory(int fd, char *buffer, bl_dir_entry_t *entries, int32_t capacity,
                      int32_t *out_count, OverflowFill fill, int *read_error = nullptr);

inline ScanShared *sharedOf(const bl_scan_result_t *result)
{
    return static_cast<ScanShared *>(
        std::atomic_ref<void *>(const_cast<void *&>(result->_scan_mutex)).load(std::memory_order_acquire));
}

} // namespace bl
