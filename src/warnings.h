#pragma once

#include <string>
#include <vector>

#include "params.h"
#include "results.h"
#include "tree.h"
#include "verdict.h"

namespace scalesum {

// Returns, for a run of several chains that kept different numbers of samples, the warning
// line that gives each chain's count and the shortest's, to which the convergence figures cut
// every chain; or an empty text.
std::string unequalChainsWarning(const Results& results);

// Returns the warning line about the series (when statistics were computed) and the global
// columns in `paramRows` whose R-hat breaks the threshold: how many of those with an R-hat,
// the worst and where; or an empty text when there are none.
std::string highRhatWarning(const Tree& tree, const Results& results,
                            const std::vector<ParamsRow>& paramRows,
                            const std::vector<std::string>& fieldNames,
                            const Thresholds& thresholds = {});

// Returns the warning line about the series whose effective sample size is below the Tracer
// threshold, or an empty text when there are none.
std::string lowSampleSizeWarning(const Tree& tree, const Results& results,
                                 const Thresholds& thresholds = {});

// Returns, for a run of several chains, the warning line about the series and columns whose
// bulk or tail effective sample size breaks its threshold (how many of those with either
// figure), or an empty text.
std::string lowBulkOrTailWarning(const Tree& tree, const Results& results,
                                 const std::vector<ParamsRow>& paramRows,
                                 const std::vector<std::string>& fieldNames,
                                 const Thresholds& thresholds = {});

// Returns the warning line that counts the branches with an infinite Bayes factor, of those
// with any, or an empty text when there is none.
std::string infiniteBayesFactorWarning(const Tree& tree, const Results& results);

}  // namespace scalesum
