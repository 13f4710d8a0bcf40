#include "tree.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

#include "failure.h"

namespace scalesum {

namespace {

// Clade containment without quadratic scans. Taxon ids are mapped to dense indices and every
// node keeps its distinct taxa sorted. A clade is only ever attached below a node that contains
// it, so when a clade C is known to lie inside node X, C lies inside X's child Y exactly when C
// shares no taxon with X \ Y. That difference is small on deep trees (a caterpillar's is one
// taxon), and whenever it is not, Y itself is small: the check takes the cheaper of the two.
// Nodes are handled by their index in the node table while the tree grows.
struct CladeIndex {
  std::vector<std::vector<int32_t>> members;      // per node: sorted distinct dense taxa
  std::vector<std::vector<int32_t>> parentExtra;  // per node: parent's taxa not in it, if kept
  std::vector<unsigned char> keepsParentExtra;
  std::vector<unsigned char> inClade;  // dense taxa of the clade being placed
  std::vector<std::vector<size_t>> children;
  std::vector<size_t> parent;       // the node count stands for none
  std::vector<int32_t> sizes;       // per node: its taxon count as logged
  std::vector<unsigned char> tips;  // per node: whether it is a tip, which takes no clade
};

// Dense indices for the ids of the taxa table, one per distinct id in table order.
struct DenseTaxa {
  bool compact = false;  // the ids fill a small range, where an array does the look-up
  int64_t lowest = INT32_MAX;
  int64_t highest = INT32_MIN;
  std::vector<int32_t> byOffset;  // when compact: by id - lowest, -1 for none
  std::unordered_map<int32_t, int32_t> byId;
  int32_t count = 0;
};

bool containsAll(const std::vector<int32_t>& sortedSet, const std::vector<int32_t>& items) {
  for (int32_t item : items) {
    if (!std::binary_search(sortedSet.begin(), sortedSet.end(), item)) return false;
  }
  return true;
}

// Whether `clade` (inside the parent of `child`) lies inside `child`, by whichever check is
// cheaper: the parent's taxa missing from the child, or a search for each taxon of the clade.
bool childContains(const CladeIndex& index, size_t child, const std::vector<int32_t>& clade) {
  const std::vector<int32_t>& members = index.members[child];
  const size_t searchCost = clade.size() * static_cast<size_t>(std::bit_width(members.size()));
  if (index.keepsParentExtra[child] && index.parentExtra[child].size() <= searchCost) {
    for (int32_t taxon : index.parentExtra[child]) {
      if (index.inClade[static_cast<size_t>(taxon)]) return false;
    }
    return true;
  }
  return containsAll(members, clade);
}

void attach(CladeIndex& index, size_t clade, size_t parent) {
  index.parent[clade] = parent;
  index.children[parent].push_back(clade);
  const std::vector<int32_t>& inner = index.members[clade];
  const std::vector<int32_t>& outer = index.members[parent];
  if (outer.size() - inner.size() <= inner.size()) {
    std::set_difference(outer.begin(), outer.end(), inner.begin(), inner.end(),
                        std::back_inserter(index.parentExtra[clade]));
    index.keepsParentExtra[clade] = 1;
  }
}

// Returns the position of the first node that holds every taxon: the root.
size_t rootPosition(const Tree& tree) {
  const std::vector<Node*>& nodes = tree.nodes;
  for (size_t j = 0; j < nodes.size(); ++j) {
    if (nodes[j]->taxonCount == tree.taxonCount) return j;
  }
  fail(1, Stream::kStdout, "Error cannot find root.\n");
}

// Returns the dense indices of the ids of `taxa`.
DenseTaxa denseTaxa(const std::vector<Taxon>& taxa) {
  DenseTaxa dense;
  for (const Taxon& taxon : taxa) {
    dense.lowest = std::min<int64_t>(dense.lowest, taxon.id);
    dense.highest = std::max<int64_t>(dense.highest, taxon.id);
  }
  dense.compact = dense.highest - dense.lowest < 4 * static_cast<int64_t>(taxa.size()) + 64;
  for (const Taxon& taxon : taxa) {
    if (dense.compact) {
      dense.byOffset.resize(static_cast<size_t>(dense.highest - dense.lowest + 1), -1);
      int32_t& slot = dense.byOffset[static_cast<size_t>(taxon.id - dense.lowest)];
      if (slot < 0) slot = dense.count++;
    } else if (dense.byId.emplace(taxon.id, dense.count).second) {
      ++dense.count;
    }
  }
  return dense;
}

// Returns the dense index of taxon id `id`, or -1 when no taxon has it.
int32_t denseIndex(const DenseTaxa& dense, int32_t id) {
  if (dense.compact) {
    return id < dense.lowest || id > dense.highest
               ? -1
               : dense.byOffset[static_cast<size_t>(id - dense.lowest)];
  }
  const auto found = dense.byId.find(id);
  return found == dense.byId.end() ? -1 : found->second;
}

// Returns the index of the nodes, none of them attached yet; fails when a node
// lists a taxon id that no taxon has.
CladeIndex cladeIndex(const Tree& tree, const DenseTaxa& dense) {
  const std::vector<Node*>& nodes = tree.nodes;
  const size_t count = nodes.size();
  CladeIndex index;
  index.members.resize(count);
  for (size_t j = 0; j < count; ++j) {
    std::vector<int32_t>& set = index.members[j];
    set.reserve(nodes[j]->taxonIds.size());
    for (int32_t id : nodes[j]->taxonIds) {
      const int32_t taxon = denseIndex(dense, id);
      if (taxon < 0) {
        fail(1, Stream::kStdout, "Error in %s: node %d lists taxon id %d, which no taxon has\n",
             tree.path.c_str(), nodes[j]->id, id);
      }
      set.push_back(taxon);
    }
    if (!std::is_sorted(set.begin(), set.end())) std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
  }
  index.parentExtra.resize(count);
  index.keepsParentExtra.assign(count, 0);
  index.inClade.assign(static_cast<size_t>(dense.count), 0);
  index.children.resize(count);
  index.parent.assign(count, count);
  index.sizes.resize(count);
  index.tips.resize(count);
  for (size_t j = 0; j < count; ++j) {
    index.sizes[j] = nodes[j]->taxonCount;
    index.tips[j] = nodes[j]->isTip != 0;
  }
  return index;
}

// Returns the deepest node at or below `top` that contains `clade`, whose taxa index.inClade
// marks, taking the first child that does at each step.
size_t deepestContainer(const CladeIndex& index, size_t clade, size_t top) {
  const size_t none = index.parent.size();
  const std::vector<int32_t>& taxa = index.members[clade];
  size_t candidate = top;
  for (;;) {
    size_t next = none;
    for (size_t child : index.children[candidate]) {
      if (index.tips[child] || index.sizes[clade] > index.sizes[child]) continue;
      if (childContains(index, child, taxa)) {
        next = child;
        break;
      }
    }
    if (next == none) return candidate;
    candidate = next;
  }
}

// Attaches every clade that lies inside the root's below the deepest node containing it.
// Clades are offered largest first, in log order among equals; one outside the root's stays
// unattached.
void placeClades(CladeIndex& index, size_t rootAt) {
  const size_t count = index.parent.size();
  std::vector<unsigned char> inRoot(index.inClade.size(), 0);
  for (int32_t taxon : index.members[rootAt]) inRoot[static_cast<size_t>(taxon)] = 1;

  std::vector<size_t> pool;
  for (size_t j = 0; j < count; ++j) {
    if (j != rootAt) pool.push_back(j);
  }
  std::stable_sort(pool.begin(), pool.end(),
                   [&](size_t a, size_t b) { return index.sizes[a] > index.sizes[b]; });

  for (size_t clade : pool) {
    const std::vector<int32_t>& taxa = index.members[clade];
    if (index.tips[rootAt] || index.sizes[clade] > index.sizes[rootAt]) continue;
    bool inside = true;
    for (int32_t taxon : taxa) inside = inside && inRoot[static_cast<size_t>(taxon)];
    if (!inside) continue;

    for (int32_t taxon : taxa) index.inClade[static_cast<size_t>(taxon)] = 1;
    attach(index, clade, deepestContainer(index, clade, rootAt));
    for (int32_t taxon : taxa) index.inClade[static_cast<size_t>(taxon)] = 0;
  }
}

// Gives the nodes the parents and children that the index found for them.
void linkNodes(const CladeIndex& index, std::vector<Node*>& nodes) {
  const size_t count = nodes.size();
  try {
    for (size_t j = 0; j < count; ++j) {
      if (index.parent[j] != count) nodes[j]->parent = nodes[index.parent[j]];
      for (size_t child : index.children[j]) nodes[j]->children.push_back(nodes[child]);
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("genlib", 2);
  }
}

// Makes the node at `rootAt` the root: no parent, and a branch of length 0.
void cutRootBranch(Tree& tree, size_t rootAt) {
  Node* root = tree.nodes[rootAt];
  root->parent = nullptr;
  root->length = 0.0;
  tree.originalLengths[rootAt] = 0.0;
}

// Ends the process when a node other than the root has no parent: the root does not take it
// in, and its samples would be applied to nothing.
void requireEveryNodePlaced(const Tree& tree) {
  for (const Node* node : tree.nodes) {
    if (node != tree.root && node->parent == nullptr) {
      fail(1, Stream::kStdout,
           "Error in %s: node %d does not fit inside the root's clade, so it has no place in "
           "the tree\n",
           tree.path.c_str(), node->id);
    }
  }
}

// Puts tree.nodes in log order again, each position taking the first node with its id in
// pre-order, and indexes them by id.
void restoreLogOrder(Tree& tree) {
  std::vector<Node*>& nodes = tree.nodes;
  std::unordered_map<int32_t, Node*> firstInPreorder;
  std::vector<Node*> pending{tree.root};
  while (!pending.empty()) {
    Node* node = pending.back();
    pending.pop_back();
    firstInPreorder.emplace(node->id, node);
    for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
      pending.push_back(*child);
    }
  }
  for (size_t j = 0; j < nodes.size(); ++j) nodes[j] = firstInPreorder.at(tree.nodeIds[j]);
  for (Node* node : nodes) tree.nodeById.emplace(node->id, node);
}

}  // namespace

Node* findNodeInSubtree(Node* top, int32_t id) {
  // Explicit stack: trees of thousands of taxa can be as deep as they are wide.
  std::vector<Node*> pending{top};
  while (!pending.empty()) {
    Node* node = pending.back();
    pending.pop_back();
    if (node->id == id) return node;
    for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
      pending.push_back(*child);
    }
  }
  return nullptr;
}

void buildCladeTree(Tree& tree) {
  const size_t rootAt = rootPosition(tree);
  tree.root = tree.nodes[rootAt];
  // Every taxon id a node lists must be a taxon's; ids become dense indices on the way.
  CladeIndex index = cladeIndex(tree, denseTaxa(tree.taxa));
  placeClades(index, rootAt);
  linkNodes(index, tree.nodes);
  cutRootBranch(tree, rootAt);
  requireEveryNodePlaced(tree);
  restoreLogOrder(tree);
}

}  // namespace scalesum
