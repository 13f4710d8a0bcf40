#pragma once

#include "records.h"

namespace scalesum {

// Arranges the nodes into a tree by clade containment, sets the root (branch length 0) and
// puts analysis.nodes back into log order; fails when there is no root, or when a
// node cannot be placed in the tree or names a taxon that the taxa table lacks.
void buildCladeTree(Analysis& analysis);

// Returns the first node with `id` in pre-order below and including `top`, or null.
Node* findNodeInSubtree(Node* top, int32_t id);

}  // namespace scalesum
