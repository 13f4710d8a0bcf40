#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "results.h"
#include "tree.h"

namespace scalesum {

// The names of the series in the statistics file, indexed by Series.
inline constexpr const char* kSeriesNames[kSeriesCount] = {"scalar", "sigv", "deltab", "deltav"};

// The statistics of one series of one node as the statistics file gives them; a value that
// does not exist is empty and is written NA.
struct SeriesStatistics {
  int32_t n = 0;
  std::optional<double> mean, sd, median, mode, hpdLower, hpdUpper, ess, min, max;
  std::optional<double> rhat, essBulk, essTail;        // whether the chains agree
  std::optional<double> mcseMean, mcseSd, mcseMedian;  // the Monte Carlo errors
  bool lengthless = false;  // the node's logged length is 0, which no share can scale
};

// Returns the statistics of n values summarised into `r`, NA rules applied: no standard
// deviation or mode for a single value, no interval or sample size unless every value is
// finite, and no sample size for a constant series.
SeriesStatistics reportedStatistics(const SeriesResult& r, int32_t n);

// Returns the statistics of series `series` of the node at `position`, NA rules applied.
SeriesStatistics seriesStatistics(const Tree& tree, const Results& results, size_t position,
                                  Series series);

// Returns the share of the applied samples, in percent, that changed the node at `position`.
double percentChanged(const Results& results, size_t position);

// Returns the share of the applied samples, in percent, in which the Scalar of the node at
// `position` was above 1.
double percentUp(const Results& results, size_t position);

// Returns the same share for a Scalar below 1.
double percentDown(const Results& results, size_t position);

// Returns the share of the prior logs' retained samples, in percent, of which `count` is a
// count; empty without prior logs.
std::optional<double> priorPercent(const Results& results, int64_t count);

// Returns the Bayes factor of a share: the odds of `hits` of `count` samples over the odds of
// `priorHits` of `priorCount`, from the counts themselves; infinite when only the first share
// is 1 or only the second is 0, 0 in the mirror cases, and not-a-number when both shares are 0
// or both are 1 (or a count is 0).
double bayesFactor(int64_t hits, int64_t count, int64_t priorHits, int64_t priorCount);

// Returns +1 when the node at `position` is a credible increase (pct_up >= `percent`), -1 for a
// credible decrease (pct_down >= `percent`), else 0; `percent` is above 50.
int credibleShift(const Results& results, size_t position, double percent);

// Returns the line that tells how many nodes are credible increases and decreases at
// `percent`.
std::string credibleShiftsLine(const Tree& tree, const Results& results, double percent);

// One column of the statistics file, after node_id, taxa and series: the name of its header
// cell and its value on the row of one node and series (empty: NA). A per-node column repeats
// on the node's four rows and colours branches by its bare name; a per-series one by
// "<series>_<name>".
// How a column's cells are written: a real, a whole number (never in exponent form), or a
// ratio whose infinity is written Inf.
enum class Cell { kReal, kCount, kRatio };

struct StatisticColumn {
  const char* name;
  bool perNode;
  Cell form;
  std::optional<double> (*value)(const Results& results, size_t position,
                                 const SeriesStatistics& s);
};

// Returns the columns of the statistics file in file order.
std::span<const StatisticColumn> statisticColumns();

// Returns whether `name` is a statistic that branches can be coloured by: any
// "<series>_<statistic>" column of the statistics file, "pct_changed", "pct_up" or
// "pct_down".
bool isStatisticName(std::string_view name);

// Returns the value of the statistic `name` (see isStatisticName; "changed" too) of the node
// at `position`, empty where the statistics file has NA.
std::optional<double> statisticByName(const Tree& tree, const Results& results, size_t position,
                                      std::string_view name);

}  // namespace scalesum
