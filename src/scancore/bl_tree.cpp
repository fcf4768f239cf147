// Turning the flat array into a readable tree: subtree sizes, the children
// index, and size-accumulated snapshots of a scan still running.
#include "bl_scan_internal.h"

#include "bl_atomic.h"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Parents precede children, so one descending pass yields subtree totals.
// Only parents at from or later receive: the snapshot sums its first
// records elsewhere.
void accumulate(bl_flat_node_t *nodes, int32_t n, int32_t from = 0)
{
    for (int32_t i = n - 1; i >= 1; --i) {
        const uint32_t p = static_cast<uint32_t>(nodes[i].parent_index);
        if (p < static_cast<uint32_t>(n) && int32_t(p) >= from) {
            nodes[p].allocated_size = bl::saturatingAdd(nodes[p].allocated_size, nodes[i].allocated_size);
            nodes[p].logical_size = bl::saturatingAdd(nodes[p].logical_size, nodes[i].logical_size);
        }
    }
}

// What the snapshot sums for each of the first records.
struct LiveTotal {
    int32_t parent;
    uint64_t allocated;
    uint64_t logical;
};

} // namespace

extern "C" void bl_accumulate_sizes(bl_scan_result_t *result)
{
    if (result->node_count < 2)
        return;
    bl_flat_node_t *nodes = result->nodes;
    const int32_t n = result->node_count;
    bl::ScanShared *shared = bl::sharedOf(result);
    if (!shared || shared->linked.empty()) {
        accumulate(nodes, n);
        return;
    }
    // Files with several links are left out of the plain sums and charged
    // once to each folder above any of their links.
    std::vector<bl::LinkedFile> linked = shared->linked;
    std::vector<std::pair<uint64_t, uint64_t>> own;
    own.reserve(linked.size());
    for (const bl::LinkedFile &f : linked) {
        bl_flat_node_t &node = nodes[f.node];
        own.emplace_back(node.allocated_size, node.logical_size);
        node.allocated_size = node.logical_size = 0;
    }
    accumulate(nodes, n);
    for (size_t k = 0; k < linked.size(); ++k) {
        nodes[linked[k].node].allocated_size = own[k].first;
        nodes[linked[k].node].logical_size = own[k].second;
    }
    bl::chargeLinkedFilesOnce(
        linked,
        [nodes, n](int64_t i) -> int64_t {
            const int32_t p = nodes[i].parent_index;
            return p >= 0 && p < i && p < n ? p : -1;
        },
        [nodes](int64_t folder, int64_t file) {
            nodes[folder].allocated_size = bl::saturatingAdd(nodes[folder].allocated_size, nodes[file].allocated_size);
            nodes[folder].logical_size = bl::saturatingAdd(nodes[folder].logical_size, nodes[file].logical_size);
        });
}

extern "C" void bl_build_children(bl_scan_result_t *result)
{
    const int32_t n = result->node_count;
    if (n <= 0)
        return;
    bl_flat_node_t *nodes = result->nodes;
    auto *counters = static_cast<int32_t *>(std::calloc(size_t(n), sizeof(int32_t)));
    if (!counters)
        return;
    for (int32_t i = 1; i < n; ++i) {
        const uint32_t p = static_cast<uint32_t>(nodes[i].parent_index);
        if (p < static_cast<uint32_t>(n))
            ++counters[p];
    }
    int32_t total = 0;
    for (int32_t i = 0; i < n; ++i) {
        nodes[i].child_count = counters[i];
        nodes[i].first_child = total;
        total += counters[i];
    }
    // One spare slot, so that NULL always means the allocation failed.
    auto *children = static_cast<int32_t *>(std::malloc(sizeof(int32_t) * (size_t(total) + 1)));
    if (!children) {
        std::free(counters);
        return;
    }
    std::free(result->children);
    result->children = children;
    result->children_count = total;
    std::memset(counters, 0, sizeof(int32_t) * size_t(n));
    for (int32_t i = 1; i < n; ++i) {
        const uint32_t p = static_cast<uint32_t>(nodes[i].parent_index);
        if (p < static_cast<uint32_t>(n))
            children[nodes[p].first_child + counters[p]++] = i;
    }
    std::free(counters);
}

extern "C" int32_t bl_snapshot_nodes(const bl_scan_result_t *result, bl_flat_node_t *out,
                                     int32_t max_count)
{
    if (!result || !out || max_count < 1)
        return 0;
    bl::ScanShared *shared = bl::sharedOf(result);
    if (!shared || !bl::loadRelaxed(result->nodes) || bl::loadRelaxed(result->node_count) < 1)
        return 0;

    // The first records with what lies below them: their own file sizes and
    // the running totals of files beyond them. Kept per thread: a poller
    // asks five times a second.
    thread_local std::vector<LiveTotal> totals;
    thread_local std::vector<int32_t> uncounted;
    int32_t n = 0, m = 0;
    {
        std::lock_guard lock(shared->mutex);
        // Read again under the lock: a cancelled scan may have freed the
        // arrays since the check above.
        const bl_flat_node_t *nodes = result->nodes;
        const int32_t count = result->node_count;
        n = count < max_count ? count : max_count;
        m = count < BL_LIVE_TOTALS_NODES ? count : BL_LIVE_TOTALS_NODES;
        if (!nodes || n < 1)
            return 0;
        std::memcpy(out, nodes, sizeof(bl_flat_node_t) * size_t(n));
        totals.resize(size_t(m));
        // Links to a file met before under another name add nothing until
        // the scan has ended and knows all of them.
        uncounted.clear();
        for (size_t k = 0; k < shared->linked.size() && shared->linked[k].node < n; ++k)
            if (!shared->linkedCounted[k])
                uncounted.push_back(int32_t(shared->linked[k].node));
        for (int32_t i = 0; i < m; ++i) {
            // Directories carry no size of their own; once the scan has
            // finished the live array holds their totals, not to be counted twice.
            const bool dir = nodes[i].obj_type == BL_OBJ_DIRECTORY;
            totals[size_t(i)] = {nodes[i].parent_index,
                                 bl::saturatingAdd(dir ? 0 : nodes[i].allocated_size, shared->liveAllocated[i]),
                                 bl::saturatingAdd(dir ? 0 : nodes[i].logical_size, shared->liveLogical[i])};
        }
    }

    for (const int32_t i : uncounted)
        if (i < m)
            totals[size_t(i)].allocated = totals[size_t(i)].logical = 0;
    for (int32_t i = m - 1; i >= 1; --i) {
        const uint32_t p = static_cast<uint32_t>(totals[size_t(i)].parent);
        if (p < static_cast<uint32_t>(m)) {
            totals[p].allocated = bl::saturatingAdd(totals[p].allocated, totals[size_t(i)].allocated);
            totals[p].logical = bl::saturatingAdd(totals[p].logical, totals[size_t(i)].logical);
        }
    }
    for (int32_t i = 0; i < n; ++i) {
        if (out[i].obj_type == BL_OBJ_DIRECTORY) {
            out[i].allocated_size = 0;
            out[i].logical_size = 0;
        }
        out[i].child_count = 0;
    }
    // Records past the tracked ones hold what the copy holds below them.
    std::vector<std::pair<uint64_t, uint64_t>> heldBack;
    for (const int32_t i : uncounted) {
        if (i >= m) {
            heldBack.emplace_back(out[i].allocated_size, out[i].logical_size);
            out[i].allocated_size = out[i].logical_size = 0;
        }
    }
    accumulate(out, n, m);
    for (size_t k = 0, j = 0; k < uncounted.size(); ++k) {
        if (uncounted[k] >= m) {
            out[uncounted[k]].allocated_size = heldBack[j].first;
            out[uncounted[k]].logical_size = heldBack[j++].second;
        }
    }
    for (int32_t i = 0; i < n && i < m; ++i) {
        out[i].allocated_size = totals[size_t(i)].allocated;
        out[i].logical_size = totals[size_t(i)].logical;
    }
    for (int32_t i = 1; i < n; ++i) {
        const uint32_t p = static_cast<uint32_t>(out[i].parent_index);
        if (p < static_cast<uint32_t>(n))
            ++out[p].child_count;
    }
    return n;
}
