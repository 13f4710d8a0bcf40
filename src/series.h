#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "results.h"
#include "seriesmath.h"
#include "tree.h"

namespace scalesum {

// Returns whether a Scalar of `scalar` made the branch faster (+1), slower (-1) or neither
// (0, a not-a-number among them).
inline int scalarDirection(double scalar) {
  return (scalar > 1.0) - (scalar < 1.0);
}

// Returns the Scalar of a node of logged length `length` in a sample that gives it `sampled`.
inline double scalarOf(double sampled, double length) {
  return sampled / length;
}

// Fills `values` with series `series` of the node of logged length `length` whose lengths in
// the retained samples are `result.lengthHistory`: one value per retained sample.
void computeSeries(const NodeResult& result, double length, const Results& results, Series series,
                   std::vector<double>& values);

// Fills the interval, the sample size and the range of `out` from a series in sample order and
// its summary's sorted copy; the interval holds `hpdMass` of the values. `scratch` is the
// calling thread's own; `of`, when given, holds the sample size of a series of which this one
// is `scale` times, value by value (scaledSampleSize()).
void addStatistics(double hpdMass, const std::vector<double>& inOrder,
                   const DensitySummary& summary, SeriesResult& out, SampleSizeScratch& scratch,
                   double scale = 0.0, const SampleSizeScratch* of = nullptr);

// Summarises every node's four series, in parallel over all threads; the results do not depend
// on the number of threads.
void summariseAllNodes(const Tree& tree, Results& results);

// Summarises the four series of the node positions in [begin, end), whose length histories are
// recorded, as summariseAllNodes does; a position whose node stands at an earlier one takes
// that one's summaries. Adds 1 to `finished` (when given) for each series summarised or taken.
void summariseNodes(const Tree& tree, Results& results, size_t begin, size_t end,
                    std::atomic<int64_t>* finished);

}  // namespace scalesum
