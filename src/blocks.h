#pragma once

#include <cstddef>
#include <cstdint>

#include "progress.h"
#include "records.h"

namespace scalesum {

// How the node positions are split into blocks whose length histories, together with the
// memory that the summaries work in, fit under a cap.
struct BlockPlan {
  int64_t bytesPerPosition = 0;  // one length history
  int64_t sharedBytes = 0;       // the samples' sigma and every thread's summary scratch
  size_t blockSize = 0;          // positions per block; 0 when not even one fits
  size_t blockCount = 0;
};

// Returns the plan for `positions` node positions over `samples` retained samples, summarised
// by at most `threads` threads, in at most `maxMemory` bytes.
BlockPlan planBlocks(int64_t maxMemory, size_t positions, int64_t samples, int threads);

// Returns half of the physical memory: the cap when none is given.
int64_t defaultMemoryCap();

// Validates the retained lines, then records and summarises every node's series one block of
// positions at a time (one pass over the log each), releasing a block's histories before the
// next; the results are those of one block of all. Ends the process before the validation pass
// when even one position does not fit under `maxMemory` (the default cap when 0 or less).
// Returns the number of blocks.
size_t summariseInBlocks(Analysis& analysis, int64_t maxMemory, Progress& progress);

}  // namespace scalesum
