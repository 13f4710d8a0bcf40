#include "prior.h"

#include "failure.h"
#include "samples.h"

namespace scalesum {

void readPriorHeaders(const std::vector<std::string>& paths, const Tree& first,
                      std::deque<LogFile>& logs, bool digesting) {
  for (const std::string& path : paths) {
    logs.emplace_back();
    logs.back().reader.digesting = digesting;
    requireSameTables(first, readLogHeader(logs.back(), path.c_str()));
  }
}

std::vector<PriorLogCount> countPriorSamples(std::deque<LogFile>& logs, const Tree& tree,
                                             const BurnIn& burnIn, const RecordLimit& limit,
                                             Results& results, bool densities) {
  std::vector<PriorLogCount> lineCounts;
  results.prior.assign(tree.nodes.size(), ShiftCounts{});
  if (densities) results.priorLog2Scalar.assign(tree.nodes.size() * kLog2ScalarBins, 0);
  results.priorSampleCount = 0;
  // One record at a time: the prior only counts, so no log's samples outlive their counting.
  std::vector<SampleRecord> record(1);
  for (LogFile& log : logs) {
    record[0] = readLogSamples(log, tree, burnIn.readingCut, limit);
    dropBurnInShare(burnIn, record[0]);
    const std::vector<ShiftCounts> counts =
        countShifts(tree, record, densities ? &results.priorLog2Scalar : nullptr);
    for (size_t j = 0; j < counts.size(); ++j) {
      results.prior[j].changed += counts[j].changed;
      results.prior[j].above += counts[j].above;
      results.prior[j].below += counts[j].below;
    }
    results.priorSampleCount += record[0].sampleCount;
    lineCounts.push_back({record[0].sampleLineCount, record[0].sampleCount});
    record[0] = SampleRecord();
  }
  if (results.priorSampleCount == 0) {
    fail(1, Stream::kStdout, "Error in %s: no prior sample line after the burn-in\n",
         logs.front().path.c_str());
  }
  return lineCounts;
}

}  // namespace scalesum
