#include "stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "reference_report.h"
#include "samples.h"
#include "series.h"
#include "test_util.h"

namespace scalesum {
namespace {

TEST(Stats, IntervalsAndSampleSizesOfHandWorkedSeries) {
  struct Case {
    std::vector<double> sorted;
    double mass, lower, upper;
  };
  const Case cases[] = {
      {{3}, 0.95, 3, 3},
      {{1, 5}, 0.95, 1, 5},                             // d = 2
      {{1, 5}, 0.5, 1, 1},                              // d = 1: width 0 twice, the first wins
      {{0, 1, 2, 4, 7, 8, 9, 10, 20, 30}, 0.5, 4, 10},  // d = 5, widths 7 7 7 6 13 22
      {{0, 1, 2, 4, 7, 8, 9, 10, 20, 30}, 0.25, 0, 2},  // d = 3; width 2 at i = 0, 4, 5
      {{1, 1, 1, 2, 3}, 0.6, 1, 1},                     // ties
      {{0, 1, 2, 3, 4}, 0.4, 0, 1},                     // equal widths
      {{0, 1, 2, 3, 4}, 0.01, 0, 0},                    // d is at least 1
  };
  for (const Case& c : cases) {
    EXPECT_EQ(highestDensityInterval(c.sorted.data(), c.sorted.size(), c.mass),
              std::make_pair(c.lower, c.upper))
        << c.sorted.size() << " values, mass " << c.mass;
  }
  const std::pair<std::vector<double>, double> sizes[] = {
      {{1, 3}, 2},                          // no lag pair below maxLag = 1
      {{0, 0, 1, 2, 0, 3, 3}, 150 / 23.0},  // two positive pairs; k = 6 is not below maxLag = 6
      {{1, -1, 1, -1, 1, -1}, 6},           // the first pair sums to 0: stop
      {{1, 2, 3, 4, 5, 6}, 105 / 41.5},     // one positive pair (1.75 + 0.25), then a negative one
  };
  for (const auto& [values, ess] : sizes) {
    EXPECT_NEAR(effectiveSampleSize(values.data(), values.size()), ess, 1e-12) << values.size();
  }
}

// The sample size written out the long way: every lag up to the cap, one at a time.
double plainSampleSize(const std::vector<double>& v) {
  const size_t n = v.size();
  const double mean = std::accumulate(v.begin(), v.end(), 0.0) / n;
  const size_t maxLag = std::min<size_t>(n - 1, 2000);
  std::vector<double> gamma(maxLag + 1);
  for (size_t k = 0; k <= maxLag; ++k) {
    for (size_t j = 0; j + k < n; ++j) gamma[k] += (v[j] - mean) * (v[j + k] - mean);
    gamma[k] /= n - k;
  }
  double variance = gamma[0];
  for (size_t k = 2; k < maxLag && gamma[k - 1] + gamma[k] > 0; k += 2) {
    variance += 2 * (gamma[k - 1] + gamma[k]);
  }
  return n * gamma[0] / variance;
}

TEST(Stats, RandomChainsAgreeWithTheLongWay) {
  std::mt19937 random(11);
  std::normal_distribution<double> noise;
  for (double rho : {0.0, 0.5, 0.9}) {
    std::vector<double> chain(20000);
    double x = 0;
    for (double& value : chain) value = x = rho * x + noise(random);
    const double ess = effectiveSampleSize(chain.data(), chain.size());
    EXPECT_EQ(ess, plainSampleSize(chain)) << "rho " << rho;
    EXPECT_NEAR(ess / (20000 * (1 - rho) / (1 + rho)), 1, 0.2) << "rho " << rho;
  }
}

TEST(Stats, MissingValuesFollowTheirRules) {
  testing::TempDir dir;
  // Node 2 (position 1) is scaled in two samples; the third sample's sigma is not a number.
  auto a = testing::summarised(
      dir, testing::smallLog("0 0 0 1 0 1.5 0 2 2.0 0 Branch\n1 0 0 1 0 1.5 0 2 4.0 0 Branch\n"
                             "2 0 0 0 0 nan 0\n"));
  const SeriesStatistics root = seriesStatistics(*a, 0, Series::kScalar);
  EXPECT_EQ(root.n, 3);
  EXPECT_FALSE(root.mean || root.sd || root.median || root.mode || root.hpdLower || root.ess ||
               root.min || root.max);
  const SeriesStatistics scalar = seriesStatistics(*a, 1, Series::kScalar);
  EXPECT_TRUE(scalar.min == 1.0 && scalar.max == 4.0 && scalar.hpdUpper == 4.0 && scalar.ess &&
              scalar.sd && scalar.mode);
  const SeriesStatistics sigV = seriesStatistics(*a, 1, Series::kSigV);
  EXPECT_TRUE(std::isnan(*sigV.mean) && std::isnan(*sigV.max) &&
              !(sigV.hpdLower || sigV.hpdUpper || sigV.ess));
  const SeriesStatistics constant = seriesStatistics(*a, 2, Series::kScalar);  // never scaled
  EXPECT_TRUE(constant.hpdLower == 1.0 && !constant.ess);
  EXPECT_EQ(statisticByName(*a, 1, "scalar_max"), 4.0);
  EXPECT_DOUBLE_EQ(*statisticByName(*a, 1, "pct_changed"), 200.0 / 3);
  EXPECT_EQ(statisticByName(*a, 0, "deltav_ess"), std::nullopt);
  EXPECT_FALSE(isStatisticName("scalar_") || isStatisticName("Scalar_median") ||
               isStatisticName("scalar_changed") || isStatisticName("sigv__mean"));

  auto one = testing::summarised(dir, testing::smallLog("0 0 0 1 0 1.5 0 2 2.0 0 Branch\n"));
  const SeriesStatistics single = seriesStatistics(*one, 1, Series::kScalar);
  EXPECT_TRUE(single.mean && single.median && single.hpdLower && !single.sd && !single.mode &&
              !single.ess);
}

TEST(Stats, SharesScaledUpAndDownAgainstAPlainCount) {
  // Random chains over the small tree whose scalars include infinities, not-a-numbers, zeros,
  // ones, negatives and overflowing products; the root and uncovered lengths stay 0.
  const char* scalars[] = {"2", "0.5", "1", "inf", "nan", "0", "1e300", "-3", "1.0000001", "-inf"};
  std::mt19937 random(7);
  for (int round = 0; round < 4; ++round) {
    std::string samples;
    for (int i = 0; i < 30; ++i) {
      const int groups = static_cast<int>(random() % 4);
      samples += std::to_string(i) + " 0 0 " + std::to_string(groups) + " 0 1 0";
      for (int g = 0; g < groups; ++g) {
        const std::string node = std::to_string(2 + random() % 6);
        const char* scalar = scalars[random() % 10];
        samples += " " + node + " " + scalar + (random() % 2 ? " 0 Node" : " 0 Branch");
      }
      samples += "\n";
    }
    const std::string log = testing::smallLog(samples);
    testing::TempDir dir;
    const auto a = testing::summarised(dir, log);
    const std::optional<testing::ReferenceRun> run = testing::referenceRun(log, 0);
    ASSERT_TRUE(run);
    for (size_t j = 0; j < run->rows.size(); ++j) {
      const testing::ReferenceRun::Row& row = run->rows[j];
      int up = 0, down = 0;
      for (double length : row.history) {
        const double scalar = length / row.length;
        up += scalar > 1;
        down += scalar < 1;
      }
      EXPECT_EQ(percentUp(*a, j), up / 30.0 * 100.0) << samples << j;
      EXPECT_EQ(percentDown(*a, j), down / 30.0 * 100.0) << samples << j;
      EXPECT_EQ(statisticByName(*a, j, "pct_up"), percentUp(*a, j));
      EXPECT_EQ(credibleShift(*a, j, 60.0), up >= 18 ? 1 : (down >= 18 ? -1 : 0));
    }
  }
}

}  // namespace
}  // namespace scalesum
