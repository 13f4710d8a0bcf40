#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "results.h"
#include "samplerecord.h"
#include "tree.h"

namespace scalesum {

// What a finished run did, for the one line that --verbose prints.
struct RunSummary {
  int chains = 1;
  int64_t sampleLines = 0;  // sample lines (two fields or more) read, over all chains
  int64_t retained = 0;     // samples kept after the burn-in
  int32_t burnIn = 0;
  int64_t nodes = 0;
  int64_t blocks = 0;
  double seconds = 0.0;     // wall time since the program started
  std::string burnInShare;  // the share of each chain's lines dropped (25%), when it was one
  std::string verdict;      // the convergence verdict's words, when there is one
};

// Returns the summary of the run on `tree` that gave `results`, whose chains' samples are
// `records`, with the burn-in iteration `burnIn`, that summarised its nodes in `blocks` blocks,
// timed up to now.
RunSummary summariseRun(const Tree& tree, const Results& results,
                        const std::vector<SampleRecord>& records, int32_t burnIn, size_t blocks);

// Returns the summary's line, ending in a line feed.
std::string describeRunSummary(const RunSummary& summary);

}  // namespace scalesum
