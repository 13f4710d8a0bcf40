#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "records.h"

namespace scalesum {

// Counts the retained sample lines and sizes the sigma of every sample; ends the process when
// no line is retained.
void countRetainedSamples(Analysis& analysis);

// Validates every retained line, then sizes every node's length history, applies each line in
// file order and restores the logged lengths; ends the process on the first bad line.
void applyRetainedSamples(Analysis& analysis);

// Makes one application pass over lines already validated that records the length histories
// and change counts of the node positions in [begin, end) only, sizing those histories first.
void applySamplesToPositions(Analysis& analysis, size_t begin, size_t end);

// Checks every retained line: its fields are complete and every node id it names is a node's;
// ends the process at the first problem in file order.
void validateSampleNodes(Analysis& analysis);

// Applies the retained line with index `sampleIndex` (its fields) to the tree and records the
// sample's sigma and, for the node positions in [begin, end), their lengths and change counters.
void applySample(Analysis& analysis, int32_t sampleIndex, const std::vector<char*>& fields,
                 size_t begin = 0, size_t end = SIZE_MAX);

// Multiplies the length of `node` and of every node below it by `factor`.
void scaleSubtree(Node* node, double factor);

}  // namespace scalesum
