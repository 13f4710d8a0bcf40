#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "autocovariance.h"

namespace scalesum {

// Returns the narrowest interval [s[i], s[i+d-1]] holding d = max(1, floor(mass * n + 0.5)) of
// the n >= 1 ascending values s, the first on ties.
std::pair<double, double> highestDensityInterval(const double* sorted, size_t n, double mass);

// An effective sample size and how far its sum of autocorrelations read.
struct SampleSize {
  double ess = 0.0;
  size_t lags = 0;  // the last lag of the last pair summed; 0 when the first pair ended the sum
};

// Working memory that the sample sizes reuse from series to series; no two threads share one.
struct SampleSizeScratch {
  std::vector<double> centred;  // the series less its mean
  double lag0Sum = 0.0;         // its sum of squares
  std::vector<double> sums;     // every lag's sum of products, from the transforms
  size_t summed = 0;            // how many lags `sums` holds for this series; 0 if none
  int log2Size = 0;             // of the transforms that gave them
  LagScratch lags;              // the transforms' own
};

// Returns the effective sample size of the n values in sample order, summing autocorrelations
// in pairs of lags until a pair is no longer positive (at most 2000 lags). It stops at the
// lag directSampleSize() stops at, and its value differs from that one's by at most 1e-12
// relative.
SampleSize effectiveSampleSize(const double* values, size_t n, SampleSizeScratch& scratch);

// Returns the effective sample size of the n values as effectiveSampleSize() does, stopping at
// the same lag and within the same 1e-12; where `of` (not `scratch`) holds what
// effectiveSampleSize() left of n values x of which these are close to `scale` times, as the
// values scale * x_i each rounded once are, the lag sums it took from transforms serve, scaled,
// in place of transforms of its own. How close the values are sets how many pairs near zero
// are summed again directly.
SampleSize scaledSampleSize(const double* values, size_t n, double scale,
                            const SampleSizeScratch* of, SampleSizeScratch& scratch);

// Returns the same sample size with every autocovariance summed directly, the reference the
// faster effectiveSampleSize() is checked against; its cost grows as n times the lags read.
SampleSize directSampleSize(const double* values, size_t n, SampleSizeScratch& scratch);

}  // namespace scalesum
