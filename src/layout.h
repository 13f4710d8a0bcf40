#pragma once

#include <cstdint>
#include <vector>

#include "tree.h"

namespace scalesum {

// One node of the tree as the tree file and the picture show it.
struct TreeItem {
  const Node* node = nullptr;  // null for a taxon that no child of its clade covers
  int64_t position = -1;       // in Tree::nodes; -1 where the item has no statistics
  int32_t taxon = -1;          // index in Tree::taxa for a tip, else -1
  int32_t parent = -1;         // index of the parent item; -1 for the root
  int32_t end = 0;             // one past the last item of this item's subtree
  double length = 0.0;         // the logged branch length (0 for the root)
  double depth = 0.0;          // distance from the root, counting non-finite lengths as 0
  double row = 0.0;            // a tip's row from the top; the middle of its children's rows
};

// The drawable tree in pre-order, children in the order they were attached, each clade's
// uncovered taxa after its children, nodes without taxa left out.
struct TreeLayout {
  std::vector<TreeItem> items;
  int32_t tipCount = 0;
};

// Returns the layout of the clade tree; fails when a taxon would be
// drawn twice, since no tree file could name it at both places.
TreeLayout layoutTree(const Tree& tree);

}  // namespace scalesum
