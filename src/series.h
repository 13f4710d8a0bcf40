#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "convergence.h"
#include "records.h"

namespace scalesum {

// Fills `values` with series `series` of the node of logged length `length` whose lengths in
// the retained samples are `result.lengthHistory`: one value per retained sample.
void computeSeries(const NodeResult& result, double length, const Analysis& analysis, Series series,
                   std::vector<double>& values);

// Fills the interval, the sample size and the range of `out` from a series in sample order and
// its summary's sorted copy; the interval holds `hpdMass` of the values.
void addStatistics(double hpdMass, const std::vector<double>& inOrder,
                   const DensitySummary& summary, SeriesResult& out);

// A series that is, value by value, `scale` times the draws that `of` last diagnosed (null: the
// calling thread's last diagnosed draws); a scale of 0 says nothing.
struct ScaledDraws {
  const ConvergenceScratch* of = nullptr;
  double scale = 0.0;
};

// Returns the diagnostics of a series in sample order over the run's chains, each cut to its
// first samples up to the shortest chain's count; when `scaled` names draws of which the
// series is a multiple, theirs serve as far as scaling leaves them unchanged. When `ascending`
// is given and no sample was cut, sets it to the series sorted as sortReals() sorts it; it is
// left empty otherwise.
Convergence chainConvergence(const Analysis& analysis, const std::vector<double>& inOrder,
                             std::vector<double>* ascending = nullptr, ScaledDraws scaled = {});

// Summarises the four series of the node at position `position` and stores their summaries
// and modes in the node's result; `sigmas`, when given, holds the diagnostics of the samples'
// sigmas.
void summariseNode(Analysis& analysis, size_t position, std::vector<double>& scratch,
                   const ConvergenceScratch* sigmas);

// Summarises every node's four series, in parallel over all threads; the results do not depend
// on the number of threads.
void summariseAllNodes(Analysis& analysis);

// Summarises the four series of the node positions in [begin, end), whose length histories are
// recorded, as summariseAllNodes does; a position whose node stands at an earlier one takes
// that one's summaries. Adds 1 to `finished` (when given) for each series summarised or taken.
void summariseNodes(Analysis& analysis, size_t begin, size_t end, std::atomic<int64_t>* finished);

}  // namespace scalesum
