#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "records.h"

namespace scalesum {

// The names of the series in the statistics file, indexed by Series.
inline constexpr const char* kSeriesNames[kSeriesCount] = {"scalar", "sigv", "deltab", "deltav"};

// The statistics of one series of one node as the statistics file gives them; a value that
// does not exist is empty and is written NA.
struct SeriesStatistics {
  int32_t n = 0;
  std::optional<double> mean, sd, median, mode, hpdLower, hpdUpper, ess, min, max;
  std::optional<double> rhat, essBulk, essTail;  // whether the chains agree
};

// Returns the statistics of n values summarised into `r`, NA rules applied: no standard
// deviation or mode for a single value, no interval or sample size unless every value is
// finite, and no sample size for a constant series.
SeriesStatistics reportedStatistics(const SeriesResult& r, int32_t n);

// Returns the statistics of series `series` of the node at `position`, NA rules applied.
SeriesStatistics seriesStatistics(const Analysis& analysis, size_t position, Series series);

// Returns the share of the applied samples, in percent, in which the Scalar of the node at
// `position` was above 1.
double percentUp(const Analysis& analysis, size_t position);

// Returns the same share for a Scalar below 1.
double percentDown(const Analysis& analysis, size_t position);

// Returns +1 when the node at `position` is a credible increase (pct_up >= `percent`), -1 for a
// credible decrease (pct_down >= `percent`), else 0; `percent` is above 50.
int credibleShift(const Analysis& analysis, size_t position, double percent);

// Returns the line that tells how many nodes are credible increases and decreases at
// `percent`.
std::string credibleShiftsLine(const Analysis& analysis, double percent);

// Returns whether `name` is a statistic that branches can be coloured by: any
// "<series>_<statistic>" column of the statistics file, "pct_changed", "pct_up" or
// "pct_down".
bool isStatisticName(std::string_view name);

// Returns the value of the statistic `name` (see isStatisticName; "changed" too) of the node
// at `position`, empty where the statistics file has NA.
std::optional<double> statisticByName(const Analysis& analysis, size_t position,
                                      std::string_view name);

// Appends the shortest text that reads back as `value`, "nan" for any not-a-number.
void appendStatisticNumber(std::string& line, double value);

// Appends a tab and the value as appendStatisticNumber writes it, or a tab and NA when empty.
void appendStatisticCell(std::string& line, const std::optional<double>& value);

// Writes the whole statistics file: a header line, then one line per node and series.
void writeStatistics(FILE* out, const Analysis& analysis);

// What an end-of-run warning says of the figures it examined: how many of them it counts, and
// the most extreme of those and where it is.
struct FigureCount {
  int count = 0;
  int total = 0;  // the figures examined: those that exist (NA is no figure)
  double extreme = 0.0;
  std::string where;
};

// Returns the warning line "<count> of <total> <items> have <measure>, the <extremeName>
// <extreme> (<where>); the chain[s] <closing>", the extreme with `decimals` decimals and
// "chains" for a run of several `chains`; or an empty text when the count is 0.
std::string figureWarning(const FigureCount& figures, const char* items, const char* measure,
                          const char* extremeName, int decimals, size_t chains,
                          const char* closing);

// The effective sample size below which a series is reported as possibly too short.
inline constexpr double kLowSampleSize = 200.0;

// Returns the warning line about the rows whose effective sample size is below kLowSampleSize,
// or an empty text when there are none.
std::string lowSampleSizeWarning(const Analysis& analysis);

}  // namespace scalesum
