#pragma once

#include "records.h"

namespace scalesum {

// The four per-node series, in report order.
enum class Series { kScalar, kSigV, kDeltaB, kDeltaV };

// Fills `values` with series `series` of `node`: one value per retained sample.
void computeSeries(const Node& node, const Analysis& analysis, Series series,
                   std::vector<double>& values);

// Summarises one series of `node` and stores its summary and mode in the node.
void summariseSeries(Node& node, const Analysis& analysis, Series series,
                     std::vector<double>& scratch);

// Summarises every node's four series, in parallel over all threads; the results do not depend
// on the number of threads.
void summariseAllNodes(Analysis& analysis);

}  // namespace scalesum
