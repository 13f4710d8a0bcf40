#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace scalesum {

// How many lags addLagProducts() sums in one pass.
inline constexpr size_t kLagsPerPass = 8;

// Where the pair of autocovariances that ends the first direct lags is below kFallenPairShare of
// the lag-0 autocovariance, a series most often ends its sum of pairs within a few dozen lags
// more: direct sums go on up to lag kFallenDirectLags, which they reach sooner than a transform
// would. A series that still correlates strongly reads hundreds of lags and takes the transform.
inline constexpr double kFallenPairShare = 0.5;
inline constexpr size_t kFallenDirectLags = 64;

// Adds to sums[m], for each m below kLagsPerPass, the sum of the products x[i] x[i + lag] of
// the n values x at lag first + m; a lag at or beyond n adds nothing. Summed directly, which for
// a few lags is cheaper than a transform.
void addLagProducts(const double* x, size_t n, size_t first, double* sums);

// The roots of unity that transforms of up to some number of points take; one table serves
// every thread.
struct RootTable;

// Working memory that sumLagProducts() reuses from call to call.
struct LagScratch {
  std::vector<double> re, im;  // two sequences as one complex sequence, then its transform
  std::vector<double> power;   // the sequences' power spectra, summed
  std::shared_ptr<const RootTable> roots;  // at least as many as the last transform took
  std::vector<double> twistRe, twistIm;    // for a halved transform, W^k at k's bit-reversed place
};

// How sumLagProducts() forms its sums. Both ways are within a few units of rounding of the sum
// at lag 0, but their last bits differ.
enum class LagTransform {
  kWhole,   // a complex inverse of every point, as the bulk effective sample sizes always had
  kHalved,  // real sequences and spectra as complex ones of half the points: about half the work
};

// Returns how many points the transforms of sumLagProducts() take for `lags` lags of n values:
// the smallest power of two of at least n + lags - 1.
size_t lagTransformSize(size_t n, size_t lags);

// Sets sums[t], for every lag t below `lags` (1 <= lags <= n), to the sum over the `count`
// sequences of n values stored one after the other at x of their sums over i < n - t of
// x[i] x[i + t]. They come from Fourier transforms, so every lag costs the same, and a sum is
// off by a few units of rounding of the sum at lag 0, not of its own size. Fewer lags take
// smaller transforms, whose sums round differently.
void sumLagProducts(const double* x, size_t n, size_t count, size_t lags, double* sums,
                    LagScratch& scratch, LagTransform how);

}  // namespace scalesum
