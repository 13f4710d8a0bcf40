#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "KernelDensity.h"
#include "genlib.h"
#include "options.h"

namespace scalesum {

// One taxon of the taxa table.
struct Taxon {
  std::string name;
  int32_t id = 0;
};

// One node of the node table: a clade, given by the taxa below it, with the branch above it.
struct Node {
  double length = 0.0;                // current branch length
  std::vector<double> lengthHistory;  // length in each retained sample
  int32_t id = 0;
  int isTip = 0;
  int32_t taxonCount = 0;
  std::vector<int32_t> taxonIds;
  Node* parent = nullptr;
  std::vector<Node*> children;  // in the order they were attached
  DensitySummary scalarDensity;
  DensitySummary sigVDensity;
  DensitySummary deltaBDensity;
  DensitySummary deltaVDensity;
  double scalarMode = 0.0;
  double sigVMode = 0.0;
  double deltaBMode = 0.0;
  double deltaVMode = 0.0;
};

// Per-node counters of the sample passes, indexed by position in Analysis::nodes.
struct BranchTally {
  std::vector<double> originalLengths;
  std::vector<int32_t> changedCounts;
  int32_t samplesSeen = 0;
};

// Everything one run works on.
struct Analysis {
  int32_t taxonCount = 0;
  std::vector<Taxon> taxa;
  std::vector<std::unique_ptr<Node>> nodeStore;  // owns the nodes, in log order
  std::vector<Node*> nodes;                      // log order; see buildCladeTree
  int32_t nodeCount = 0;
  std::string logPath;
  LineReader logFile;
  int64_t headerLineCount = 0;  // lines before the first sample line
  int64_t logSize = 0;          // size and modification time when the header was read
  int64_t logModified = 0;
  Node* root = nullptr;
  std::vector<int32_t> nodeIds;
  BranchTally tally;
  Options options;
  std::vector<double> sampleSigma;
  int32_t sampleCount = 0;
  // The first node in `nodes` with each id; filled once the tree is built.
  std::unordered_map<int32_t, Node*> nodeById;
};

// Returns the first node of `analysis.nodes` with `id`, or null.
inline Node* findNodeById(const Analysis& analysis, int32_t id) {
  const auto found = analysis.nodeById.find(id);
  return found == analysis.nodeById.end() ? nullptr : found->second;
}

}  // namespace scalesum
