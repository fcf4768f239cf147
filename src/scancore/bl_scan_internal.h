// Internals of the native scan core, shared by its source files, its tests
// and scancore_bench; not part of the public C API.
#pragma once

#include "bl_scan.h"

#include <cstddef>
#include <mutex>

namespace bl {
class WorkPool;
}

struct bl_scan_ctx_t {
    bl_scan_result_t *result;
    std::mutex *mutex;
    bl::WorkPool *pool;
    int32_t *cancel_flag;
};

extern "C" {

// Package extensions, tested in this order as case-insensitive suffixes.
extern const char *const bl_package_extensions[13];

int bl_is_package_name(const char *name);
void bl_scan_one_dir(bl_scan_ctx_t *ctx, int32_t parent_index, char *path);
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
int openDirectory(const char *path, bool followFinalSymlink);

enum class OverflowFill { none, firstEntries };

// Lists the open directory fd. With OverflowFill::none an overflowing
// directory is only counted (no statx), since the caller lists it again with
// more room; with firstEntries the first capacity entries are filled.
int listOpenDirectory(int fd, char *buffer, bl_dir_entry_t *entries, int32_t capacity,
                      int32_t *out_count, OverflowFill fill);

} // namespace bl
