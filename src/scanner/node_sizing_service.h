// The size a node is charged, from its metadata: the all-forks figures win
// over the data-only ones, and a file without an allocated figure is charged
// its logical size.
#pragma once

#include "node_resource_values.h"

class NodeSizingService {
public:
    NodeSize resolveSize(const NodeResourceValues &values) const;
};
