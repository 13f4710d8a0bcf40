#pragma once

#include <cstdint>
#include <vector>

namespace scalesum {

// The summary of one series of reals: a sorted copy with its moments, and the bandwidth and
// grid bounds of a Gaussian kernel density estimate of the series.
struct DensitySummary {
  std::vector<double> sortedValues;
  int32_t count = 0;
  double bandwidth = 0.0;
  double gridLow = 0.0;
  double gridHigh = 0.0;
  double mean = 0.0;
  double median = 0.0;
  double stdDev = 0.0;
};

// Sorts n reals ascending, -0 before +0, with every not-a-number after them in the order given.
void sortReals(double* values, int32_t n);

// Returns the summary of n values (n >= 1): sorted copy, mean, median and standard deviation.
// The caller's array is left unchanged.
DensitySummary createDensitySummary(int32_t n, const double* values);

// Returns the summary of the n >= 1 values in `sorted`, ordered as sortReals() orders them,
// which it keeps: what createDensitySummary() gives for them in any order.
DensitySummary summariseSorted(std::vector<double> sorted);

// Sets the bandwidth by the robust rule of thumb, and the grid bounds three bandwidths beyond
// the smallest and largest value.
void applyRobustBandwidth(DensitySummary& summary);

// Returns the kernel density estimate of the summary at x.
double kernelDensityAt(double x, const DensitySummary& summary);

// Returns the point of the summary's search grid with the greatest density, the lowest such
// point on ties; uses the fastest exact evaluation this machine offers.
double findDensityMode(const DensitySummary& summary);

// Returns what findDensityMode returns, evaluating every density with kernelDensityAt: the
// straightforward reference that every faster evaluation must match bit for bit.
double findDensityModeReference(const DensitySummary& summary);

// The largest number of grid points the mode search evaluates.
inline constexpr int kMaxGridPoints = 1001;

}  // namespace scalesum
