#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "params.h"
#include "records.h"
#include "samplerecord.h"

namespace scalesum {

// Ends the process when two of the logs `paths` (standard input aside) are one file, by
// device and inode, naming the later one.
void refuseRepeatedLogs(const std::vector<std::string>& paths);

// Returns the first difference between the taxa and node tables of `first` and of `chain`
// (ids, names, lengths bit for bit, taxon sets, in order), or an empty text when there is none.
std::string firstTableDifference(const Analysis& first, const Analysis& chain);

// Ends the process, naming the chain's file and the first difference, unless `chain` logs the
// tree of `first`.
void requireSameTables(const Analysis& first, const Analysis& chain);

// Drops the first `count` samples of a record that retained every sample line, with the
// faults among them.
void dropLeadingSamples(SampleRecord& record, int64_t count);

// Ends the process when the last of `records` holds the same samples as an earlier one, line
// for line after the burn-in (by their fingerprints), naming both logs; a record without
// samples is left to the check for none.
void refuseCopiedChain(const std::vector<SampleRecord>& records);

// Returns the global columns of the record's retained samples, in order (a replay).
ChainColumns chainColumns(SampleRecord& record);

// R-hat at or above this says the chains (or the halves of one) have not come to agree.
inline constexpr double kHighRhat = 1.01;

// The bulk or tail effective sample size per chain below which a series is reported.
inline constexpr double kLowSampleSizePerChain = 100.0;

// Returns the warning line about the series (when statistics were computed) and the global
// columns in `paramRows` whose R-hat is kHighRhat or more: how many of those with an R-hat,
// the worst and where; or an empty text when there are none.
std::string highRhatWarning(const Analysis& analysis, const std::vector<ParamsRow>& paramRows,
                            const std::vector<std::string>& fieldNames);

// Returns, for a run of several chains, the warning line about the series and columns whose
// bulk or tail effective sample size is below kLowSampleSizePerChain per chain (how many of
// those with either figure), or an empty text.
std::string lowBulkOrTailWarning(const Analysis& analysis, const std::vector<ParamsRow>& paramRows,
                                 const std::vector<std::string>& fieldNames);

// Returns, for a run of several chains that kept different numbers of samples, the warning
// line that gives each chain's count and the shortest's, to which the convergence figures cut
// every chain; or an empty text.
std::string unequalChainsWarning(const Analysis& analysis);

}  // namespace scalesum
