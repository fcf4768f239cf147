// The parallel full scan: one work item per directory, each appending its
// listing to the shared node array as one block under the scan mutex.
#include "bl_scan_internal.h"

#include "bl_atomic.h"
#include "name_arena.h"
#include "node_memory.h"
#include "work_pool.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

// Per-thread listing memory, kept across the work items of one scan: a scan
// lists thousands of directories and would otherwise allocate for each.
// Released when the scan ends (see releaseScratch).
struct ListingScratch {
    char *buffer = nullptr;
    bl::Listing listing;

    ~ListingScratch() { release(); }

    void release()
    {
        std::free(buffer);
        buffer = nullptr;
        listing = bl::Listing();
    }

    bool reserve()
    {
        return buffer || (buffer = static_cast<char *>(std::malloc(bl::kListingBufferBytes)));
    }

    // After a folder of a million entries its room goes, not the scan's end.
    void trim()
    {
        if (listing.entries.capacity() > (size_t(1) << 16))
            listing = bl::Listing();
    }
};

thread_local ListingScratch scratch;

void writeRootNode(bl_flat_node_t &node, bl::NameArena &names, const char *rootPath, mode_t mode, int64_t modified)
{
    const char *slash = std::strrchr(rootPath, '/');
    const char *name = slash ? slash + 1 : rootPath;
    const size_t len = strnlen(name, 255);
    std::memset(&node, 0, sizeof node);
    node.name_offset = names.add(name, len);
    node.name_length = uint8_t(len);
    node.modified_time = modified;
    node.parent_index = -1;
    node.is_package = static_cast<uint8_t>(bl_is_package_name(names.at(node.name_offset)));
    node.obj_type = node.is_package ? BL_OBJ_PACKAGE : BL_OBJ_DIRECTORY;
    node.is_hidden = 0;
    node.is_readable = (mode & S_IRUSR) ? 1 : 0;
    node.child_count = 0;
    node.first_child = -1;
}

// What the scan needs of its root, at any depth: its mode, its mount, and
// whether it is a kernel file system, which is not entered even when asked
// for. Fails with ENOTDIR for anything but a directory.
bool statRoot(const char *path, mode_t &mode, uint64_t &mount, bool &kernel, int64_t &modified)
{
    const int fd = bl::openDirectory(path, true, O_PATH);
    if (fd < 0)
        return false;
    struct statx sx;
    struct statfs fs;
    const bool ok = statx(fd, "", AT_EMPTY_PATH, STATX_MODE | STATX_MNT_ID | STATX_MTIME, &sx) == 0 &&
                    fstatfs(fd, &fs) == 0;
    const int error = errno;
    close(fd);
    if (!ok) {
        errno = error;
        return false;
    }
    mode = sx.stx_mode;
    modified = (sx.stx_mask & STATX_MTIME) ? sx.stx_mtime.tv_sec : 0;
    mount = bl::mountOf(sx);
    kernel = bl::isKernelFileSystem(long(fs.f_type));
    return true;
}

void failScan(bl_scan_ctx_t *ctx, int error);

// A folder that could not be listed; out of memory, it is the scan that
// failed, not the folder.
void noteUnreadable(bl_scan_ctx_t *ctx, int32_t index, int error)
{
    if (error == ENOMEM) {
        failScan(ctx, ENOMEM);
        return;
    }
    bl::addRelaxed(ctx->result->_unreadable_count, 1);
    std::lock_guard lock(ctx->shared->mutex);
    try {
        ctx->shared->unreadable.push_back({index, error ? error : EIO});
    } catch (const std::bad_alloc &) {
        failScan(ctx, ENOMEM);
    }
}

// The scan cannot hold its tree: it ends failed, not with a part of it.
void failScan(bl_scan_ctx_t *ctx, int error)
{
    int32_t none = 0;
    ctx->fatal.compare_exchange_strong(none, error ? error : ENOMEM);
}

// Notes a marked entry or a file with more than one link; false when the
// file was met before under another name. Under the mutex.
bool noteFacts(bl::ScanShared &shared, int32_t index, const bl::EntryFacts &f)
{
    if (f.mark) {
        shared.marks.push_back({index, f.mark, 0, 0});
        return true;
    }
    const bool first = shared.linkedSeen.insert(f.file).second;
    shared.marks.push_back({index, BL_MARK_HARD_LINK, f.links, 0});
    shared.linked.push_back({index, f.file});
    shared.linkedCounted.push_back(first);
    return first;
}

bool isLinkedFile(const bl::ListedEntry &e, const bl::EntryFacts &f)
{
    return e.obj_type == BL_OBJ_FILE && f.links > 1;
}

// Appends one listing under the mutex; false when the array cannot grow.
bool appendBlock(bl_scan_ctx_t *ctx, int32_t parentIndex, int32_t anchor, const bl::Listing &listing,
                 int32_t &base)
{
    bl_scan_result_t *r = ctx->result;
    const bl::ListedEntry *entries = listing.entries.data();
    const bl::EntryFacts *facts = listing.facts.data();
    const int32_t count = int32_t(listing.size());
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
        const bl::ListedEntry &e = entries[i];
        bl_flat_node_t &n = out[i];
        try {
            n.name_offset = ctx->names->add(listing.name(size_t(i)), e.name_length);
        } catch (const std::bad_alloc &) {
            return false; // node_count is not advanced: the block is not there
        }
        n.name_length = e.name_length;
        n.modified_time = e.modified_time;
        n.parent_index = parentIndex;
        n.obj_type = e.is_package ? uint8_t(BL_OBJ_PACKAGE) : e.obj_type;
        n.is_hidden = e.is_hidden;
        n.is_package = e.is_package;
        n.is_readable = e.is_readable;
        n.allocated_size = e.allocated_size;
        n.logical_size = e.logical_size;
        n.child_count = 0;
        n.first_child = -1;
        if (facts[i].mark || isLinkedFile(e, facts[i])) {
            bool counted = false;
            try {
                counted = noteFacts(*ctx->shared, base + i, facts[i]);
            } catch (const std::bad_alloc &) {
                return false;
            }
            if (facts[i].mark)
                n.allocated_size = n.logical_size = 0; // not entered, not counted
            if (!counted)
                continue; // in the live totals once, under the name met first
        }
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
    uint64_t mount = 0; // bl::mountOf
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
    const int fd = bl::openWaitingForDescriptors([&] { return openDirOnce(ctx, d); },
                                                 [&] { return !stopped(ctx); });
    const int error = errno;
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

// The path of d below the root, "" for the root itself.
std::string pathBelowRoot(const DirRef *d)
{
    std::vector<const char *> names;
    for (; d && d->parent; d = d->parent)
        names.push_back(d->name);
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty())
            path += '/';
        path += *it;
    }
    return path;
}

// Marks the entries of dir's listing that the user's patterns or a cache
// tag leave out; entries marked already (mount points) are left as they are.
void markExcluded(bl_scan_ctx_t *ctx, const DirRef *dir, int fd, bl::Listing &listing)
{
    const int32_t count = int32_t(listing.size());
    const bl::Exclusions &ex = *ctx->exclusions;
    std::string below;
    if (ex.wantsPath()) {
        below = pathBelowRoot(dir);
        if (!below.empty())
            below += '/';
    }
    const size_t stem = below.size();
    for (int32_t i = 0; i < count; ++i) {
        bl::EntryFacts &facts = listing.facts[size_t(i)];
        if (facts.mark)
            continue;
        const bl::ListedEntry &e = listing.entries[size_t(i)];
        const char *name = listing.name(size_t(i));
        if (ex.wantsPath()) {
            below.resize(stem);
            below += name;
        }
        if (ex.excludes(name, ex.wantsPath() ? below.c_str() : nullptr) ||
            (ex.excludesCaches() && e.obj_type == BL_OBJ_DIRECTORY && !e.is_package && bl::holdsCacheTag(fd, name)))
            facts.mark = BL_MARK_EXCLUDED;
    }
}

} // namespace

extern "C" void bl_scan_one_dir(bl_scan_ctx_t *ctx, DirRef *dir)
{
    struct Release {
        DirRef *d;
        ~Release() { DirRef::release(d); }
    } owned{dir};

    if (stopped(ctx)) {
        ctx->skipped.store(true, std::memory_order_relaxed);
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
    int readError = 0;
    if (!scratch.reserve()) {
        noteUnreadable(ctx, dir->index, ENOMEM);
        keepForChildren(ctx, dir, fd, 0);
        return;
    }
    bl::Listing &listing = scratch.listing;
    try {
        bl::listOpenDirectory(fd, scratch.buffer, listing, &readError);
    } catch (const std::bad_alloc &) {
        failScan(ctx, ENOMEM);
        keepForChildren(ctx, dir, fd, 0);
        return;
    }
    if (readError)
        noteUnreadable(ctx, dir->index, readError); // what was read is kept
    const int32_t count = int32_t(listing.size());
    if (count == 0) {
        keepForChildren(ctx, dir, fd, 0);
        return;
    }

    // Mount points below: a kernel file system is never entered, another
    // one only when the scan crosses file systems. Unstatted entries have
    // mount 0 and are left alone.
    for (int32_t i = 0; i < count; ++i) {
        bl::EntryFacts &facts = listing.facts[size_t(i)];
        if (facts.mount == dir->mount || facts.mount == 0)
            continue;
        const int kind = bl::boundaryKind(fd, listing.name(size_t(i)));
        if (kind == BL_MARK_KERNEL_FS || !ctx->crossFileSystems)
            facts.mark = uint8_t(kind);
    }
    if (ctx->exclusions && ctx->exclusions->active()) {
        try {
            markExcluded(ctx, dir, fd, listing);
        } catch (const std::bad_alloc &) {
            failScan(ctx, ENOMEM);
            keepForChildren(ctx, dir, fd, 0);
            return;
        }
    }
    int32_t base = 0;
    if (!appendBlock(ctx, dir->index, dir->anchor, listing, base)) {
        failScan(ctx, ENOMEM);
        keepForChildren(ctx, dir, fd, 0);
        return;
    }

    const bl::ListedEntry *entries = listing.entries.data();
    const bl::EntryFacts *facts = listing.facts.data();
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
        if (entries[i].obj_type != BL_OBJ_DIRECTORY || entries[i].is_package || facts[i].mark)
            continue;
        DirRef *child = DirRef::make(dir, base + i, listing.name(size_t(i)), entries[i].name_length);
        if (!child) {
            noteUnreadable(ctx, base + i, ENOMEM);
            continue;
        }
        child->mount = facts[i].mount ? facts[i].mount : dir->mount;
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
    scratch.trim();
}

extern "C" int bl_full_scan_opts(const char *root_path, bl_scan_result_t *result,
                                 int32_t *cancel_flag, bl_scan_options_t *options)
{
    const auto fail = [options](int error) {
        if (options)
            options->error = error;
        return -1;
    };
    const auto indexChildren = [options](bl_scan_result_t *r) {
        if (!options || !options->no_children_index)
            bl_build_children(r);
    };
    if (!root_path || !result || !cancel_flag)
        return fail(EINVAL);
    mode_t mode = 0;
    uint64_t mount = 0;
    bool kernelRoot = false;
    int64_t modified = 0;
    if (!statRoot(root_path, mode, mount, kernelRoot, modified))
        return fail(errno);

    bl_flat_node_t *nodes = bl::allocateNodes(bl::kInitialNodeCapacity);
    auto *shared = new (std::nothrow) bl::ScanShared;
    auto *names = new (std::nothrow) bl::NameArena;
    if (!nodes || !shared || !names) {
        bl::releaseNodes(nodes, bl::kInitialNodeCapacity);
        delete shared;
        delete names;
        return fail(ENOMEM);
    }
    result->_names = names;
    // Pollers may already be reading these fields from other threads.
    for (int32_t *counter : {&result->_items_scanned, &result->_dirs_scanned,
                             &result->_files_scanned, &result->_unreadable_count})
        bl::storeRelaxed(*counter, 0);
    try {
        writeRootNode(nodes[0], *names, root_path, mode, modified);
    } catch (const std::bad_alloc &) {
        bl::releaseNodes(nodes, bl::kInitialNodeCapacity);
        delete shared;
        bl_scan_result_free(result);
        return fail(ENOMEM);
    }
    result->node_capacity = bl::kInitialNodeCapacity;
    result->children = nullptr;
    result->children_count = 0;
    bl::storeRelaxed(result->nodes, nodes);
    bl::storeRelaxed(result->node_count, 1);
    bl::addRelaxed(result->_items_scanned, 1);
    bl::addRelaxed(result->_dirs_scanned, 1);
    if (result->nodes[0].is_package) {
        delete shared; // one node, nothing to guard
        indexChildren(result);
        return 0;
    }
    bl::storeRelease(result->_scan_shared, static_cast<void *>(shared));

    if (kernelRoot) {
        try {
            shared->marks.push_back({0, BL_MARK_KERNEL_FS, 0, 0});
        } catch (const std::bad_alloc &) {
            bl_scan_result_free(result);
            return fail(ENOMEM);
        }
        indexChildren(result);
        return 0;
    }

    bl::Exclusions exclusions;
    try {
        std::vector<std::string> patterns;
        for (int32_t i = 0; options && options->exclude_patterns && i < options->exclude_pattern_count; ++i) {
            if (options->exclude_patterns[i])
                patterns.emplace_back(options->exclude_patterns[i]);
        }
        exclusions = bl::Exclusions(root_path, patterns, options && options->exclude_caches);
    } catch (const std::bad_alloc &) {
        bl_scan_result_free(result);
        return fail(ENOMEM);
    }
    DirRef *root = DirRef::make(nullptr, 0, root_path, std::strlen(root_path));
    if (!root) {
        bl_scan_result_free(result);
        return fail(ENOMEM);
    }
    root->mount = mount;

    const int threads = options && options->threads > 0 ? options->threads : bl::WorkPool::defaultThreadCount();
    int fatal = 0;
    bool skipped = false;
    try {
        bl::WorkPool pool(threads);
        bl_scan_ctx_t ctx{result, shared, names, &pool, cancel_flag};
        ctx.fdBudget = fdBudget(threads);
        ctx.rootPath = root->name;
        ctx.crossFileSystems = options && options->cross_file_systems;
        ctx.exclusions = &exclusions;
        try {
            pool.submit([&ctx, root] { bl_scan_one_dir(&ctx, root); });
        } catch (...) {
            DirRef::release(root);
            throw;
        }
        pool.run([options] {
            if (options && options->threads_started)
                options->threads_started(options->threads_started_context);
        });
        fatal = ctx.fatal.load();
        skipped = ctx.skipped.load();
    } catch (...) {
        fatal = ENOMEM;
    }
    scratch.release(); // the pool's own threads have ended with theirs

    // A root that cannot be listed is no scan at all, whatever is below.
    for (const bl_unreadable_t &u : shared->unreadable) {
        if (u.node_index == 0 && !fatal)
            fatal = u.error;
    }
    if (fatal) {
        releaseArraysLocked(result, shared->mutex);
        return fail(fatal);
    }
    const int32_t asked = bl::loadRelaxed(*cancel_flag);
    if (asked != 0 && asked != 2) {
        releaseArraysLocked(result, shared->mutex);
        return 1;
    }
    // Under the mutex: a poller's snapshot must not copy half-summed sizes.
    std::lock_guard lock(shared->mutex);
    bl_accumulate_sizes(result);
    indexChildren(result);
    return asked == 2 && skipped ? 2 : 0; // a stop after the last folder cut nothing
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

namespace {

// Copies up to max_count items of the scan's list from the from-th on,
// under the scan's lock, each made into what the C API hands out.
template <class List, class Out, class Convert>
int32_t copyListed(const bl_scan_result_t *result, List bl::ScanShared::*list, int32_t from, Out *out,
                   int32_t max_count, Convert convert)
{
    if (!result || !out || max_count < 1 || from < 0)
        return 0;
    bl::ScanShared *shared = bl::sharedOf(result);
    if (!shared)
        return 0;
    std::lock_guard lock(shared->mutex);
    const List &items = shared->*list;
    int32_t n = 0;
    for (size_t k = size_t(from); k < items.size() && n < max_count; ++k, ++n)
        out[n] = convert(items[k]);
    return n;
}

} // namespace

extern "C" int32_t bl_get_marks(const bl_scan_result_t *result, int32_t from, bl_node_mark_t *out,
                                int32_t max_count)
{
    return copyListed(result, &bl::ScanShared::marks, from, out, max_count,
                      [](const bl_node_mark_t &m) { return m; });
}

extern "C" int32_t bl_get_linked_files(const bl_scan_result_t *result, int32_t from, bl_linked_file_t *out,
                                       int32_t max_count)
{
    return copyListed(result, &bl::ScanShared::linked, from, out, max_count, [](const bl::LinkedFile &f) {
        return bl_linked_file_t{int32_t(f.node), 0, f.file};
    });
}

extern "C" int32_t bl_get_mark_count(const bl_scan_result_t *result)
{
    bl::ScanShared *shared = result ? bl::sharedOf(result) : nullptr;
    if (!shared)
        return 0;
    std::lock_guard lock(shared->mutex);
    return int32_t(std::min<size_t>(shared->marks.size(), INT32_MAX));
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

extern "C" void bl_request_stop(int32_t *cancel_flag)
{
    if (!cancel_flag)
        return;
    int32_t running = 0;
    std::atomic_ref<int32_t>(*cancel_flag).compare_exchange_strong(running, 2, std::memory_order_relaxed);
}

extern "C" void bl_release_nodes(bl_scan_result_t *result, int32_t from, int32_t to)
{
    if (!result || !result->nodes)
        return;
    const int32_t end = to < result->node_count ? to : result->node_count;
    // Names are written in record order: those of [from, end) lie between
    // the two records' names (read before their pages go).
    if (auto *names = static_cast<bl::NameArena *>(result->_names); names && from >= 0 && from < end)
        names->release(result->nodes[from].name_offset,
                       end < result->node_count ? result->nodes[end].name_offset : names->size());
    bl::releaseNodes(result->nodes, from, end);
}

extern "C" void bl_release_children(bl_scan_result_t *result)
{
    if (!result)
        return;
    std::free(result->children);
    result->children = nullptr;
    result->children_count = 0;
}

extern "C" const char *bl_node_name(const bl_scan_result_t *result, const bl_flat_node_t *node)
{
    const auto *names = result ? static_cast<const bl::NameArena *>(result->_names) : nullptr;
    return names && node ? names->at(node->name_offset) : "";
}

extern "C" void bl_scan_result_free(bl_scan_result_t *result)
{
    if (!result)
        return;
    if (result->_scan_shared) {
        delete static_cast<bl::ScanShared *>(result->_scan_shared);
        bl::storeRelease(result->_scan_shared, static_cast<void *>(nullptr));
    }
    bl::releaseNodes(result->nodes, result->node_capacity);
    std::free(result->children);
    delete static_cast<bl::NameArena *>(result->_names);
    result->_names = nullptr;
    result->nodes = nullptr;
    result->children = nullptr;
    result->node_count = 0;
    result->node_capacity = 0;
    result->children_count = 0;
}
