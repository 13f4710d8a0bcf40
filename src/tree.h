#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace scalesum {

// One taxon of the taxa table.
struct Taxon {
  std::string name;
  int32_t id = 0;
};

// One node of the node table: a clade, given by the taxa below it, with the branch above it.
struct Node {
  double length = 0.0;  // current branch length
  int32_t id = 0;
  int isTip = 0;
  int32_t taxonCount = 0;
  std::vector<int32_t> taxonIds;
  Node* parent = nullptr;
  std::vector<Node*> children;  // in the order they were attached
};

// The taxa and nodes of one log's tables and, once built, the clade tree over them.
struct Tree {
  std::string path;  // the log the tables were read from, named in messages
  int32_t taxonCount = 0;
  std::vector<Taxon> taxa;
  std::vector<std::unique_ptr<Node>> nodeStore;  // owns the nodes, in log order
  std::vector<Node*> nodes;                      // log order; see buildCladeTree
  int32_t nodeCount = 0;
  std::vector<double> originalLengths;  // the logged lengths, indexed by position in `nodes`
  Node* root = nullptr;
  std::vector<int32_t> nodeIds;
  // The first node in `nodes` with each id; filled once the tree is built.
  std::unordered_map<int32_t, Node*> nodeById;
};

// Returns the first node of `tree.nodes` with `id`, or null.
inline Node* findNodeById(const Tree& tree, int32_t id) {
  const auto found = tree.nodeById.find(id);
  return found == tree.nodeById.end() ? nullptr : found->second;
}

// Arranges the nodes into a tree by clade containment, sets the root (branch length 0) and
// puts tree.nodes back into log order; fails when there is no root, or when a
// node cannot be placed in the tree or names a taxon that the taxa table lacks.
void buildCladeTree(Tree& tree);

// Returns the first node with `id` in pre-order below and including `top`, or null.
Node* findNodeInSubtree(Node* top, int32_t id);

}  // namespace scalesum
