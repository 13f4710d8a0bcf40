#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "KernelDensity.h"
#include "convergence.h"

namespace scalesum {

// The four per-node series, in report order.
enum class Series { kScalar, kSigV, kDeltaB, kDeltaV };
inline constexpr int kSeriesCount = 4;

// What a run computes for one series of one node: its summary (without the sorted copy) and
// the mode of its density.
struct SeriesResult {
  DensitySummary summary;
  double mode = 0.0;
  // Filled only when the run asks for statistics.
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
  MonteCarloErrors errors;  // over the same draws as `convergence`
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

// How many samples changed one node, and in how many its Scalar was above 1 and below 1.
struct ShiftCounts {
  int64_t changed = 0;
  int64_t above = 0;
  int64_t below = 0;
};

// The prior's log2 Scalar of a node is counted in kLog2ScalarBins bins of kLog2ScalarStep from
// -kLog2ScalarReach on, values beyond falling in the end bins: fine enough that the page's
// histograms over [-r, r] for whole r up to the reach are unions of them.
inline constexpr double kLog2ScalarReach = 16.0;
inline constexpr double kLog2ScalarStep = 0.05;
inline constexpr size_t kLog2ScalarBins = 640;

// What a run computes over its retained samples: each node's result, indexed by position in
// the tree's nodes, and what the summaries need to know of the samples behind them.
struct Results {
  std::vector<NodeResult> nodes;
  int32_t sampleCount = 0;
  // The retained samples of each chain, in chain order; they add up to sampleCount.
  std::vector<int32_t> chainSampleCounts;
  std::vector<double> sampleSigma;  // the sigma of each retained sample
  int32_t samplesSeen = 0;          // the samples applied so far
  bool wantStatistics = false;      // also compute intervals, sample sizes and ranges
  double hpdMass = 0.95;            // the probability mass of the intervals
  // The prior logs' retained samples, counted per node position as the run's own are; empty
  // when the run was given none.
  std::vector<ShiftCounts> prior;
  // With a page to draw: kLog2ScalarBins counts of the prior's log2 Scalar per node position.
  std::vector<uint32_t> priorLog2Scalar;
  int64_t priorSampleCount = 0;
};

}  // namespace scalesum
