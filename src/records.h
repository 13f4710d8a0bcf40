#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "KernelDensity.h"
#include "convergence.h"
#include "failure.h"
#include "logfile.h"
#include "options.h"

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

// The four per-node series, in report order.
enum class Series { kScalar, kSigV, kDeltaB, kDeltaV };
inline constexpr int kSeriesCount = 4;

// What a run computes for one series of one node: its summary (without the sorted copy) and
// the mode of its density.
struct SeriesResult {
  DensitySummary summary;
  double mode = 0.0;
  // Filled only when Analysis::wantStatistics is set.
  double hpdLower = 0.0;
  double hpdUpper = 0.0;
  double ess = 0.0;
  double min = 0.0;
  double max = 0.0;
  bool allFinite = true;
  // Whether the chains agree on the series: per chain, the first samples up to the shortest
  // chain's count (not-a-number where a figure does not exist).
  Convergence convergence{std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::quiet_NaN()};
  // Of the Scalar series only: how many values are above 1 and how many below (a
  // not-a-number value is neither).
  int32_t aboveOne = 0;
  int32_t belowOne = 0;
};

// What a run computes for one node: its length in each retained sample, how many samples
// changed it, and the summaries of its four series, indexed by Series.
struct NodeResult {
  std::vector<double> lengthHistory;
  int32_t changedCount = 0;
  SeriesResult series[kSeriesCount];
};

// The logged lengths and the samples applied so far, for the sample passes.
struct BranchTally {
  std::vector<double> originalLengths;  // indexed by position in Analysis::nodes
  int32_t samplesSeen = 0;
};

// Everything one run works on.
struct Analysis {
  int32_t taxonCount = 0;
  std::vector<Taxon> taxa;
  std::vector<std::unique_ptr<Node>> nodeStore;  // owns the nodes, in log order
  std::vector<Node*> nodes;                      // log order; see buildCladeTree
  int32_t nodeCount = 0;
  LogFile log;
  Node* root = nullptr;
  std::vector<int32_t> nodeIds;
  BranchTally tally;
  Options options;
  std::vector<double> sampleSigma;
  int32_t sampleCount = 0;
  // The retained samples of each chain, in chain order; they add up to sampleCount.
  std::vector<int32_t> chainSampleCounts;
  std::vector<NodeResult> results;  // indexed by position in `nodes`
  bool wantStatistics = false;      // also compute intervals, sample sizes and ranges
  double hpdMass = 0.95;            // the probability mass of the intervals
  // The first node in `nodes` with each id; filled once the tree is built.
  std::unordered_map<int32_t, Node*> nodeById;
};

// Returns the first node of `analysis.nodes` with `id`, or null.
inline Node* findNodeById(const Analysis& analysis, int32_t id) {
  const auto found = analysis.nodeById.find(id);
  return found == analysis.nodeById.end() ? nullptr : found->second;
}

}  // namespace scalesum
