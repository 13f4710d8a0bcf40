#include "blocks.h"

#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "failure.h"

namespace scalesum {

namespace {

// What one thread's summary holds per sample at its peak: the series (8 bytes), its sorted
// copy (8) and the runs of equal values that the mode search collects (8 + 4). The sort's
// temporary buffer (8) and the bins of the mode search's bounds (52 bytes for every five runs
// or more) are gone before the runs are made, and the runs before the effective sample size
// takes its centred copy (8).
constexpr int64_t kScratchBytesPerSample = 28;

// What one thread's convergence diagnostics keep per sample from series to series, when
// statistics are computed: four arrays of ranked draws (16 bytes each); the normal scores of
// every half rank (16); the split matrix and a scaled copy of the draws (8 each); the
// autocorrelations, their truncated sequence and the lag sums (4 each); for the lag sums, a
// transform of under twice two half-chains (32), its roots (32: one table serves every thread,
// but it stays counted for each, as the Monte Carlo errors' and Tracer's transforms, which are
// not counted otherwise, take more) and the summed spectra (16); the tail indicators' weights,
// ramps and pairs by distance (4 each), runs (2) and bits (1 in 8, counted as 1). The sigmas'
// diagnostics, which every node's DeltaB may take, keep as much again for the whole run.
constexpr int64_t kConvergenceBytesPerSample = 203;

int64_t capOrDefault(int64_t maxMemory) {
  return maxMemory > 0 ? maxMemory : defaultMemoryCap();
}

// Returns how many positions fit in `room` bytes, at most `positions`.
size_t fitting(int64_t room, int64_t bytesPerPosition, size_t positions) {
  if (room < bytesPerPosition || room < 0) return 0;
  const int64_t count = bytesPerPosition > 0 ? room / bytesPerPosition : INT64_MAX;
  return static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(positions)));
}

}  // namespace

BlockPlan planBlocks(int64_t maxMemory, size_t positions, int64_t samples, int threads,
                     bool statistics, int64_t recordBytes, bool spilled) {
  BlockPlan plan;
  plan.bytesPerPosition = static_cast<int64_t>(sizeof(double)) * samples;
  const int64_t perThread = kScratchBytesPerSample + (statistics ? kConvergenceBytesPerSample : 0);
  plan.sharedBytes = static_cast<int64_t>(sizeof(double)) * samples +
                     perThread * samples * std::max(threads, 1) +
                     (statistics ? kConvergenceBytesPerSample * samples : 0);
  plan.recordBytes = recordBytes;
  if (positions == 0) return plan;
  const int64_t room = maxMemory - plan.sharedBytes;
  const int64_t window = std::min(recordBytes, kSpillWindowBytes);
  const size_t inMemory =
      spilled ? 0 : fitting(room - recordBytes, plan.bytesPerPosition, positions);
  const size_t fromFile = fitting(room - window, plan.bytesPerPosition, positions);
  // A record that would cost blocks is read back from its file instead: a block costs a
  // whole replay, reading the file back costs little more than reading memory.
  plan.spill = spilled || fromFile > inMemory;
  if (plan.spill) plan.recordBytes = window;
  plan.blockSize = plan.spill ? fromFile : inMemory;
  if (plan.blockSize > 0) plan.blockCount = (positions + plan.blockSize - 1) / plan.blockSize;
  return plan;
}

int64_t defaultMemoryCap() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  // Without an answer no cap is known, and the histories are held whole as always.
  if (pages <= 0 || pageSize <= 0) return INT64_MAX;
  return static_cast<int64_t>(pages) * pageSize / 2;
}

RecordLimit recordLimit(int64_t maxMemory, int threads, bool statistics,
                        const std::string& tempDir) {
  RecordLimit limit;
  limit.limitBytes = capOrDefault(maxMemory);
  // Per sample, whatever the block: its sigma, every thread's scratch and one history entry.
  const BlockPlan unit = planBlocks(INT64_MAX, 1, 1, threads, statistics);
  limit.reservePerSample = unit.sharedBytes + unit.bytesPerPosition;
  limit.tempDir = temporaryFolder(tempDir);
  return limit;
}

BlockPlan planRun(const Tree& tree, const Results& results, std::vector<SampleRecord>& records,
                  int64_t maxMemory) {
  const int64_t cap = capOrDefault(maxMemory);
  const size_t positions = tree.nodes.size();
  int64_t bytes = 0;
  bool spilled = false;
  for (const SampleRecord& record : records) {
    bytes += recordBytes(record);
    spilled = spilled || isSpilled(record);
  }
  const BlockPlan plan = planBlocks(cap, positions, results.sampleCount, omp_get_max_threads(),
                                    results.wantStatistics, bytes, spilled);
  if (positions > 0 && plan.blockSize == 0) {
    fail(1, Stream::kStdout,
         "Error: a memory cap of %lld bytes is too small for %d samples: summarising one node "
         "at a time needs %lld bytes (see --max-memory)\n",
         static_cast<long long>(cap), results.sampleCount,
         static_cast<long long>(plan.sharedBytes + plan.bytesPerPosition +
                                std::min(bytes, kSpillWindowBytes)));
  }
  if (plan.spill) {
    for (SampleRecord& record : records) spillRecord(record);
  }
  return plan;
}

std::pair<size_t, size_t> blockPositions(const BlockPlan& plan, size_t block, size_t positions) {
  const size_t begin = block * plan.blockSize;
  return {begin, std::min(begin + plan.blockSize, positions)};
}

void releaseHistories(Results& results, size_t begin, size_t end) {
  for (size_t j = begin; j < end; ++j) std::vector<double>().swap(results.nodes[j].lengthHistory);
}

}  // namespace scalesum
