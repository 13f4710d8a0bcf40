#include "KernelDensity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace scalesum {
namespace {

DensitySummary summarise(const std::vector<double>& values) {
  DensitySummary summary = createDensitySummary(static_cast<int32_t>(values.size()), values.data());
  applyRobustBandwidth(summary);
  return summary;
}

// Equal, or both not-a-number.
void expectSame(double actual, double expected) {
  EXPECT_TRUE(std::isnan(expected) ? std::isnan(actual) : actual == expected) << actual;
}

// The moments, and the robust bandwidth: the standard deviation, or the interquartile range over
// 1.349 where that is smaller and not zero; the grid reaches three bandwidths beyond the values.
TEST(DensitySummary, MomentsBandwidthAndGridFollowTheRobustRule) {
  const double nan = std::nan(""), sd = std::sqrt((1.0 / 3) * 5);
  const struct {
    std::vector<double> values;
    double mean, median, stdDev, bandwidth;
  } cases[] = {
      {{4, 1, 3, 2}, 2.5, 2.5, sd, std::pow(4, -0.2) * (sd * 0.9)},
      {{1, 2, 3, 4, 100}, 22, 3, std::sqrt(0.25 * 7610), std::pow(5, -0.2) * ((2 / 1.349) * 0.9)},
      {{3, 1}, 2, 2, std::sqrt(2.0), std::pow(2, -0.2) * (std::sqrt(2.0) * 0.9)},
      {{0.7}, 0.7, 0.7, nan, nan},
      {std::vector<double>(50, 1.0), 1, 1, 0, 0},
      {{1, HUGE_VAL, 2}, HUGE_VAL, 2, nan, nan},
  };
  for (const auto& c : cases) {
    const DensitySummary s = summarise(c.values);
    std::vector<double> sorted = c.values;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(s.mean, c.mean);
    EXPECT_EQ(s.median, c.median);
    expectSame(s.stdDev, c.stdDev);
    expectSame(s.bandwidth, c.bandwidth);
    expectSame(s.gridLow, sorted.front() - c.bandwidth * 3.0);
    expectSame(s.gridHigh, c.bandwidth * 3.0 + sorted.back());
  }
}

}  // namespace
}  // namespace scalesum
