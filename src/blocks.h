#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "results.h"
#include "samplerecord.h"
#include "tree.h"

namespace scalesum {

// The memory through which a record kept in a temporary file is read back.
inline constexpr int64_t kSpillWindowBytes = int64_t{1} << 18;

// How the node positions are split into blocks whose length histories, together with the
// memory that the summaries work in and the samples' record, fit under a cap.
struct BlockPlan {
  int64_t bytesPerPosition = 0;  // one length history
  int64_t sharedBytes = 0;       // the samples' sigma and every thread's summary scratch
  int64_t recordBytes = 0;       // the records' memory: all of them, or the spill window
  bool spill = false;            // the records are read back from temporary files
  size_t blockSize = 0;          // positions per block; 0 when not even one fits
  size_t blockCount = 0;
};

// Returns the plan for `positions` node positions over `samples` retained samples, summarised
// by at most `threads` threads (with their convergence diagnostics when `statistics`), in at
// most `maxMemory` bytes, beside records of
// `recordBytes` bytes: kept in memory unless that would take more blocks than reading them
// back from temporary files, or unless `spilled` says they are there already.
BlockPlan planBlocks(int64_t maxMemory, size_t positions, int64_t samples, int threads,
                     bool statistics, int64_t recordBytes = 0, bool spilled = false);

// Returns half of the physical memory: the cap when none is given.
int64_t defaultMemoryCap();

// Returns what a record read under `maxMemory` (the default cap when 0 or less) may keep in
// memory while the log is read, summarised by `threads` threads (with statistics when
// `statistics`), and where it goes beyond that: the folder `tempDir`, or the system's when
// empty.
RecordLimit recordLimit(int64_t maxMemory, int threads, bool statistics,
                        const std::string& tempDir);

// Returns the plan of a run whose samples are in `records`, under `maxMemory` (the default
// cap when 0 or less), and moves the records to temporary files when the plan says so; fails
// when even one position does not fit.
BlockPlan planRun(const Tree& tree, const Results& results, std::vector<SampleRecord>& records,
                  int64_t maxMemory);

// Returns the node positions [begin, end) of block `block`.
std::pair<size_t, size_t> blockPositions(const BlockPlan& plan, size_t block, size_t positions);

// Frees the length histories of the node positions in [begin, end).
void releaseHistories(Results& results, size_t begin, size_t end);

}  // namespace scalesum
