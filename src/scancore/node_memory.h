// Memory for the flat node array. It is mapped rather than taken from
// malloc so that it can sit on 2 MiB pages: a scan writes tens of megabytes
// of fresh records, and with 4 KiB pages each first touch is a page fault
// taken under the scan mutex (about 11 us each in a virtual machine).
#pragma once

#include "bl_scan.h"

namespace bl {

bl_flat_node_t *allocateNodes(int32_t capacity);
// Moves the records to room for newCapacity; nullptr (old block intact) on failure.
bl_flat_node_t *growNodes(bl_flat_node_t *nodes, int32_t oldCapacity, int32_t newCapacity);
void releaseNodes(bl_flat_node_t *nodes, int32_t capacity);
// Gives back the whole pages under records [from, to); they read as zeros after.
void releaseNodes(bl_flat_node_t *nodes, int32_t from, int32_t to);

} // namespace bl
