#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace scalesum {

// The most points a trace draws of one chain.
inline constexpr size_t kMaxTracePoints = 1000;

// Counts of values in equal bins over [low, high]; values beyond the ends, infinities among
// them, count in the end bins, and not-a-number values nowhere.
struct Histogram {
  double low = 0.0;
  double high = 0.0;
  std::vector<uint32_t> counts;
};

// Returns the histogram of `values` in `bins` bins over [low, high] (low < high).
Histogram makeHistogram(std::span<const double> values, double low, double high, size_t bins);

// Returns every how many samples a trace of `count` samples keeps one so that it draws at most
// `maxPoints` points (1: all of them).
size_t traceStride(size_t count, size_t maxPoints);

// Returns, per chain, how many of its draws fall in each of `bins` equal bins of the ranks of
// all chains' draws pooled, ties given their average rank; not-a-number draws are left out.
std::vector<std::vector<uint32_t>> rankHistograms(
    const std::vector<std::span<const double>>& chains, size_t bins);

// Returns the number with at most four significant digits, as plots and tables show it.
std::string shortNumber(double value);

// Returns an inline SVG of one global column: each chain's values against its sample index,
// every traceStride-th sample, one colour per chain; not-a-number values are left out.
std::string tracePlot(const std::vector<std::span<const double>>& chains);

// Returns an inline SVG of each chain's histogram of pooled ranks, one row per chain, with the
// count that chains which agree would give each bin.
std::string rankPlot(const std::vector<std::span<const double>>& chains);

// Returns an inline SVG of each chain's density, smoothed from its histogram, overlaid.
std::string densityPlot(const std::vector<std::span<const double>>& chains);

// Returns a small inline SVG of the density of log2 Scalar of one branch, on the histogram's
// bins, with the prior's as a dashed line when `prior` has counts, and Scalar 1 marked.
std::string shiftDensityPlot(const Histogram& posterior, const Histogram& prior);

}  // namespace scalesum
