// The parallel full scan: one work item per directory, each appending its
// listing to the shared node array as one block under the scan mutex.
#include "bl_scan_internal.h"

#include "bl_atomic.h"
#include "node_memory.h"
#include "work_pool.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Per-thread listing memory, kept across the work items of one scan: a scan
// lists thousands of directories and would otherwise allocate over a
// megabyte for each. Released when the scan ends (see releaseScratch).
struct ListingScratch {
    char *buffer = nullptr;
    bl_dir_entry_t *entries = nullptr;
    int32_t capacity = 0;

    ~ListingScratch() { release(); }

    void release()
    {
        std::free(buffer);
        std::free(entries);
        buffer = nullptr;
        entries = nullptr;
        capacity = 0;
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

void noteUnreadable(bl_scan_ctx_t *ctx, int32_t index, int error)
{
    bl::addRelaxed(ctx->result->_unreadable_count, 1);
    std::lock_guard lock(ctx->shared->mutex);
    try {
        ctx->shared->unreadable.push_back({index, error ? error : EIO});
    } catch (const std::bad_alloc &) {
        // the count stands; only the reason is lost
    }
}

// The scan cannot hold its tree: it ends failed, not with a part of it.
void failScan(bl_scan_ctx_t *ctx, int error)
{
    int32_t none = 0;
    ctx->fatal.compare_exchange_strong(none, error ? error : ENOMEM);
}

// Appends one listing under the mutex; false when the array cannot grow.
bool appendBlock(bl_scan_ctx_t *ctx, int32_t parentIndex, int32_t anchor,
                 const bl_dir_entry_t *entries, int32_t count, int32_t &base)
{
    bl_scan_result_t *r = ctx->result;
    std::lock_guard lock(ctx->shared->mutex);
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
    uint64_t beyondAllocated = 0, beyondLogical = 0;
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
        if (base + i >= BL_LIVE_TOTALS_NODES) {
            beyondAllocated = bl::saturatingAdd(beyondAllocated, e.allocated_size);
            beyondLogical = bl::saturatingAdd(beyondLogical, e.logical_size);
        }
    }
    if (anchor >= 0 && anchor < BL_LIVE_TOTALS_NODES && (beyondAllocated || beyondLogical)) {
        ctx->shared->liveAllocated[anchor] = bl::saturatingAdd(ctx->shared->liveAllocated[anchor], beyondAllocated);
        ctx->shared->liveLogical[anchor] = bl::saturatingAdd(ctx->shared->liveLogical[anchor], beyondLogical);
    }
    bl::storeRelaxed(r->node_count, int32_t(needed));
    return true;
}

// Frees the arrays of a cancelled or failed scan but keeps the shared
// state: a poller may be inside bl_snapshot_nodes right now and must find
// empty arrays, not a destroyed lock.
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

namespace bl {

// A directory still needed by work items: its own, while it lists, and its
// subdirectories', until each has opened itself relative to it. Every
// subdirectory is opened with openat on its parent's descriptor without
// following links, so a folder swapped for a link is never followed out of
// the tree, and a chain of any depth costs one path component per open.
// Descriptors are kept only within a budget; a directory over it is opened
// again from its nearest open ancestor when a child needs it.
struct DirRef {
    std::mutex mutex;
    int fd = -1;        // guarded by mutex
    int openUsers = 1;  // guarded by mutex: its lister plus children not yet open
    std::atomic<int> refs{1}; // lifetime: its work item plus child DirRefs
    DirRef *parent = nullptr; // holds one ref
    int32_t index = 0;  // node index
    int32_t anchor = 0; // nearest node at or above it below BL_LIVE_TOTALS_NODES
    char name[1];       // NUL-terminated; the whole root path for the root

    static DirRef *make(DirRef *parent, int32_t index, const char *name, size_t nameLen)
    {
        void *raw = std::malloc(sizeof(DirRef) + nameLen);
        if (!raw)
            return nullptr;
        auto *d = new (raw) DirRef;
        d->parent = parent;
        d->index = index;
        d->anchor = index < BL_LIVE_TOTALS_NODES || !parent ? index : parent->anchor;
        std::memcpy(d->name, name, nameLen);
        d->name[nameLen] = '\0';
        if (parent)
            parent->refs.fetch_add(1, std::memory_order_relaxed);
        return d;
    }

    // Drops one ref; the last one frees it and walks on to its parent, in a
    // loop, since a chain thousands deep may end all at once.
    static void release(DirRef *d)
    {
        while (d && d->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            DirRef *parent = d->parent;
            if (d->fd >= 0)
                close(d->fd);
            d->~DirRef();
            std::free(d);
            d = parent;
        }
    }
};

} // namespace bl

namespace {

using bl::DirRef;

int openBelow(int parentFd, const char *name)
{
    return openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

// A fresh descriptor of d's directory, from the nearest ancestor that still
// has one open (or from the root's path), never following a link below the
// root. The caller closes it.
int reopen(bl_scan_ctx_t *ctx, DirRef *d)
{
    std::vector<DirRef *> down;
    int fd = -1;
    for (DirRef *at = d; at; at = at->parent) {
        {
            std::lock_guard lock(at->mutex);
            if (at->fd >= 0) {
                fd = fcntl(at->fd, F_DUPFD_CLOEXEC, 0);
                if (fd < 0)
                    return -1;
                break;
            }
        }
        try {
            down.push_back(at);
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            return -1;
        }
    }
    if (fd < 0) {
        // Not even the root is open: start again from its path.
        fd = bl::openDirectory(ctx->rootPath, true, O_RDONLY);
        if (fd < 0)
            return -1;
        down.pop_back(); // the root itself
    }
    while (!down.empty()) {
        const int next = openBelow(fd, down.back()->name);
        const int saved = errno;
        close(fd);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        fd = next;
        down.pop_back();
    }
    return fd;
}

// One user of d's descriptor is done with it; the last closes it.
void releaseUse(bl_scan_ctx_t *ctx, DirRef *d)
{
    std::lock_guard lock(d->mutex);
    if (--d->openUsers == 0 && d->fd >= 0) {
        close(d->fd);
        d->fd = -1;
        ctx->heldFds.fetch_sub(1, std::memory_order_relaxed);
    }
}

bool stopped(bl_scan_ctx_t *ctx)
{
    return bl::loadRelaxed(*ctx->cancel_flag) != 0 || ctx->fatal.load(std::memory_order_relaxed) != 0;
}

// Opens d's own directory below its parent (once).
int openDirOnce(bl_scan_ctx_t *ctx, DirRef *d)
{
    DirRef *p = d->parent;
    if (!p)
        return bl::openDirectory(d->name, true, O_RDONLY); // the root may be reached through a link
    int fd = -1;
    int error = 0;
    bool parentOpen = false;
    {
        std::lock_guard lock(p->mutex);
        if (p->fd >= 0) {
            parentOpen = true;
            fd = openBelow(p->fd, d->name);
            error = errno;
        }
    }
    if (!parentOpen) {
        const int parentFd = reopen(ctx, p);
        if (parentFd >= 0) {
            fd = openBelow(parentFd, d->name);
            error = errno;
            close(parentFd);
        } else {
            error = errno;
        }
    }
    errno = error;
    return fd;
}

// Opens d's own directory and tells the parent that one child needs it no
// longer. Out of descriptors, it waits a little for the other workers to
// give theirs back before the folder counts as unreadable.
int openDir(bl_scan_ctx_t *ctx, DirRef *d)
{
    int fd = -1;
    int error = 0;
    for (int attempt = 0; attempt < 2000 && !stopped(ctx); ++attempt) {
        fd = openDirOnce(ctx, d);
        error = errno;
        if (fd >= 0 || (error != EMFILE && error != ENFILE))
            break;
        usleep(1000);
    }
    if (d->parent)
        releaseUse(ctx, d->parent);
    errno = error;
    return fd;
}

// After the listing: the directory keeps its descriptor for the children
// that will open themselves below it, when the budget allows and there are
// any; otherwise it closes it now.
void keepForChildren(bl_scan_ctx_t *ctx, DirRef *d, int fd, int children)
{
    bool keep = false;
    if (children > 0 && ctx->heldFds.fetch_add(1, std::memory_order_relaxed) < ctx->fdBudget)
        keep = true;
    else if (children > 0)
        ctx->heldFds.fetch_sub(1, std::memory_order_relaxed);
    {
        std::lock_guard lock(d->mutex);
        d->openUsers += children;
        if (keep)
            d->fd = fd;
        else if (fd >= 0)
            close(fd);
    }
    releaseUse(ctx, d); // the lister's own use
}

// Descriptors the scan may keep open for pending children: half of what the
// process may have, less room for the workers' own, at most 4,096.
int32_t fdBudget(int threads)
{
    struct rlimit limit;
    rlim_t soft = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        soft = limit.rlim_cur;
    const int64_t budget = int64_t(soft) / 2 - 2 * int64_t(threads) - 8;
    return int32_t(std::clamp<int64_t>(budget, 0, 4096));
}

} // namespace

extern "C" void bl_scan_one_dir(bl_scan_ctx_t *ctx, DirRef *dir)
{
    struct Release {
        DirRef *d;
        ~Release() { DirRef::release(d); }
    } owned{dir};

    if (stopped(ctx)) {
        // Nothing listed; the parent still hears that this child is done.
        if (dir->parent)
            releaseUse(ctx, dir->parent);
        return;
    }
    const int fd = openDir(ctx, dir);
    if (fd < 0) {
        noteUnreadable(ctx, dir->index, errno);
        keepForChildren(ctx, dir, -1, 0);
        return;
    }
    int32_t capacity = bl::kInitialEntryCapacity;
    int32_t count = 0;
    int status = 1;
    int readError = 0;
    while (status == 1) {
        if (!scratch.reserve(capacity)) {
            noteUnreadable(ctx, dir->index, ENOMEM);
            keepForChildren(ctx, dir, fd, 0);
            return;
        }
        status = bl::listOpenDirectory(fd, scratch.buffer, scratch.entries, capacity, &count,
                                       bl::OverflowFill::none, &readError);
        if (status == 1) {
            // Listed again from the start with twice the room.
            if (capacity > INT32_MAX / 2 || lseek(fd, 0, SEEK_SET) != 0) {
                noteUnreadable(ctx, dir->index, capacity > INT32_MAX / 2 ? EOVERFLOW : errno);
                keepForChildren(ctx, dir, fd, 0);
                return;
            }
            capacity *= 2;
        }
    }
    if (readError)
        noteUnreadable(ctx, dir->index, readError); // what was read is kept
    if (count == 0) {
        keepForChildren(ctx, dir, fd, 0);
        return;
    }

    const bl_dir_entry_t *entries = scratch.entries;
    int32_t base = 0;
    if (!appendBlock(ctx, dir->index, dir->anchor, entries, count, base)) {
        failScan(ctx, ENOMEM);
        keepForChildren(ctx, dir, fd, 0);
        return;
    }

    int32_t dirs = 0;
    for (int32_t i = 0; i < count; ++i)
        dirs += entries[i].obj_type == BL_OBJ_DIRECTORY && !entries[i].is_package;
    bl::addRelaxed(ctx->result->_items_scanned, count);
    bl::addRelaxed(ctx->result->_files_scanned, count - dirs);
    bl::addRelaxed(ctx->result->_dirs_scanned, dirs);

    // The children are made before the descriptor is handed on, so that
    // none of them can find the parent closed for want of users.
    std::vector<DirRef *> children;
    try {
        children.reserve(size_t(dirs));
    } catch (const std::bad_alloc &) {
        failScan(ctx, ENOMEM);
        keepForChildren(ctx, dir, fd, 0);
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (entries[i].obj_type != BL_OBJ_DIRECTORY || entries[i].is_package)
            continue;
        DirRef *child = DirRef::make(dir, base + i, entries[i].name, std::strlen(entries[i].name));
        if (!child) {
            noteUnreadable(ctx, base + i, ENOMEM);
            continue;
        }
        children.push_back(child);
    }
    keepForChildren(ctx, dir, fd, int(children.size()));
    for (DirRef *child : children) {
        try {
            ctx->pool->submit([ctx, child] { bl_scan_one_dir(ctx, child); });
        } catch (...) {
            noteUnreadable(ctx, child->index, ENOMEM);
            releaseUse(ctx, dir);
            DirRef::release(child);
        }
    }
}

extern "C" int bl_full_scan_opts(const char *root_path, bl_scan_result_t *result,
                                 int32_t *cancel_flag, bl_scan_options_t *options)
{
    const auto fail = [options](int error) {
        if (options)
            options->error = error;
        return -1;
    };
    if (!root_path || !result || !cancel_flag)
        return fail(EINVAL);
    struct stat st;
    if (!statRoot(root_path, st))
        return fail(errno);
    if (!S_ISDIR(st.st_mode))
        return fail(ENOTDIR);

    bl_flat_node_t *nodes = bl::allocateNodes(bl::kInitialNodeCapacity);
    if (!nodes)
        return fail(ENOMEM);
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

    auto *shared = new (std::nothrow) bl::ScanShared;
    DirRef *root = DirRef::make(nullptr, 0, root_path, std::strlen(root_path));
    if (!shared || !root) {
        delete shared;
        DirRef::release(root);
        bl_scan_result_free(result);
        return fail(ENOMEM);
    }
    bl::storeRelease(result->_scan_mutex, static_cast<void *>(shared));

    const int threads = options && options->threads > 0 ? options->threads : bl::WorkPool::defaultThreadCount();
    int fatal = 0;
    try {
        bl::WorkPool pool(threads);
        bl_scan_ctx_t ctx{result, shared, &pool, cancel_flag};
        ctx.fdBudget = fdBudget(threads);
        ctx.rootPath = root->name;
        try {
            pool.submit([&ctx, root] { bl_scan_one_dir(&ctx, root); });
        } catch (...) {
            DirRef::release(root);
            throw;
        }
        pool.run();
        fatal = ctx.fatal.load();
    } catch (...) {
        fatal = ENOMEM;
    }
    scratch.release(); // the pool's own threads have ended with theirs

    if (fatal) {
        releaseArraysLocked(result, shared->mutex);
        return fail(fatal);
    }
    if (bl::loadRelaxed(*cancel_flag) != 0) {
        releaseArraysLocked(result, shared->mutex);
        return 1;
    }
    // Under the mutex: a poller's snapshot must not copy half-summed sizes.
    std::lock_guard lock(shared->mutex);
    bl_accumulate_sizes(result);
    bl_build_children(result);
    return 0;
}

extern "C" int bl_full_scan_threads(const char *root_path, bl_scan_result_t *result,
                                    int32_t *cancel_flag, int threads)
{
    bl_scan_options_t options{};
    options.threads = threads;
    return bl_full_scan_opts(root_path, result, cancel_flag, &options);
}

extern "C" int bl_full_scan(const char *root_path, bl_scan_result_t *result, int32_t *cancel_flag)
{
    return bl_full_scan_opts(root_path, result, cancel_flag, nullptr);
}

extern "C" int32_t bl_get_unreadable(const bl_scan_result_t *result, bl_unreadable_t *out, int32_t max_count)
{
    if (!result || !out || max_count < 1)
        return 0;
    bl::ScanShared *shared = bl::sharedOf(result);
    if (!shared)
        return 0;
    std::lock_guard lock(shared->mutex);
    const int32_t n = int32_t(std::min<size_t>(shared->unreadable.size(), size_t(max_count)));
    std::copy_n(shared->unreadable.begin(), n, out);
    return n;
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
        delete static_cast<bl::ScanShared *>(result->_scan_mutex);
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
