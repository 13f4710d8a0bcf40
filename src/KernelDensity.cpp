#include "KernelDensity.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "genlib.h"

namespace scalesum {

int compareReals(double a, double b) {
  if (a == b) return 0;
  if (a > b) return 1;
  return -1;
}

void sortReals(double* values, int32_t n) {
  // The comparison above is no strict weak order once not-a-number values take part, so they
  // are moved behind the numbers first and only the numbers are sorted.
  double* numbersEnd =
      std::stable_partition(values, values + n, [](double v) { return !std::isnan(v); });
  std::sort(values, numbersEnd, [](double a, double b) { return compareReals(a, b) < 0; });
}

DensitySummary createDensitySummary(int32_t n, const double* values) {
  DensitySummary summary;
  summary.count = n;
  if (n <= 0) {
    summary.mean = summary.median = summary.stdDev = std::nan("");
    return summary;
  }
  try {
    summary.sortedValues.assign(values, values + n);
  } catch (const std::bad_alloc&) {
    reportAllocationError("KernelDensity", 1);
  }
  double* v = summary.sortedValues.data();
  sortReals(v, n);

  double sum = 0.0;
  for (int32_t i = 0; i < n; ++i) sum += v[i];
  summary.mean = sum / static_cast<double>(n);

  double ss = 0.0;
  for (int32_t i = 0; i < n; ++i) ss += (v[i] - summary.mean) * (v[i] - summary.mean);
  summary.stdDev = std::sqrt((1.0 / static_cast<double>(n - 1)) * ss);

  const int32_t m = n / 2;
  summary.median = (n % 2 == 1) ? v[m] : (v[m - 1] + v[m]) * 0.5;
  return summary;
}

void applyRobustBandwidth(DensitySummary& summary) {
  const int32_t n = summary.count;
  if (n <= 0) {
    summary.bandwidth = summary.gridLow = summary.gridHigh = std::nan("");
    return;
  }
  const double* v = summary.sortedValues.data();
  const double count = static_cast<double>(n);
  const auto iHi = static_cast<int32_t>(count * 0.75);
  const auto iLo = static_cast<int32_t>(count * 0.25);
  const double q = (v[iHi] - v[iLo]) / 1.349;
  double s = summary.stdDev;
  if (summary.stdDev > q && q != 0.0) s = q;
  const double h = std::pow(count, -0.2) * (s * 0.9);
  summary.bandwidth = h;
  summary.gridLow = v[0] - h * 3.0;
  summary.gridHigh = h * 3.0 + v[n - 1];
}

double kernelDensityAt(double x, const DensitySummary& summary) {
  const double h = summary.bandwidth;
  const double w = std::sqrt(6.283185307179586) * h;
  const double* v = summary.sortedValues.data();
  double sum = 0.0;
  for (int32_t i = 0; i < summary.count; ++i) {
    const double u = (x - v[i]) / h;
    sum += std::exp((u * -0.5) * u) / w;
  }
  return sum / static_cast<double>(summary.count);
}

double findDensityModeReference(const DensitySummary& summary) {
  const double low = summary.gridLow;
  const double high = summary.gridHigh;
  const double step = (high - low) / 1000;
  double best = kernelDensityAt(low, summary);
  double mode = low;
  if (!(high > low)) return low;
  // The running x stops growing when the step is below half a spacing of the reals near the
  // grid, so the number of points is bounded as well.
  double x = low;
  for (int k = 0; k < kMaxGridPoints && high > x; ++k) {
    const double d = kernelDensityAt(x, summary);
    if (d > best) {
      best = d;
      mode = x;
    }
    x = x + step;
  }
  return mode;
}

}  // namespace scalesum
