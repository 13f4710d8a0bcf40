#include "KernelDensity.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace scalesum {
namespace {

bool sameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

DensitySummary summarise(const std::vector<double>& values) {
  DensitySummary summary = createDensitySummary(static_cast<int32_t>(values.size()), values.data());
  applyRobustBandwidth(summary);
  return summary;
}

TEST(DensitySummary, FourValuesKeepTheStandardDeviation) {
  const DensitySummary s = summarise({4, 1, 3, 2});
  EXPECT_EQ(s.sortedValues, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(s.mean, 2.5);
  EXPECT_EQ(s.median, 2.5);
  EXPECT_EQ(s.stdDev, std::sqrt((1.0 / 3) * 5.0));
  const double h = std::pow(4.0, -0.2) * (s.stdDev * 0.9);
  EXPECT_EQ(s.bandwidth, h);
  EXPECT_NEAR(h, 0.8806, 1e-4);
  EXPECT_EQ(s.gridLow, 1 - h * 3.0);
  EXPECT_EQ(s.gridHigh, h * 3.0 + 4);
}

TEST(DensitySummary, AnOutlierSwitchesToTheInterquartileRange) {
  const DensitySummary s = summarise({1, 2, 3, 4, 100});
  EXPECT_EQ(s.mean, 22);
  EXPECT_EQ(s.median, 3);
  EXPECT_NEAR(s.stdDev, 43.6177, 1e-4);
  EXPECT_EQ(s.bandwidth, std::pow(5.0, -0.2) * ((2 / 1.349) * 0.9));
  EXPECT_NEAR(s.gridLow, -1.9013, 1e-4);
  EXPECT_NEAR(s.gridHigh, 102.9013, 1e-4);
}

TEST(DensitySummary, OneAndTwoValues) {
  DensitySummary one = summarise({0.7});
  EXPECT_EQ(one.mean, 0.7);
  EXPECT_EQ(one.median, 0.7);
  EXPECT_TRUE(std::isnan(one.stdDev));
  EXPECT_TRUE(std::isnan(one.bandwidth));
  EXPECT_TRUE(std::isnan(findDensityMode(one)));
  DensitySummary two = summarise({3, 1});
  EXPECT_EQ(two.median, 2);
  EXPECT_EQ(two.stdDev, std::sqrt(2.0));
  EXPECT_EQ(two.bandwidth, std::pow(2.0, -0.2) * (std::sqrt(2.0) * 0.9));
}

TEST(DensitySummary, IdenticalValuesGiveTheValueAsMode) {
  DensitySummary ones = summarise(std::vector<double>(50, 1.0));
  EXPECT_EQ(ones.stdDev, 0);
  EXPECT_EQ(ones.bandwidth, 0);
  EXPECT_EQ(findDensityMode(ones), 1.0);
  // The mean of 1000 copies of 0.1 is inexact, the bandwidth tiny and the step too small to
  // move the running grid point: the search must still end, at one of its points.
  DensitySummary tenths = summarise(std::vector<double>(1000, 0.1));
  EXPECT_EQ(tenths.mean, 0.09999999999999859);
  EXPECT_GT(tenths.bandwidth, 0);
  EXPECT_LT(tenths.bandwidth, 1e-15);
  const double mode = findDensityModeReference(tenths);
  EXPECT_GE(mode, tenths.gridLow);
  EXPECT_LT(mode, tenths.gridHigh);
  EXPECT_EQ(findDensityMode(tenths), mode);
}

TEST(DensitySummary, NotANumberAndInfinities) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> values{2, nan, 1, 3, nan, 0.5};
  DensitySummary s = summarise(values);
  // The caller's array is left as it was; only the copy is sorted.
  EXPECT_EQ(values[0], 2);
  EXPECT_TRUE(std::isnan(values[1]));
  EXPECT_EQ(values[2], 1);
  EXPECT_EQ(std::vector<double>(s.sortedValues.begin(), s.sortedValues.begin() + 4),
            (std::vector<double>{0.5, 1, 2, 3}));
  EXPECT_TRUE(std::isnan(s.sortedValues[4]) && std::isnan(s.sortedValues[5]));
  EXPECT_TRUE(std::isnan(s.mean));
  EXPECT_TRUE(std::isnan(s.gridHigh));
  EXPECT_TRUE(sameBits(findDensityMode(s), s.gridLow));
  DensitySummary infinite = summarise({1, inf, 2});
  EXPECT_EQ(infinite.mean, inf);
  EXPECT_TRUE(std::isnan(infinite.stdDev));
  EXPECT_TRUE(sameBits(findDensityMode(infinite), findDensityModeReference(infinite)));
}

TEST(DensityMode, IsTheFirstGridPointOfGreatestDensity) {
  DensitySummary s = summarise({0, 0, 0, 10, 10, 10, 10.5, 0.5});
  const double mode = findDensityModeReference(s);
  double best = kernelDensityAt(s.gridLow, s);
  double first = s.gridLow;
  double x = s.gridLow;
  const double step = (s.gridHigh - s.gridLow) / 1000;
  int points = 0;
  for (; s.gridHigh > x; x = x + step, ++points) {
    if (kernelDensityAt(x, s) > best) {
      best = kernelDensityAt(x, s);
      first = x;
    }
  }
  EXPECT_EQ(mode, first);
  EXPECT_GE(points, 1000);
  EXPECT_LE(points, kMaxGridPoints);
}

TEST(CompareReals, TreatsNotANumberAsSmallerBothWays) {
  const double nan = std::nan("");
  EXPECT_EQ(compareReals(-0.0, 0.0), 0);
  EXPECT_EQ(compareReals(2, 1), 1);
  EXPECT_EQ(compareReals(1, 2), -1);
  EXPECT_EQ(compareReals(nan, 1), -1);
  EXPECT_EQ(compareReals(1, nan), -1);
}

}  // namespace
}  // namespace scalesum
