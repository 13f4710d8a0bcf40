#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "params.h"
#include "samplerecord.h"
#include "tree.h"

namespace scalesum {

// Ends the process when two of the logs `paths` (standard input aside) are one file, by
// device and inode, naming the later one.
void refuseRepeatedLogs(const std::vector<std::string>& paths);

// Returns the first difference between the taxa and node tables of `first` and of `chain`
// (ids, names, lengths bit for bit, taxon sets, in order), or an empty text when there is none.
std::string firstTableDifference(const Tree& first, const Tree& chain);

// Ends the process, naming the chain's file and the first difference, unless `chain` logs the
// tree of `first`.
void requireSameTables(const Tree& first, const Tree& chain);

// What a run drops of each chain as its burn-in: the sample lines below an iteration, skipped
// while they are read, or a share of each chain's sample lines, dropped after they are read.
struct BurnIn {
  int32_t iteration = 0;   // the flag's iteration, else the options file's IT
  int32_t readingCut = 0;  // the iteration below which lines are skipped while reading
  std::optional<BurnInShare> share;
  std::string shareText;  // the share as given, for messages
  std::string warning;    // the warning line when the flag may keep what IT was written to drop
};

// Returns the burn-in of a run whose options file gives IT `fileIteration`: the flag's share,
// else the flag's iteration, else the file's, with the warning when the flag lowers the file's
// IT or replaces it by a share.
BurnIn decideBurnIn(const CommandLine& command, int32_t fileIteration);

// Drops the burn-in's share, if any, of the sample lines of a record read with its reading cut.
void dropBurnInShare(const BurnIn& burnIn, SampleRecord& record);

// Warns of each record whose sample lines all lie above a positive burn-in iteration, which so
// drops none of them.
void warnOfIdleBurnIn(const std::vector<SampleRecord>& records, const BurnIn& burnIn);

// Drops the first `count` samples of a record that retained every sample line, with the
// faults among them.
void dropLeadingSamples(SampleRecord& record, int64_t count);

// Ends the process when the last of `records` holds the same samples as an earlier one, line
// for line after the burn-in (by their fingerprints), naming both logs; a record without
// samples is left to the check for none.
void refuseCopiedChain(const std::vector<SampleRecord>& records);

// Returns the global columns of the record's retained samples, in order (a replay).
ChainColumns chainColumns(const SampleRecord& record);

}  // namespace scalesum
