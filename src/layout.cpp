#include "layout.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <unordered_map>
#include <vector>

#include "failure.h"

namespace scalesum {

namespace {

// A pending step of the pre-order walk: a node, or a taxon its clade holds uncovered.
struct Pending {
  const Node* node;
  int32_t taxon;
  int32_t parent;
};

// Where the tree keeps each node and taxon, found by the node or the taxon's id.
struct Lookup {
  std::unordered_map<const Node*, int64_t> positionOf;
  // The logged length of each node, by its line: with duplicate ids a node may have no
  // position of its own, and the root's entry is 0.
  std::unordered_map<const Node*, double> loggedLength;
  std::unordered_map<int32_t, int32_t> taxonById;
};

Lookup lookupOf(const Tree& tree) {
  Lookup lookup;
  for (size_t j = 0; j < tree.nodes.size(); ++j) {
    lookup.positionOf.emplace(tree.nodes[j], static_cast<int64_t>(j));
  }
  for (size_t j = 0; j < tree.nodeStore.size(); ++j) {
    lookup.loggedLength.emplace(tree.nodeStore[j].get(), tree.originalLengths[j]);
  }
  for (size_t k = 0; k < tree.taxa.size(); ++k) {
    lookup.taxonById.emplace(tree.taxa[k].id, static_cast<int32_t>(k));
  }
  return lookup;
}

// The item of the step `next`, below the items already laid out; its row is left to the walk.
TreeItem itemOf(const Pending& next, const Lookup& lookup, const TreeLayout& layout) {
  TreeItem item;
  item.node = next.node;
  item.parent = next.parent;
  item.taxon = next.taxon;
  if (next.node != nullptr) {
    const auto found = lookup.positionOf.find(next.node);
    if (found != lookup.positionOf.end()) item.position = found->second;
    item.length = lookup.loggedLength.at(next.node);
    if (next.node->isTip) item.taxon = lookup.taxonById.at(next.node->taxonIds[0]);
  }
  if (item.parent >= 0) {
    // Only finite positions can be drawn: a length that is not, or that would carry the
    // depth beyond the doubles, counts as 0.
    const double above = layout.items[static_cast<size_t>(item.parent)].depth;
    item.depth = std::isfinite(above + item.length) ? above + item.length : above;
  }
  return item;
}

// Pushes the steps below the clade `node`, laid out at `index`, so that they come off the
// stack as its children in attach order, then the taxa that none of them covers.
// seenBy[taxon] is the last item that looked at the taxon.
void pushBelow(const Node& node, int32_t index, const Lookup& lookup, std::vector<int32_t>& seenBy,
               std::vector<Pending>& pending) {
  std::vector<const Node*> children;
  for (const Node* child : node.children) {
    if (child->taxonIds.empty()) continue;
    children.push_back(child);
    for (int32_t id : child->taxonIds) {
      seenBy[static_cast<size_t>(lookup.taxonById.at(id))] = index;
    }
  }
  std::vector<int32_t> uncovered;
  for (int32_t id : node.taxonIds) {
    const int32_t taxon = lookup.taxonById.at(id);
    if (seenBy[static_cast<size_t>(taxon)] == index) continue;
    seenBy[static_cast<size_t>(taxon)] = index;
    uncovered.push_back(taxon);
  }
  for (auto taxon = uncovered.rbegin(); taxon != uncovered.rend(); ++taxon) {
    pending.push_back({nullptr, *taxon, index});
  }
  for (auto child = children.rbegin(); child != children.rend(); ++child) {
    pending.push_back({*child, -1, index});
  }
}

// Sets each clade's end and row, which only its subtree's items settle.
void closeClades(TreeLayout& layout) {
  // Children follow their parent in pre-order, so one backward sweep closes every clade.
  std::vector<double> firstRow(layout.items.size(), INFINITY);
  std::vector<double> lastRow(layout.items.size(), -INFINITY);
  for (size_t i = layout.items.size(); i-- > 0;) {
    TreeItem& item = layout.items[i];
    if (item.end == 0) item.end = static_cast<int32_t>(i + 1);
    if (item.taxon < 0) item.row = (firstRow[i] + lastRow[i]) / 2.0;
    if (item.parent < 0) continue;
    const auto parent = static_cast<size_t>(item.parent);
    firstRow[parent] = std::min(firstRow[parent], item.row);
    lastRow[parent] = std::max(lastRow[parent], item.row);
    layout.items[parent].end = std::max(layout.items[parent].end, item.end);
  }
}

}  // namespace

TreeLayout layoutTree(const Tree& tree) {
  TreeLayout layout;
  try {
    const Lookup lookup = lookupOf(tree);
    // Per taxon: the item that last looked at it (for the uncovered ones) and where it was drawn.
    std::vector<int32_t> seenBy(tree.taxa.size(), -1);
    std::vector<int32_t> drawnAt(tree.taxa.size(), -1);
    std::vector<Pending> pending{{tree.root, -1, -1}};
    while (!pending.empty()) {
      const Pending next = pending.back();
      pending.pop_back();
      const auto index = static_cast<int32_t>(layout.items.size());
      TreeItem item = itemOf(next, lookup, layout);
      if (item.taxon >= 0) {
        int32_t& drawn = drawnAt[static_cast<size_t>(item.taxon)];
        if (drawn >= 0) {
          fail(1, Stream::kStdout,
               "Error in %s: taxon %s lies in clades that do not nest, so the tree cannot be "
               "drawn\n",
               tree.path.c_str(), tree.taxa[static_cast<size_t>(item.taxon)].name.c_str());
        }
        drawn = index;
        item.row = layout.tipCount++;
      }
      layout.items.push_back(item);
      if (item.taxon < 0) pushBelow(*next.node, index, lookup, seenBy, pending);
    }
    closeClades(layout);
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 31);
  }
  return layout;
}

}  // namespace scalesum
