#include "tree.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <unordered_map>

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
  std::vector<size_t> parent;  // the node count stands for none
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

void buildCladeTree(Analysis& analysis) {
  std::vector<Node*>& nodes = analysis.nodes;
  const size_t count = nodes.size();
  size_t rootAt = count;
  for (size_t j = 0; j < count; ++j) {
    if (nodes[j]->taxonCount == analysis.taxonCount) {
      rootAt = j;
      break;
    }
  }
  if (rootAt == count) fail(1, Stream::kStdout, "Error cannot find root.\n");
  Node* root = nodes[rootAt];
  analysis.root = root;

  // Every taxon id a node lists must be a taxon's; ids become dense indices on the way.
  // Ids usually fill a small range, where an array does the look-up.
  int64_t lowest = INT32_MAX;
  int64_t highest = INT32_MIN;
  for (const Taxon& taxon : analysis.taxa) {
    lowest = std::min<int64_t>(lowest, taxon.id);
    highest = std::max<int64_t>(highest, taxon.id);
  }
  const bool compact = highest - lowest < 4 * static_cast<int64_t>(analysis.taxa.size()) + 64;
  std::vector<int32_t> denseByOffset;
  std::unordered_map<int32_t, int32_t> denseById;
  int32_t distinctTaxa = 0;
  for (const Taxon& taxon : analysis.taxa) {
    if (compact) {
      denseByOffset.resize(static_cast<size_t>(highest - lowest + 1), -1);
      int32_t& slot = denseByOffset[static_cast<size_t>(taxon.id - lowest)];
      if (slot < 0) slot = distinctTaxa++;
    } else if (denseById.emplace(taxon.id, distinctTaxa).second) {
      ++distinctTaxa;
    }
  }
  auto denseOf = [&](int32_t id) -> int32_t {
    if (compact) {
      return id < lowest || id > highest ? -1 : denseByOffset[static_cast<size_t>(id - lowest)];
    }
    const auto found = denseById.find(id);
    return found == denseById.end() ? -1 : found->second;
  };

  CladeIndex index;
  index.members.resize(count);
  for (size_t j = 0; j < count; ++j) {
    std::vector<int32_t>& set = index.members[j];
    set.reserve(nodes[j]->taxonIds.size());
    for (int32_t id : nodes[j]->taxonIds) {
      const int32_t taxon = denseOf(id);
      if (taxon < 0) {
        fail(1, Stream::kStdout, "Error in %s: node %d lists taxon id %d, which no taxon has\n",
             analysis.log.path.c_str(), nodes[j]->id, id);
      }
      set.push_back(taxon);
    }
    if (!std::is_sorted(set.begin(), set.end())) std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
  }
  index.parentExtra.resize(count);
  index.keepsParentExtra.assign(count, 0);
  index.inClade.assign(static_cast<size_t>(distinctTaxa), 0);
  index.children.resize(count);
  index.parent.assign(count, count);
  std::vector<int32_t> sizes(count);
  std::vector<unsigned char> tips(count);
  for (size_t j = 0; j < count; ++j) {
    sizes[j] = nodes[j]->taxonCount;
    tips[j] = nodes[j]->isTip != 0;
  }
  std::vector<unsigned char> inRoot(static_cast<size_t>(distinctTaxa), 0);
  for (int32_t taxon : index.members[rootAt]) inRoot[static_cast<size_t>(taxon)] = 1;

  // Clades are offered largest first, in log order among equals.
  std::vector<size_t> pool;
  for (size_t j = 0; j < count; ++j) {
    if (j != rootAt) pool.push_back(j);
  }
  std::stable_sort(pool.begin(), pool.end(),
                   [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });

  for (size_t clade : pool) {
    const std::vector<int32_t>& taxa = index.members[clade];
    if (tips[rootAt] || sizes[clade] > sizes[rootAt]) continue;
    bool inside = true;
    for (int32_t taxon : taxa) inside = inside && inRoot[static_cast<size_t>(taxon)];
    if (!inside) continue;

    for (int32_t taxon : taxa) index.inClade[static_cast<size_t>(taxon)] = 1;
    size_t candidate = rootAt;
    for (;;) {
      size_t next = count;
      for (size_t child : index.children[candidate]) {
        if (tips[child] || sizes[clade] > sizes[child]) continue;
        if (childContains(index, child, taxa)) {
          next = child;
          break;
        }
      }
      if (next == count) break;
      candidate = next;
    }
    attach(index, clade, candidate);
    for (int32_t taxon : taxa) index.inClade[static_cast<size_t>(taxon)] = 0;
  }

  try {
    for (size_t j = 0; j < count; ++j) {
      if (index.parent[j] != count) nodes[j]->parent = nodes[index.parent[j]];
      for (size_t child : index.children[j]) nodes[j]->children.push_back(nodes[child]);
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("genlib", 2);
  }

  root->parent = nullptr;
  root->length = 0.0;
  analysis.tally.originalLengths[rootAt] = 0.0;

  // A node the root does not take in would have its samples applied to nothing.
  for (const Node* node : nodes) {
    if (node != root && node->parent == nullptr) {
      fail(1, Stream::kStdout,
           "Error in %s: node %d does not fit inside the root's clade, so it has no place in "
           "the tree\n",
           analysis.log.path.c_str(), node->id);
    }
  }

  // Log order again, each position taking the first node with its id in pre-order.
  std::unordered_map<int32_t, Node*> firstInPreorder;
  std::vector<Node*> pending{root};
  while (!pending.empty()) {
    Node* node = pending.back();
    pending.pop_back();
    firstInPreorder.emplace(node->id, node);
    for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
      pending.push_back(*child);
    }
  }
  for (size_t j = 0; j < count; ++j) nodes[j] = firstInPreorder.at(analysis.nodeIds[j]);
  for (Node* node : nodes) analysis.nodeById.emplace(node->id, node);
}

}  // namespace scalesum
