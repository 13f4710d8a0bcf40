#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "genlib.h"
#include "results.h"
#include "tree.h"

namespace scalesum {

// The samples applied so far, for the sample passes.
struct BranchTally {
  int32_t samplesSeen = 0;
};

// Everything one run works on.
struct Analysis {
  Tree tree;
  BranchTally tally;
  std::vector<double> sampleSigma;
  int32_t sampleCount = 0;
  // The retained samples of each chain, in chain order; they add up to sampleCount.
  std::vector<int32_t> chainSampleCounts;
  std::vector<NodeResult> results;  // indexed by position in tree.nodes
  bool wantStatistics = false;      // also compute intervals, sample sizes and ranges
  double hpdMass = 0.95;            // the probability mass of the intervals
};

}  // namespace scalesum
