#include "seriesmath.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

namespace scalesum {

namespace {

// The autocorrelation sums stop at this lag even for a chain that never decorrelates.
constexpr size_t kMaxLag = 2000;

// How many lags one pass over a series sums at once: an even number, so that blocks hold whole
// pairs. Each lag's sum waits on its last addition, so a pass takes about as long for 16 lags
// as for 4, as long as the vector units keep up.
constexpr size_t kLagBlock = 16;

// Adds to sums[m], for each m below kLagBlock, x[j] x[j + first + m] for every j below
// `shared`, in ascending j: each lag is one lane of a vector, so that every machine adds the
// same products in the same order as a pass per lag would. (addLagProducts() sums even and odd
// j apart, which the bulk sample sizes keep but which rounds otherwise than these sums, the
// ones that directSampleSize() defines.)
__attribute__((target_clones("avx2", "default"))) void addBlockProducts(const double* x,
                                                                        size_t shared, size_t first,
                                                                        double* sums) {
  using Lanes = double __attribute__((vector_size(32)));
  static_assert(kLagBlock == 16);
  Lanes a, b, c, d;
  std::memcpy(&a, sums, sizeof a);
  std::memcpy(&b, sums + 4, sizeof b);
  std::memcpy(&c, sums + 8, sizeof c);
  std::memcpy(&d, sums + 12, sizeof d);
  Lanes ahead;
  for (size_t j = 0; j < shared; ++j) {
    const double xj = x[j];
    const double* y = x + j + first;
    std::memcpy(&ahead, y, sizeof ahead);
    a += xj * ahead;
    std::memcpy(&ahead, y + 4, sizeof ahead);
    b += xj * ahead;
    std::memcpy(&ahead, y + 8, sizeof ahead);
    c += xj * ahead;
    std::memcpy(&ahead, y + 12, sizeof ahead);
    d += xj * ahead;
  }
  std::memcpy(sums, &a, sizeof a);
  std::memcpy(sums + 4, &b, sizeof b);
  std::memcpy(sums + 8, &c, sizeof c);
  std::memcpy(sums + 12, &d, sizeof d);
}

// Stores in gamma[m] the autocovariance of the n centred values x at lag first + m, for m below
// Count (first + Count - 1 < n). The lags share one pass over x, but each sum still adds its
// terms in ascending j, exactly as a pass per lag would.
template <size_t Count>
void autocovariances(const double* x, size_t n, size_t first, double* gamma) {
  double sums[Count] = {};
  const size_t shared = n - (first + Count - 1);  // every lag has a term for j below this
  if constexpr (Count == kLagBlock) {
    addBlockProducts(x, shared, first, sums);
  } else {
    for (size_t j = 0; j < shared; ++j) {
      const double xj = x[j];
      for (size_t m = 0; m < Count; ++m) sums[m] += xj * x[j + first + m];
    }
  }
  for (size_t m = 0; m < Count; ++m) {
    const size_t k = first + m;
    for (size_t j = shared; j + k < n; ++j) sums[m] += x[j] * x[j + k];
    gamma[m] = sums[m] / static_cast<double>(n - k);
  }
}

// Lags up to this one are always summed directly: a series that mixes well stops before it and
// never pays for a transform. One whole block.
constexpr size_t kDirectLags = kLagBlock;

// The sum of autocovariance pairs so far.
struct PairSum {
  double variance;  // the lag-0 autocovariance plus twice every pair summed
  size_t lags;      // the last lag summed
  bool ended;       // a pair that is not positive ended the sum
  double last;      // the last pair summed
};

// Adds the pair (k - 1, k) of autocovariances gamma1 and gamma2 to the sum, or ends it.
inline void addPair(double gamma1, double gamma2, size_t k, PairSum& sum) {
  const double pair = gamma1 + gamma2;
  if (!(pair > 0.0)) {
    sum.ended = true;
    return;
  }
  sum.variance += 2.0 * pair;
  sum.lags = k;
  sum.last = pair;
}

// Adds the pairs (k - 1, k) for even k below `end`, from the first lag after sum.lags on, each
// lag summed directly from the n centred values x, a block of lags at a time.
void addDirectPairs(const double* x, size_t n, size_t end, PairSum& sum) {
  double gamma[kLagBlock];
  for (size_t first = sum.lags + 1; first + 1 < end && !sum.ended; first += kLagBlock) {
    const size_t count = std::min(kLagBlock, end - first);
    if (count == kLagBlock) {
      autocovariances<kLagBlock>(x, n, first, gamma);
    } else {
      for (size_t m = 0; m < count; ++m) autocovariances<1>(x, n, first + m, gamma + m);
    }
    for (size_t m = 0; m + 1 < count && !sum.ended; m += 2) {
      addPair(gamma[m], gamma[m + 1], first + m + 1, sum);
    }
  }
}

// Returns a bound on |p_t - p_d| for any even k, over (n - k) * u * S0, where p_t is the pair
// (k - 1, k) of autocovariances divided from lag sums that sumLagProducts() gave, p_d the same
// pair from the direct sums, u = 2^-53, S0 the direct lag-0 sum, the transform 2^L points.
//
// Let r_t be the exact sum of x_i x_(i+t) of the centred values (which both ways share), so
// r_0 <= S0 / (1 - n u) <= 1.01 S0 for n u <= 0.005.
// - Direct: a sum of n - t products added in order is within (n u / (1 - n u)) sum |x_i x_(i+t)|
//   of r_t, and by Cauchy-Schwarz sum |x_i x_(i+t)| <= r_0: within 1.01 n u r_0.
// - Transform (halved: the values two at a time as N / 2 = M complex points): every butterfly
//   computes its outputs as (A + dA) v with |dA| <= eta |A| entry by entry, complex factors of
//   modulus 1 + eta at most: one rounding of a sum (u), a complex product (sqrt(2) * 2u /
//   (1 - 2u), Higham's Lemma 3.5) and a root off by mu <= 16 u (rounded once from a long
//   double angle; on x86-64 mu is about u): eta <= 24 u. With rho = (1 + eta)^L - 1 <=
//   24.01 L u:
//   * the forward transform Z of the M points is off by at most rho ||Z||_2 in 2-norm, since
//     each stage multiplies the 2-norm by sqrt(2) and adds eta times that; ||Z||^2 = M r_0;
//   * unfolding it, S = Z_k + conj Z_-k and T = W^k (-i) (Z_k - conj Z_-k) are Z under a map
//     of 2-norm 2 (||S||^2 + ||T||^2 = 4 ||Z||^2), with a rounding and a rounded root's
//     product, so off by at most (rho + eta + u)(1 + rho) 2 ||Z||; the spectrum
//     P = |S + T|^2, |S - T|^2 at k and k + M, of 1-norm 2 (||S||^2 + ||T||^2) = 4 N r_0, is
//     then off by 4 (rho + 25 u)(2 + rho + 25 u) N r_0 in 1-norm (|a|^2 - |b|^2 <=
//     |a - b| (|a| + |b|), then Cauchy-Schwarz), and its five roundings per point add
//     gamma_5 times 4 (1 + rho + 25 u)^2 N r_0;
//   * folding it, Y_k = (P_k + P_(k+M)) + i (P_k - P_(k+M)) conj W^k, has at most twice its
//     1-norm and twice its error, and adds a rounding and a rounded root's product: at most
//     8 (1 + rho + 30 u)^2 N r_0 in 1-norm, off by 8 (rho + 30 u)(2 + rho + 30 u) N r_0 plus
//     (eta + u) 8 (1 + rho + 30 u)^2 N r_0;
//   * in the inverse, every output is reached from every input along exactly one path of
//     factors of modulus 1, so the product of the |A| is all ones, and each output is off by
//     at most rho times the 1-norm of the computed spectrum, plus the spectrum's own error,
//     which a sum of it with unit factors carries over unchanged;
//   * the scaling by 1 / (4 N) is exact. So a lag's sum is within
//     (6 rho + 200 u)(1 + rho + 30 u)^2 (1 + gamma_5) r_0 <= (146 L + 210) u r_0 of r_t
//     (L <= 64).
// So |sum from the transform - direct sum| <= E = (146 L + 210 + 1.01 n) u r_0 at every lag. A
// pair a / (n - k + 1) + b / (n - k) rounds three times, each sum within 1.03 S0 (n u <= 2^-13
// here), so the two pairs differ by at most (2 E + 8.3 u S0) / (n - k), which is at most
// (295 L + 433 + 2.05 n) u S0 / (n - k).
// The bound returned is more than twice that, which also covers rounding it, and the
// products that fall below the normal range, whose absolute errors of 2^-1075 each are under
// 2^-400 of it for S0 >= 2^-900.
double pairErrorBound(int log2Size, size_t n) {
  return 640.0 * log2Size + 900.0 + 5.0 * static_cast<double>(n);
}

// Adds the pairs (k - 1, k) for even k below `end` from the first lag after sum.lags on, each
// from the lag sums `sums` times scale squared; a pair within slack / (n - k) of zero is summed
// directly from the n centred values x instead, so the sum ends where the direct sums end it.
void addGuardedPairs(const double* x, size_t n, size_t end, const double* sums, double scale,
                     double slack, PairSum& sum) {
  for (size_t k = sum.lags + 2; k < end && !sum.ended; k += 2) {
    double gamma1 = sums[k - 1] * scale * scale / static_cast<double>(n - k + 1);
    double gamma2 = sums[k] * scale * scale / static_cast<double>(n - k);
    if (std::fabs(gamma1 + gamma2) <= slack / static_cast<double>(n - k)) {
      autocovariances<1>(x, n, k - 1, &gamma1);
      autocovariances<1>(x, n, k, &gamma2);
    }
    addPair(gamma1, gamma2, k, sum);
  }
}

// Whether n values whose lag-0 sum is lag0Sum may take lag sums from a transform of `points`:
// so small or large a sum could underflow or overflow on the way.
bool transformable(size_t n, double lag0Sum, size_t points) {
  return lag0Sum >= 0x1p-900 && lag0Sum <= 0x1p1000 / static_cast<double>(points) &&
         n <= (size_t{1} << 40);
}

// Adds the pairs (k - 1, k) for even k below `end` from the first lag after sum.lags on, with
// lag sums from Fourier transforms of the n centred values x, which scratch.sums keeps; a pair
// within the transform's error bound of zero is summed directly instead.
void addTransformedPairs(const double* x, size_t n, size_t end, double lag0Sum, PairSum& sum,
                         SampleSizeScratch& scratch) {
  // Only the lags below `end` are read, which a transform of n + end - 1 points keeps apart.
  const size_t points = lagTransformSize(n, end);
  if (!transformable(n, lag0Sum, points)) {
    addDirectPairs(x, n, end, sum);
    return;
  }
  scratch.sums.resize(end);
  sumLagProducts(x, n, 1, end, scratch.sums.data(), scratch.lags, LagTransform::kHalved);
  scratch.summed = end;
  scratch.log2Size = std::countr_zero(points);
  const double slack = pairErrorBound(scratch.log2Size, n) * 0x1p-53 * lag0Sum;
  addGuardedPairs(x, n, end, scratch.sums.data(), 1.0, slack, sum);
}

// Returns a bound on |p_s - p_d| over (n - k), for any even k below of.summed, where p_s is
// the pair (k - 1, k) divided from of.sums times scale squared and p_d the pair from direct
// sums of the n centred values y, whose lag-0 sum is lag0Sum.
//
// Let x be of.centred, r^x_t and r^y_t the exact lag sums of x and y, d = y - scale x exactly.
// - of.sums are within (146 L + 210) u r^x_0 of r^x_t (pairErrorBound()), and scaling them
//   rounds twice more: with r^x_0 <= 1.01 S^x_0, within (150 L + 220) u S^x_0.
// - r^y_t = scale^2 r^x_t + scale sum (x_i d_(i+t) + d_i x_(i+t)) + sum d_i d_(i+t), so by
//   Cauchy-Schwarz |r^y_t - scale^2 r^x_t| <= ||d|| (2 scale ||x|| + ||d||).
// - Each d_i = e_i / (1 + a) - scale x_i b, |a|, |b| <= u, where e_i = y_i - scale x_i as
//   computed, so ||d|| <= (1 + 2u) sqrt(n) max |e_i| + u scale ||x||.
// - The direct sums of y are within 1.01 n u r^y_0 <= 1.03 n u S^y_0 of r^y_t.
// A pair rounds three more times, each sum within 1.03 of the larger lag-0 sum, which adds
// 8.3 u times it; the bound returned is twice the sum, for its own rounding.
double scaledPairSlack(const double* y, size_t n, double scale, double lag0Sum,
                       const SampleSizeScratch& of) {
  const double* x = of.centred.data();
  double largest = 0.0;
  for (size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(y[i] - scale * x[i]));
  constexpr double u = 0x1p-53;
  const double scaledLag0 = scale * scale * of.lag0Sum;
  const double normX = std::sqrt(1.01 * of.lag0Sum);
  const double d = 1.01 * std::sqrt(static_cast<double>(n)) * largest + u * scale * normX;
  const double perSum = (150.0 * of.log2Size + 220.0) * u * scaledLag0 +
                        d * (2.0 * scale * normX + d) + 1.03 * static_cast<double>(n) * u * lag0Sum;
  return 2.0 * (2.0 * perSum + 8.3 * u * std::max(lag0Sum, scaledLag0));
}

// Centres the n values into scratch.centred and starts the sum with their lag-0
// autocovariance; returns the lag-0 sum of products.
double startSum(const double* values, size_t n, SampleSizeScratch& scratch, PairSum& sum) {
  double total = 0.0;
  for (size_t j = 0; j < n; ++j) total += values[j];
  const double mean = total / static_cast<double>(n);
  scratch.centred.resize(n);
  double* x = scratch.centred.data();
  for (size_t j = 0; j < n; ++j) x[j] = values[j] - mean;
  // As autocovariances() sums lag 0, keeping the sum itself for the transform's error bound.
  double lag0Sum = 0.0;
  for (size_t j = 0; j < n; ++j) lag0Sum += x[j] * x[j];
  sum = {lag0Sum / static_cast<double>(n), 0, false, 0.0};
  scratch.lag0Sum = lag0Sum;
  scratch.summed = 0;
  return lag0Sum;
}

}  // namespace

std::pair<double, double> highestDensityInterval(const double* sorted, size_t n, double mass) {
  const auto wanted = static_cast<size_t>(std::floor(mass * static_cast<double>(n) + 0.5));
  const size_t d = std::clamp<size_t>(wanted, 1, n);
  size_t best = 0;
  double bestWidth = sorted[d - 1] - sorted[0];
  for (size_t i = 1; i + d <= n; ++i) {
    const double width = sorted[i + d - 1] - sorted[i];
    if (width < bestWidth) {
      bestWidth = width;
      best = i;
    }
  }
  return {sorted[best], sorted[best + d - 1]};
}

SampleSize effectiveSampleSize(const double* values, size_t n, SampleSizeScratch& scratch) {
  return scaledSampleSize(values, n, 0.0, nullptr, scratch);
}

SampleSize scaledSampleSize(const double* values, size_t n, double scale,
                            const SampleSizeScratch* of, SampleSizeScratch& scratch) {
  PairSum sum;
  const double lag0Sum = startSum(values, n, scratch, sum);
  const double gamma0 = sum.variance;
  const double* x = scratch.centred.data();
  const size_t end = std::min(n - 1, kMaxLag);
  addDirectPairs(x, n, std::min(end, kDirectLags + 1), sum);
  const bool scaledSums = of != nullptr && of != &scratch && of->summed >= end &&
                          of->centred.size() == n && scale > 0.0 && std::isfinite(scale) &&
                          std::isfinite(of->lag0Sum) &&
                          transformable(n, lag0Sum, lagTransformSize(n, end));
  if (!sum.ended && !scaledSums && sum.last < kFallenPairShare * gamma0) {
    addDirectPairs(x, n, std::min(end, kFallenDirectLags + 1), sum);
  }
  if (!sum.ended && sum.lags + 2 < end) {
    if (scaledSums) {
      addGuardedPairs(x, n, end, of->sums.data(), scale, scaledPairSlack(x, n, scale, lag0Sum, *of),
                      sum);
    } else {
      addTransformedPairs(x, n, end, lag0Sum, sum, scratch);
    }
  }
  return {static_cast<double>(n) * gamma0 / sum.variance, sum.lags};
}

SampleSize directSampleSize(const double* values, size_t n, SampleSizeScratch& scratch) {
  PairSum sum;
  startSum(values, n, scratch, sum);
  const double gamma0 = sum.variance;
  addDirectPairs(scratch.centred.data(), n, std::min(n - 1, kMaxLag), sum);
  return {static_cast<double>(n) * gamma0 / sum.variance, sum.lags};
}

}  // namespace scalesum
