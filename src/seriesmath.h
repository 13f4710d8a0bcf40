#pragma once

#include <cstddef>
#include <utility>

namespace scalesum {

// Returns the narrowest interval [s[i], s[i+d-1]] holding d = max(1, floor(mass * n + 0.5)) of
// the n >= 1 ascending values s, the first on ties.
std::pair<double, double> highestDensityInterval(const double* sorted, size_t n, double mass);

// Returns the effective sample size of the n values in sample order, summing autocorrelations
// in pairs of lags until a pair is no longer positive (at most 2000 lags).
double effectiveSampleSize(const double* values, size_t n);

}  // namespace scalesum
