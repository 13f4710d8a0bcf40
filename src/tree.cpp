#include "tree.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace scalesum {

namespace {

// Clade containment without quadratic scans. Taxon ids are mapped to dense indices and every
// node keeps its distinct taxa sorted. A clade is only ever attached below a node that contains
// it, so when a clade C is known to lie inside node X, C lies inside X's child Y exactly when C
// shares no taxon with X \ Y. That difference is small on deep trees (a caterpillar's is one
// taxon), and whenever it is not, Y itself is small: the check takes the cheaper of the two.
struct CladeIndex {
  std::vector<std::vector<int32_t>> members;      // per node: sorted distinct dense taxa
  std::vector<std::vector<int32_t>> parentExtra;  // per node: parent's taxa not in it, if kept
  std::vector<bool> keepsParentExtra;
  std::vector<unsigned char> inClade;                // dense taxa of the clade being placed
  std::unordered_map<const Node*, size_t> position;  // node -> index in the store
};

bool containsAll(const std::vector<int32_t>& sortedSet, const std::vector<int32_t>& items) {
  for (int32_t item : items) {
    if (!std::binary_search(sortedSet.begin(), sortedSet.end(), item)) return false;
  }
  return true;
}

// Whether `clade` (inside `parent`) lies inside `child`, a child of `parent`.
bool childContains(const CladeIndex& index, size_t child, const std::vector<int32_t>& clade) {
  if (index.keepsParentExtra[child]) {
    for (int32_t taxon : index.parentExtra[child]) {
      if (index.inClade[static_cast<size_t>(taxon)]) return false;
    }
    return true;
  }
  return containsAll(index.members[child], clade);
}

void attach(CladeIndex& index, Node* clade, size_t cladeAt, Node* parent, size_t parentAt) {
  clade->parent = parent;
  try {
    parent->children.push_back(clade);
  } catch (const std::bad_alloc&) {
    reportAllocationError("genlib", 2);
  }
  const std::vector<int32_t>& inner = index.members[cladeAt];
  const std::vector<int32_t>& outer = index.members[parentAt];
  if (outer.size() - inner.size() <= inner.size()) {
    std::set_difference(outer.begin(), outer.end(), inner.begin(), inner.end(),
                        std::back_inserter(index.parentExtra[cladeAt]));
    index.keepsParentExtra[cladeAt] = true;
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

  CladeIndex index;
  std::unordered_map<int32_t, int32_t> dense;
  index.members.resize(count);
  for (size_t j = 0; j < count; ++j) {
    std::vector<int32_t>& set = index.members[j];
    for (int32_t id : nodes[j]->taxonIds) {
      set.push_back(dense.emplace(id, static_cast<int32_t>(dense.size())).first->second);
    }
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
    index.position.emplace(nodes[j], j);
  }
  index.parentExtra.resize(count);
  index.keepsParentExtra.assign(count, false);
  index.inClade.assign(dense.size(), 0);
  std::vector<unsigned char> inRoot(dense.size(), 0);
  for (int32_t taxon : index.members[rootAt]) inRoot[static_cast<size_t>(taxon)] = 1;

  // Clades are offered largest first, in log order among equals.
  std::vector<size_t> pool;
  for (size_t j = 0; j < count; ++j) {
    if (j != rootAt) pool.push_back(j);
  }
  std::stable_sort(pool.begin(), pool.end(),
                   [&](size_t a, size_t b) { return nodes[a]->taxonCount > nodes[b]->taxonCount; });

  for (size_t cladeAt : pool) {
    Node* clade = nodes[cladeAt];
    const std::vector<int32_t>& taxa = index.members[cladeAt];
    if (root->isTip || clade->taxonCount > root->taxonCount) continue;
    bool inside = true;
    for (int32_t taxon : taxa) inside = inside && inRoot[static_cast<size_t>(taxon)];
    if (!inside) continue;

    for (int32_t taxon : taxa) index.inClade[static_cast<size_t>(taxon)] = 1;
    Node* candidate = root;
    size_t candidateAt = rootAt;
    for (;;) {
      Node* next = nullptr;
      for (Node* child : candidate->children) {
        if (child->isTip || clade->taxonCount > child->taxonCount) continue;
        if (childContains(index, index.position[child], taxa)) {
          next = child;
          break;
        }
      }
      if (next == nullptr) break;
      candidate = next;
      candidateAt = index.position[next];
    }
    attach(index, clade, cladeAt, candidate, candidateAt);
    for (int32_t taxon : taxa) index.inClade[static_cast<size_t>(taxon)] = 0;
  }

  root->parent = nullptr;
  root->length = 0.0;
  analysis.tally.originalLengths[rootAt] = 0.0;

  // Every node must name known taxa and hang in the tree; otherwise its samples would be
  // applied to nothing, or its taxa list could not be written.
  std::unordered_set<int32_t> knownTaxa;
  for (const Taxon& taxon : analysis.taxa) knownTaxa.insert(taxon.id);
  for (const Node* node : nodes) {
    for (int32_t id : node->taxonIds) {
      if (knownTaxa.count(id) == 0) {
        fail(1, Stream::kStdout, "Error in %s: node %d lists taxon id %d, which no taxon has\n",
             analysis.logPath.c_str(), node->id, id);
      }
    }
  }
  for (const Node* node : nodes) {
    if (node != root && node->parent == nullptr) {
      fail(1, Stream::kStdout,
           "Error in %s: node %d does not fit inside the root's clade, so it has no place in "
           "the tree\n",
           analysis.logPath.c_str(), node->id);
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
