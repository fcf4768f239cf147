// The parallel full scan: one work item per directory, each appending its
// listing to the shared node array as one block under the scan mutex.
#include "bl_scan_internal.h"

#include "bl_atomic.h"
#include "node_memory.h"
#include "work_pool.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Per-thread listing memory, kept across work items: a scan lists thousands
// of directories and would otherwise allocate over a megabyte for each.
struct ListingScratch {
    char *buffer = nullptr;
    bl_dir_entry_t *entries = nullptr;
    int32_t capacity = 0;

    ~ListingScratch()
    {
        std::free(buffer);
        std::free(entries);
    }

    bool reserve(int32_t wanted)
    {
        if (!buffer && !(buffer = static_cast<char *>(std::malloc(bl::kListingBufferBytes))))
            return false;
        if (capacity >= wanted)
            return true;
        std::free(entries);
        entries = static_cast<bl_dir_entry_t *>(std::malloc(sizeof(bl_dir_entry_t) * size_t(wanted)));
        capacity = entries ? wanted : 0;
        return entries != nullptr;
    }
};

thread_local ListingScratch scratch;

void writeRootNode(bl_flat_node_t &node, const char *rootPath, const struct stat &st)
{
    const char *slash = std::strrchr(rootPath, '/');
    const char *name = slash ? slash + 1 : rootPath;
    const size_t len = strnlen(name, sizeof node.name - 1);
    std::memset(&node, 0, sizeof node);
    std::memcpy(node.name, name, len);
    node.parent_index = -1;
    node.is_package = static_cast<uint8_t>(bl_is_package_name(node.name));
    node.obj_type = node.is_package ? BL_OBJ_PACKAGE : BL_OBJ_DIRECTORY;
    node.is_hidden = 0;
    node.is_readable = (st.st_mode & S_IRUSR) ? 1 : 0;
    node.child_count = 0;
    node.first_child = -1;
}

// stat(2) that also reaches a root deeper than PATH_MAX.
bool statRoot(const char *path, struct stat &st)
{
    if (stat(path, &st) == 0)
        return true;
    if (errno != ENAMETOOLONG)
        return false;
    const int fd = bl::openDirectory(path, true);
    if (fd < 0)
        return false;
    const bool ok = fstat(fd, &st) == 0;
    close(fd);
    return ok;
}

// Appends one listing under the mutex; false when the array cannot grow.
bool appendBlock(bl_scan_ctx_t *ctx, int32_t parentIndex, const bl_dir_entry_t *entries,
                 int32_t count, int32_t &base)
{
    bl_scan_result_t *r = ctx->result;
    std::lock_guard lock(*ctx->mutex);
    base = r->node_count;
    const int64_t needed = int64_t(base) + count;
    if (needed > INT32_MAX)
        return false;
    if (needed > r->node_capacity) {
        int64_t capacity = r->node_capacity;
        while (capacity < needed)
            capacity *= 2;
        if (capacity > INT32_MAX)
            capacity = INT32_MAX;
        bl_flat_node_t *grown = bl::growNodes(r->nodes, r->node_capacity, int32_t(capacity));
        if (!grown)
            return false;
        bl::storeRelaxed(r->nodes, grown);
        r->node_capacity = static_cast<int32_t>(capacity);
    }
    bl_flat_node_t *out = r->nodes + base;
    for (int32_t i = 0; i < count; ++i) {
        const bl_dir_entry_t &e = entries[i];
        bl_flat_node_t &n = out[i];
        // Up to the terminator only: the rest of the 256 bytes carries no
        // meaning, and skipping it halves the memory this loop writes.
        std::memcpy(n.name, e.name, std::strlen(e.name) + 1);
        n.parent_index = parentIndex;
        n.obj_type = e.is_package ? uint8_t(BL_OBJ_PACKAGE) : e.obj_type;
        n.is_hidden = e.is_hidden;
        n.is_package = e.is_package;
        n.is_readable = e.is_readable;
        n.allocated_size = e.allocated_size;
        n.logical_size = e.logical_size;
        n.child_count = 0;
        n.first_child = -1;
    }
    bl::storeRelaxed(r->node_count, int32_t(needed));
    return true;
}

// Frees the arrays of a cancelled scan but keeps the mutex: a poller may be
// inside bl_snapshot_nodes right now and must find empty arrays, not a
// destroyed lock.
void releaseArraysLocked(bl_scan_result_t *r, std::mutex &mutex)
{
    std::lock_guard lock(mutex);
    bl::releaseNodes(r->nodes, r->node_capacity);
    std::free(r->children);
    bl::storeRelaxed(r->nodes, static_cast<bl_flat_node_t *>(nullptr));
    r->children = nullptr;
    bl::storeRelaxed(r->node_count, 0);
    r->node_capacity = 0;
    r->children_count = 0;
}

} // namespace

extern "C" void bl_scan_one_dir(bl_scan_ctx_t *ctx, int32_t parent_index, char *path)
{
    struct FreePath {
        char *p;
        ~FreePath() { std::free(p); }
    } owned{path};

    if (bl::loadRelaxed(*ctx->cancel_flag) != 0)
        return;
    bl_scan_result_t *r = ctx->result;

    // The root may be reached through a symbolic link; anything below it
    // was listed as a real directory, and a link swapped in since is not
    // followed out of the tree.
    const int fd = bl::openDirectory(path, parent_index == 0);
    if (fd < 0) {
        bl::addRelaxed(r->_unreadable_count, 1);
        return;
    }
    int32_t capacity = bl::kInitialEntryCapacity;
    int32_t count = 0;
    int status = 1;
    while (status == 1) {
        if (!scratch.reserve(capacity)) {
            close(fd);
            return;
        }
        status = bl::listOpenDirectory(fd, scratch.buffer, scratch.entries, capacity, &count,
                                       bl::OverflowFill::none);
        if (status == 1) {
            // Listed again from the start with twice the room.
            if (capacity > INT32_MAX / 2 || lseek(fd, 0, SEEK_SET) != 0) {
                close(fd);
                return;
            }
            capacity *= 2;
        }
    }
    close(fd);
    if (count == 0)
        return;

    const bl_dir_entry_t *entries = scratch.entries;
    int32_t base = 0;
    if (!appendBlock(ctx, parent_index, entries, count, base))
        return;

    int32_t dirs = 0;
    for (int32_t i = 0; i < count; ++i)
        dirs += entries[i].obj_type == BL_OBJ_DIRECTORY && !entries[i].is_package;
    bl::addRelaxed(r->_items_scanned, count);
    bl::addRelaxed(r->_files_scanned, count - dirs);
    bl::addRelaxed(r->_dirs_scanned, dirs);

    const size_t pathLen = std::strlen(path);
    for (int32_t i = 0; i < count; ++i) {
        if (entries[i].obj_type != BL_OBJ_DIRECTORY || entries[i].is_package)
            continue;
        const size_t nameLen = std::strlen(entries[i].name);
        char *child = static_cast<char *>(std::malloc(pathLen + nameLen + 2));
        if (!child)
            continue;
        std::memcpy(child, path, pathLen);
        child[pathLen] = '/';
        std::memcpy(child + pathLen + 1, entries[i].name, nameLen + 1);
        const int32_t index = base + i;
        try {
            ctx->pool->submit([ctx, index, child] { bl_scan_one_dir(ctx, index, child); });
        } catch (...) {
            std::free(child);
        }
    }
}

extern "C" int bl_full_scan_threads(const char *root_path, bl_scan_result_t *result,
                                    int32_t *cancel_flag, int threads)
{
    if (!root_path || !result || !cancel_flag)
        return -1;
    struct stat st;
    if (!statRoot(root_path, st) || !S_ISDIR(st.st_mode))
        return -1;

    bl_flat_node_t *nodes = bl::allocateNodes(bl::kInitialNodeCapacity);
    if (!nodes)
        return -1;
    // Pollers may already be reading these fields from other threads.
    for (int32_t *counter : {&result->_items_scanned, &result->_dirs_scanned,
                             &result->_files_scanned, &result->_unreadable_count})
        bl::storeRelaxed(*counter, 0);
    writeRootNode(nodes[0], root_path, st);
    result->node_capacity = bl::kInitialNodeCapacity;
    result->children = nullptr;
    result->children_count = 0;
    bl::storeRelaxed(result->nodes, nodes);
    bl::storeRelaxed(result->node_count, 1);
    bl::addRelaxed(result->_items_scanned, 1);
    bl::addRelaxed(result->_dirs_scanned, 1);

    if (result->nodes[0].is_package) {
        bl_build_children(result);
        return 0;
    }

    auto *mutex = new (std::nothrow) std::mutex;
    char *rootCopy = strdup(root_path);
    if (!mutex || !rootCopy) {
        delete mutex;
        std::free(rootCopy);
        bl_scan_result_free(result);
        return -1;
    }
    bl::storeRelease(result->_scan_mutex, static_cast<void *>(mutex));

    try {
        bl::WorkPool pool(threads > 0 ? threads : bl::WorkPool::defaultThreadCount());
        bl_scan_ctx_t ctx{result, mutex, &pool, cancel_flag};
        try {
            pool.submit([&ctx, rootCopy] { bl_scan_one_dir(&ctx, 0, rootCopy); });
        } catch (...) {
            std::free(rootCopy);
            throw;
        }
        pool.run();
    } catch (...) {
        bl_scan_result_free(result);
        return -1;
    }

    if (bl::loadRelaxed(*cancel_flag) != 0) {
        releaseArraysLocked(result, *mutex);
        return 1;
    }
    // Under the mutex: a poller's snapshot must not copy half-summed sizes.
    std::lock_guard lock(*mutex);
    bl_accumulate_sizes(result);
    bl_build_children(result);
    return 0;
}

extern "C" int bl_full_scan(const char *root_path, bl_scan_result_t *result, int32_t *cancel_flag)
{
    return bl_full_scan_threads(root_path, result, cancel_flag, 0);
}

extern "C" int32_t bl_get_items_scanned(const bl_scan_result_t *result)
{
    return result ? bl::loadRelaxed(result->_items_scanned) : 0;
}

extern "C" int32_t bl_get_dirs_scanned(const bl_scan_result_t *result)
{
    return result ? bl::loadRelaxed(result->_dirs_scanned) : 0;
}

extern "C" int32_t bl_get_files_scanned(const bl_scan_result_t *result)
{
    return result ? bl::loadRelaxed(result->_files_scanned) : 0;
}

extern "C" int32_t bl_get_unreadable_count(const bl_scan_result_t *result)
{
    return result ? bl::loadRelaxed(result->_unreadable_count) : 0;
}

extern "C" void bl_request_cancel(int32_t *cancel_flag)
{
    if (cancel_flag)
        bl::storeRelaxed(*cancel_flag, int32_t(1));
}

extern "C" void bl_scan_result_free(bl_scan_result_t *result)
{
    if (!result)
        return;
    if (result->_scan_mutex) {
        delete static_cast<std::mutex *>(result->_scan_mutex);
        bl::storeRelease(result->_scan_mutex, static_cast<void *>(nullptr));
    }
    bl::releaseNodes(result->nodes, result->node_capacity);
    std::free(result->children);
    result->nodes = nullptr;
    result->children = nullptr;
    result->node_count = 0;
    result->node_capacity = 0;
    result->children_count = 0;
}
