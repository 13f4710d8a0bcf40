#include "blocks.h"

#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "samples.h"
#include "series.h"

namespace scalesum {

namespace {

// What one thread's summary holds per sample at its peak: the series (8 bytes), its sorted
// copy (8) and the runs of equal values that the mode search collects (8 + 4). The sort's
// temporary buffer (8) and the bins of the mode search's bounds (52 bytes for every five runs
// or more) are gone before the runs are made, and the runs before the effective sample size
// takes its centred copy (8).
constexpr int64_t kScratchBytesPerSample = 28;

}  // namespace

BlockPlan planBlocks(int64_t maxMemory, size_t positions, int64_t samples, int threads) {
  BlockPlan plan;
  plan.bytesPerPosition = static_cast<int64_t>(sizeof(double)) * samples;
  plan.sharedBytes = static_cast<int64_t>(sizeof(double)) * samples +
                     kScratchBytesPerSample * samples * std::max(threads, 1);
  if (positions == 0) return plan;
  const int64_t room = maxMemory - plan.sharedBytes;
  if (room < plan.bytesPerPosition) return plan;
  const int64_t fitting = plan.bytesPerPosition > 0 ? room / plan.bytesPerPosition : INT64_MAX;
  plan.blockSize = static_cast<size_t>(std::min<int64_t>(fitting, static_cast<int64_t>(positions)));
  plan.blockCount = (positions + plan.blockSize - 1) / plan.blockSize;
  return plan;
}

int64_t defaultMemoryCap() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  // Without an answer no cap is known, and the histories are held whole as always.
  if (pages <= 0 || pageSize <= 0) return INT64_MAX;
  return static_cast<int64_t>(pages) * pageSize / 2;
}

size_t summariseInBlocks(Analysis& analysis, int64_t maxMemory, Progress& progress) {
  const int64_t cap = maxMemory > 0 ? maxMemory : defaultMemoryCap();
  const size_t positions = analysis.nodes.size();
  const BlockPlan plan = planBlocks(cap, positions, analysis.sampleCount, omp_get_max_threads());
  if (positions > 0 && plan.blockSize == 0) {
    fail(1, Stream::kStdout,
         "Error: a memory cap of %lld bytes is too small for %d samples: summarising one node "
         "at a time needs %lld bytes (see --max-memory)\n",
         static_cast<long long>(cap), analysis.sampleCount,
         static_cast<long long>(plan.sharedBytes + plan.bytesPerPosition));
  }
  progress.nodeCount.store(static_cast<int64_t>(positions));
  progress.passCount.store(2 + static_cast<int>(plan.blockCount));

  progress.pass.store(2);
  validateSampleNodes(analysis);
  for (size_t block = 0; block < plan.blockCount; ++block) {
    const size_t begin = block * plan.blockSize;
    const size_t end = std::min(begin + plan.blockSize, positions);
    progress.pass.store(3 + static_cast<int>(block));
    applySamplesToPositions(analysis, begin, end);
    summariseNodes(analysis, begin, end, &progress.summariesDone);
    // The next block needs the room; the last block's histories stay, as they always have
    // in a run of one block.
    if (block + 1 == plan.blockCount) break;
    for (size_t j = begin; j < end; ++j)
      std::vector<double>().swap(analysis.results[j].lengthHistory);
  }
  return plan.blockCount;
}

}  // namespace scalesum
