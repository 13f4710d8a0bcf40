#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
