#include "KernelDensity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
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

constexpr double kInf = HUGE_VAL, kTiny = 5e-324;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The sort gives the bits of a comparison sort that puts -0 before +0, with not-a-number values
// behind the numbers in their first order, for every kind of series, in its own order, sorted and
// reversed or nearly sorted, at sizes on both sides of where the radix sort takes over.
TEST(SortReals, GivesTheBitsOfTheComparisonSortInTheTotalOrder) {
  const struct {
    const char* name;
    double (*value)(std::mt19937_64&, size_t);
  } kinds[] = {
      {"zeros and infinities",
       [](std::mt19937_64& r, size_t) {
         const double pick[] = {0.0, -0.0, kInf, -kInf, 1.0, -1.0};
         return pick[r() % 6];
       }},
      {"subnormals",
       [](std::mt19937_64& r, size_t) {
         return (r() % 2 ? -kTiny : kTiny) * static_cast<double>(r() % 50) +
                (r() % 9 == 0 ? 2.2250738585072014e-308 : 0.0);
       }},
      {"not-a-number among numbers",
       [](std::mt19937_64& r, size_t i) {
         return i % 7 == 3 ? (i % 2 ? -kNaN : std::nan("5"))
                           : static_cast<double>(r() % 1000) - 500;
       }},
      {"few values", [](std::mt19937_64& r, size_t) { return static_cast<double>(r() % 3); }},
      {"one value", [](std::mt19937_64&, size_t) { return 2.5; }},
      {"every exponent",
       [](std::mt19937_64& r, size_t) {
         return std::ldexp(std::uniform_real_distribution<double>(-1, 1)(r),
                           static_cast<int>(r() % 2100) - 1074);
       }},
      {"one far outlier",
       [](std::mt19937_64& r, size_t i) {
         return i == 100 ? 1e300 : 1.0 + std::uniform_real_distribution<double>(0, 1e-3)(r);
       }},
      {"neighbouring bits",
       [](std::mt19937_64& r, size_t) {
         return std::nextafter(1.0, 2.0 + static_cast<double>(r() % 40)) -
                static_cast<double>(r() % 2) * 1e-16;
       }},
      {"mostly ones",
       [](std::mt19937_64& r, size_t) {
         return r() % 10 < 7 ? 1.0 : std::exp(std::normal_distribution<double>()(r));
       }},
  };
  std::mt19937_64 rng(5);
  for (const auto& kind : kinds) {
    for (size_t n : {2, 255, 256, 257, 5000}) {
      std::vector<double> given(n);
      for (size_t i = 0; i < n; ++i) given[i] = kind.value(rng, i);
      std::vector<double> expected = given;
      auto numbersEnd = std::stable_partition(expected.begin(), expected.end(),
                                              [](double x) { return !std::isnan(x); });
      std::sort(expected.begin(), numbersEnd, [](double a, double b) {
        return a < b || (a == b && std::signbit(a) && !std::signbit(b));
      });
      std::vector<double> ascending = expected, descending = expected;
      std::reverse(descending.begin(), numbersEnd - expected.begin() + descending.begin());
      std::vector<double> nearlySorted = ascending;
      const auto numbers = numbersEnd - expected.begin();
      if (numbers >= 2) std::swap(nearlySorted[numbers - 2], nearlySorted[numbers - 1]);
      for (std::vector<double> v : {given, ascending, descending, nearlySorted}) {
        sortReals(v.data(), static_cast<int32_t>(n));
        ASSERT_EQ(std::memcmp(v.data(), expected.data(), n * sizeof(double)), 0)
            << kind.name << ", " << n << " values";
      }
    }
  }
}

}  // namespace
}  // namespace scalesum
