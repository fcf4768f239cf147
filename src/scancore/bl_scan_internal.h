// Internals of the native scan core, shared by its source files, its tests
// and scancore_bench; not part of the public C API.
#pragma once

#include "bl_scan.h"
#include "exclusions.h"
#include "hard_links.h"

#include <atomic>
#include <sys/stat.h>
#include <unistd.h>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace bl {
class WorkPool;
struct DirRef;

// What _scan_shared points at: the scan's one lock and what it guards beside
// the node array.
struct ScanShared {
    std::mutex mutex;
    // Sizes of regular files at index BL_LIVE_TOTALS_NODES or later, added to
    // their nearest ancestor below that index when their block is appended,
    // so that a snapshot of the first records sees everything found so far.
    uint64_t liveAllocated[BL_LIVE_TOTALS_NODES] = {};
    uint64_t liveLogical[BL_LIVE_TOTALS_NODES] = {};
    std::vector<bl_unreadable_t> unreadable;
    std::vector<bl_node_mark_t> marks; // in node order: blocks are appended in order
    // Regular files with more than one link; those met before under another
    // name add nothing to the live totals (counted is false).
    std::vector<LinkedFile> linked;
    std::vector<bool> linkedCounted;
    std::unordered_set<FileIdentity, FileIdentityHash> linkedSeen;
};

inline ScanShared *sharedOf(const bl_scan_result_t *result);

// Adds without wrapping: a total that would pass 2^64 - 1 stays there.
inline uint64_t saturatingAdd(uint64_t a, uint64_t b)
{
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}
} // namespace bl

namespace bl {
class NameArena;
}

struct bl_scan_ctx_t {
    bl_scan_result_t *result;
    bl::ScanShared *shared;
    bl::NameArena *names; // written under shared->mutex
    bl::WorkPool *pool;
    int32_t *cancel_flag;
    std::atomic<int32_t> fatal{0};   // errno that ends the whole scan
    std::atomic<int32_t> heldFds{0}; // descriptors kept open for children
    std::atomic<bool> skipped{false}; // a folder left unlisted by a stop or cancel
    int32_t fdBudget = 0;
    const char *rootPath = nullptr;
    bool crossFileSystems = false;
    const bl::Exclusions *exclusions = nullptr;
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
constexpr std::size_t kListingBufferBytes = 256 * 1024;

// open(2) for a directory path of any length: paths of PATH_MAX bytes or more
// are opened piece by piece relative to the previous piece's descriptor.
// extraFlags is added to O_DIRECTORY | O_CLOEXEC (O_RDONLY or O_PATH).
int openDirectory(const char *path, bool followFinalSymlink, int extraFlags = 0);

// What a listing learns of an entry beyond bl_dir_entry_t.
struct EntryFacts {
    uint64_t mount;  // the mount's id, or its device with kMountIsDevice
    FileIdentity file;
    uint32_t links;
    uint8_t mark;    // BL_MARK_*, set by the scan; 0 for none
};
constexpr uint64_t kMountIsDevice = uint64_t(1) << 63;

// The mount of a statx result (its id, or its device on kernels without one).
uint64_t mountOf(const struct statx &sx);
// proc, sysfs, cgroup and the like: never entered, they hold no files.
bool isKernelFileSystem(long type);
// What entry name of dirfd, on another mount than dirfd's, is: a kernel
// file system (BL_MARK_KERNEL_FS) or another one (BL_MARK_OTHER_FS).
int boundaryKind(int dirfd, const char *name);

// open() until it gives a descriptor or fails for another reason than a
// want of them, 1 ms apart for at most 2 s: other threads give theirs back
// as their listings end. beforeRetry() may free some, or return false to
// give up. errno is open's.
template <class Open, class BeforeRetry>
int openWaitingForDescriptors(Open open, BeforeRetry beforeRetry)
{
    int fd = open();
    for (int attempt = 0; fd < 0 && (errno == EMFILE || errno == ENFILE) && attempt < 2000; ++attempt) {
        if (!beforeRetry())
            break;
        if (attempt > 0)
            usleep(1000);
        fd = open();
    }
    return fd;
}

// One entry of a listing; its name is in the listing's names.
struct ListedEntry {
    uint64_t allocated_size = 0;
    uint64_t logical_size = 0;
    int64_t modified_time = 0;
    uint32_t name_offset = 0;
    uint8_t name_length = 0;
    uint8_t obj_type = 0;
    uint8_t is_hidden = 0;
    uint8_t is_package = 0;
    uint8_t is_readable = 0;
};

// One directory's listing, kept by a thread from one listing to the next:
// 70 bytes an entry plus its name, however long the folder.
struct Listing {
    std::vector<ListedEntry> entries;
    std::vector<EntryFacts> facts; // beside entries
    std::string names;             // each NUL-terminated
    const char *name(size_t i) const { return names.data() + entries[i].name_offset; }
    size_t size() const { return entries.size(); }
    void clear()
    {
        entries.clear();
        facts.clear();
        names.clear();
    }
};

// Lists the open directory fd into out (cleared first), buffer being
// kListingBufferBytes of room for getdents. A read error part-way keeps what
// was read and sets *read_error to its errno (0 when the listing ended
// normally); a folder whose entries cannot be examined at all (no search
// permission, no memory) keeps none and sets it too. Throws std::bad_alloc.
void listOpenDirectory(int fd, char *buffer, Listing &out, int *read_error);

inline ScanShared *sharedOf(const bl_scan_result_t *result)
{
    return static_cast<ScanShared *>(
        std::atomic_ref<void *>(const_cast<void *&>(result->_scan_shared)).load(std::memory_order_acquire));
}

} // namespace bl
