#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "chains.h"
#include "logfile.h"
#include "results.h"
#include "samplerecord.h"
#include "tree.h"

namespace scalesum {

// Opens each prior log of `paths` into `logs`, digesting its bytes as read when `digesting`,
// and fails unless each logs the tree of `first`.
void readPriorHeaders(const std::vector<std::string>& paths, const Tree& first,
                      std::deque<LogFile>& logs, bool digesting);

// What became of one prior log's sample lines.
struct PriorLogCount {
  int64_t sampleLines = 0;  // lines of two fields or more
  int64_t retained = 0;     // the samples kept after the burn-in
};

// Reads the samples of every prior log in `logs`, open at their sample lines, one log at a
// time under `limit`, drops their burn-in as the chains', sets the run's prior counts per node
// position (with `densities`, also each one's log2 Scalar in bins), and returns each log's line
// counts; fails when no prior sample line is retained.
std::vector<PriorLogCount> countPriorSamples(std::deque<LogFile>& logs, const Tree& tree,
                                             const BurnIn& burnIn, const RecordLimit& limit,
                                             Results& results, bool densities);

}  // namespace scalesum
