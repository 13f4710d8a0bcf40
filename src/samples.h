#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "results.h"
#include "samplerecord.h"
#include "tree.h"

namespace scalesum {

// Sets the run's sample count to the retained samples of all `records` and sizes the sigma of
// every sample; fails when no line is retained (`burnIn` names the burn-in) or when
// there are more than a sample index can count.
void countRetainedSamples(const Tree& tree, Results& results,
                          const std::vector<SampleRecord>& records, int32_t burnIn);

// Fails with the first fault of the records, in their order and in file order.
void validateSampleNodes(const std::vector<SampleRecord>& records);

// Validates the records, then applies every sample to every node position and restores the
// logged lengths.
void applyRetainedSamples(const Tree& tree, Results& results,
                          const std::vector<SampleRecord>& records);

// Replays the records, validated, in order, and records the length histories and change
// counts of the node positions in [begin, end) only, sizing those histories first; ends the
// process at the first sample that scales the root.
void applySamplesToPositions(const Tree& tree, Results& results,
                             const std::vector<SampleRecord>& records, size_t begin, size_t end);

// Replays the records, validated, in order, and returns for each node position how many of
// their samples changed it and in how many its Scalar was above and below 1, as a run counts
// its own samples, keeping no length history; ends the process at the first sample that
// scales the root.
// Returns the bin of kLog2ScalarBins that counts `scalar`'s log2.
size_t log2ScalarBin(double scalar);

// When `log2Bins` is given (kLog2ScalarBins per position), also counts each log2 Scalar in it.
std::vector<ShiftCounts> countShifts(const Tree& tree, const std::vector<SampleRecord>& records,
                                     std::vector<uint32_t>* log2Bins = nullptr);

}  // namespace scalesum
