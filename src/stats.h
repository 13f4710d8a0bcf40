#pragma once

#include <cstddef>
#include <string>

#include "records.h"

namespace scalesum {

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
