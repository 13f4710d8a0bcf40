#include "seriesmath.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace scalesum {

namespace {

// The autocorrelation sums stop at this lag even for a chain that never decorrelates.
constexpr size_t kMaxLag = 2000;

// How many lags one pass over a series sums at once: an even number, so that blocks hold whole
// pairs.
constexpr size_t kLagBlock = 8;

// Stores in gamma[m] the autocovariance of the n centred values x at lag first + m, for m below
// Count (first + Count - 1 < n). The lags share one pass over x, but each sum still adds its
// terms in ascending j, exactly as a pass per lag would.
template <size_t Count>
void autocovariances(const double* x, size_t n, size_t first, double* gamma) {
  double sums[Count] = {};
  const size_t shared = n - (first + Count - 1);  // every lag has a term for j below this
  for (size_t j = 0; j < shared; ++j) {
    const double xj = x[j];
    for (size_t m = 0; m < Count; ++m) sums[m] += xj * x[j + first + m];
  }
  for (size_t m = 0; m < Count; ++m) {
    const size_t k = first + m;
    for (size_t j = shared; j + k < n; ++j) sums[m] += x[j] * x[j + k];
    gamma[m] = sums[m] / static_cast<double>(n - k);
  }
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

double effectiveSampleSize(const double* values, size_t n) {
  double sum = 0.0;
  for (size_t j = 0; j < n; ++j) sum += values[j];
  const double mean = sum / static_cast<double>(n);
  std::vector<double> x(n);
  for (size_t j = 0; j < n; ++j) x[j] = values[j] - mean;

  double gamma0 = 0.0;
  autocovariances<1>(x.data(), n, 0, &gamma0);
  double variance = gamma0;
  const size_t maxLag = std::min(n - 1, kMaxLag);
  // The pairs (k - 1, k) for even k below maxLag, a block of lags at a time, up to the first
  // pair that is not positive: most chains stop long before the cap.
  double gamma[kLagBlock];
  for (size_t first = 1; first + 1 < maxLag; first += kLagBlock) {
    const size_t count = std::min(kLagBlock, maxLag - first);
    if (count == kLagBlock) {
      autocovariances<kLagBlock>(x.data(), n, first, gamma);
    } else {
      for (size_t m = 0; m < count; ++m) autocovariances<1>(x.data(), n, first + m, gamma + m);
    }
    for (size_t m = 0; m + 1 < count; m += 2) {
      const double pair = gamma[m] + gamma[m + 1];
      if (!(pair > 0.0)) return static_cast<double>(n) * gamma0 / variance;
      variance += 2.0 * pair;
    }
  }
  return static_cast<double>(n) * gamma0 / variance;
}

}  // namespace scalesum
