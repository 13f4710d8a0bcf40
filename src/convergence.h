#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "autocovariance.h"

namespace scalesum {

// Whether several chains agree, and how many independent draws they are worth; not-a-number
// where a diagnostic does not exist.
struct Convergence {
  double rhat = 0.0;     // rank-normalised split-R-hat, the larger of bulk and folded
  double essBulk = 0.0;  // effective sample size of the rank-normalised draws
  double essTail = 0.0;  // the smaller effective sample size of the 5% and 95% quantiles
};

// The Monte Carlo standard errors of the estimates of a series' mean, standard deviation and
// median; not-a-number where one does not exist.
struct MonteCarloErrors {
  double mean = std::numeric_limits<double>::quiet_NaN();
  double sd = std::numeric_limits<double>::quiet_NaN();
  double median = std::numeric_limits<double>::quiet_NaN();
};

// One draw with where it sits among the split halves (kDropped: in none).
struct RankedDraw {
  double value;
  uint32_t slot;
};

// Working memory that convergence() reuses from call to call, so that summarising many series
// allocates only while the largest one grows it.
struct ConvergenceScratch {
  std::vector<RankedDraw> sorted;     // every draw, ascending (-0 before +0)
  bool sortedAll = false;             // whether the last call left every draw in `sorted`
  size_t chains = 0, length = 0;      // what the last call diagnosed: its chains and their length
  Convergence figures;                // and what it found
  double bulkRhat = 0.0;              // of which the R-hat of the draws unfolded
  std::vector<RankedDraw> ascending;  // the split draws, ascending
  std::vector<RankedDraw> spare;      // room for sorting
  std::vector<RankedDraw> folded;     // the split draws by distance from the median, ascending
  std::vector<double> split;          // the matrix being diagnosed, half-chain after half-chain
  std::vector<double> means;          // its half-chain means
  std::vector<double> lagMeans;       // the mean autocovariance over half-chains, lag after lag
  std::vector<double> lagSums;        // the half-chains' lag products, summed
  LagScratch lags;                    // the transforms that sum them
  std::vector<double> rho;            // the autocorrelation sequence being truncated
  std::vector<uint64_t> bits;         // an indicator of the split draws, a bit per draw
  std::vector<size_t> ones;           // counts of its set bits per half-chain
  std::vector<uint64_t> weights;      // for each draw, the counts of the half-chains marking it
  std::vector<uint32_t> runs;         // the runs of set bits of one half-chain, start and end
  std::vector<int64_t> ramps;         // pairs of runs as ramps, by where each ends
  std::vector<uint64_t> pairs;        // pairs of set bits by their distance apart
  std::vector<double> normalScores;   // z of each half rank for `scoredDraws` draws; NaN: not yet
  size_t scoredDraws = 0;
};

// Returns the standard normal quantile of p in (0, 1), by Wichura's algorithm AS 241.
double normalQuantile(double p);

// Sets scores[i] to the normal score of values[i]: the standard normal quantile at
// (r - 3/8) / (count + 1/4), where r is its rank among all values, tied values sharing their
// mean rank.
void rankNormalScores(std::span<const double> values, std::vector<double>& scores,
                      ConvergenceScratch& scratch);

// Returns the diagnostics of chains.size() chains of `length` draws each; a non-finite draw,
// too few draws, or draws that leave a diagnostic undefined make it not-a-number.
Convergence convergence(std::span<const double* const> chains, size_t length,
                        ConvergenceScratch& scratch);

// Returns the Monte Carlo standard errors of chains.size() chains of `length` draws each, as the
// published method gives them for the draws as a matrix of one column per chain: each from the
// effective sample size of its own estimate over the split chains. It leaves in `scratch` no
// diagnosis that scaledConvergence() could read, so it takes a scratch of its own. `diagnosed`,
// when given, holds the last convergence() of these very chains (it may be `scratch`), whose
// sorted draws then serve instead of a sort of their own.
MonteCarloErrors monteCarloErrors(std::span<const double* const> chains, size_t length,
                                  ConvergenceScratch& scratch,
                                  const ConvergenceScratch* diagnosed = nullptr);

// Returns the diagnostics of the draws scale * x, where x are the draws of the last
// convergence() call that `last` saw (`work` may be the same scratch), when scaling keeps what the
// costly diagnostics read: every draw finite, which draws are equal, and how many fall at or below
// each tail's quantile. Then the bulk and tail figures are x's very own, and only the folded R-hat
// is computed anew; `ascending` is set to the scaled draws in ascending order. Otherwise it returns
// nothing, and the draws must be diagnosed afresh.
std::optional<Convergence> scaledConvergence(const ConvergenceScratch& last, double scale,
                                             ConvergenceScratch& work,
                                             std::vector<double>& ascending);

// Returns the Monte Carlo errors of the draws scale * x from `errors`, those of x, where
// scaledConvergence() found that scaling keeps every draw finite and which draws are equal: the
// median then falls between the same draws, and every error scales with the draws, so they
// differ from errors computed afresh only by a few roundings.
MonteCarloErrors scaledErrors(const MonteCarloErrors& errors, double scale);

// The figures a run must reach to count as converged; the warnings and the verdict read the
// same ones.
struct Thresholds {
  double rhatMax = 1.01;      // an R-hat at or above this breaks
  double essMin = 100;        // bulk and tail ESS below this per chain break (several chains)
  double tracerEssMin = 200;  // the statistics file's `ess` below this breaks
};

}  // namespace scalesum
