#include "node_memory.h"

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

namespace bl {
namespace {

constexpr size_t kHugePage = size_t(2) << 20;

size_t mappedBytes(int32_t capacity)
{
    const size_t bytes = sizeof(bl_flat_node_t) * size_t(capacity);
    return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

// An address range of length bytes that starts on a huge-page boundary.
void *reserveAligned(size_t length)
{
    void *raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start)
        munmap(raw, aligned - start);
    const uintptr_t tail = aligned + length;
    const uintptr_t end = start + length + kHugePage;
    if (end > tail)
        munmap(reinterpret_cast<void *>(tail), end - tail);
    void *block = reinterpret_cast<void *>(aligned);
    // Never on huge pages: with a full page cache the kernel compacts memory
    // for each one at the fault, which cost a scan of ten million files
    // seconds of system time, more than the fewer faults save.
    madvise(block, length, MADV_NOHUGEPAGE);
    return block;
}

} // namespace

bl_flat_node_t *allocateNodes(int32_t capacity)
{
    return static_cast<bl_flat_node_t *>(reserveAligned(mappedBytes(capacity)));
}

bl_flat_node_t *growNodes(bl_flat_node_t *nodes, int32_t oldCapacity, int32_t newCapacity)
{
    const size_t oldLength = mappedBytes(oldCapacity);
    const size_t newLength = mappedBytes(newCapacity);
    if (newLength <= oldLength)
        return nodes;
    // Move the pages into a fresh range: nothing is copied.
    void *target = reserveAligned(newLength);
    if (!target)
        return nullptr;
    void *moved = mremap(nodes, oldLength, newLength, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (moved == MAP_FAILED) {
        munmap(target, newLength);
        return nullptr;
    }
    madvise(moved, newLength, MADV_NOHUGEPAGE);
    return static_cast<bl_flat_node_t *>(moved);
}

void releaseNodes(bl_flat_node_t *nodes, int32_t capacity)
{
    if (nodes)
        munmap(nodes, mappedBytes(capacity));
}

void releaseNodes(bl_flat_node_t *nodes, int32_t from, int32_t to)
{
    if (!nodes || from < 0 || to <= from)
        return;
    const uintptr_t base = reinterpret_cast<uintptr_t>(nodes);
    const uintptr_t begin = (base + sizeof(bl_flat_node_t) * size_t(from) + 4095) & ~uintptr_t(4095);
    const uintptr_t end = (base + sizeof(bl_flat_node_t) * size_t(to)) & ~uintptr_t(4095);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_DONTNEED);
}

} // namespace bl
