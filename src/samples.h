#pragma once

#include <vector>

#include "records.h"

namespace scalesum {

// Counts the retained sample lines and sizes every per-sample array; ends the process when no
// line is retained.
void countRetainedSamples(Analysis& analysis);

// Validates every retained line, then applies each in file order and restores the logged
// lengths; ends the process on the first bad line.
void applyRetainedSamples(Analysis& analysis);

// Checks every retained line: its fields are complete and every node id it names is a node's;
// ends the process at the first problem in file order.
void validateSampleNodes(Analysis& analysis);

// Applies the retained line with index `sampleIndex` (its fields) to the tree and records every
// node's length, the sample's sigma and the change counters.
void applySample(Analysis& analysis, int32_t sampleIndex, const std::vector<char*>& fields);

// Multiplies the length of `node` and of every node below it by `factor`.
void scaleSubtree(Node* node, double factor);

}  // namespace scalesum
