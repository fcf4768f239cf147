// Turning the flat array into a readable tree: subtree sizes, the children
// index, and size-accumulated snapshots of a scan still running.
#include "bl_scan_internal.h"

#include "bl_atomic.h"

#include <cstdlib>
#include <cstring>
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
    accumulate(result->nodes, result->node_count);
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
        for (int32_t i = 0; i < m; ++i) {
            // Directories carry no size of their own; once the scan has
            // finished the live array holds their totals, not to be counted twice.
            const bool dir = nodes[i].obj_type == BL_OBJ_DIRECTORY;
            totals[size_t(i)] = {nodes[i].parent_index,
                                 bl::saturatingAdd(dir ? 0 : nodes[i].allocated_size, shared->liveAllocated[i]),
                                 bl::saturatingAdd(dir ? 0 : nodes[i].logical_size, shared->liveLogical[i])};
        }
    }

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
    accumulate(out, n, m);
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
