#include "statistic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "reference_report.h"
#include "series.h"
#include "test_util.h"

namespace scalesum {
namespace {

TEST(Statistic, MissingValuesFollowTheirRules) {
  // Node 2 (position 1) is scaled in two samples; the third sample's sigma is not a number.
  auto a = testing::summarised(
      testing::smallLog("0 0 0 1 0 1.5 0 2 2.0 0 Branch\n1 0 0 1 0 1.5 0 2 4.0 0 Branch\n"
                        "2 0 0 0 0 nan 0\n"));
  const SeriesStatistics scalar = seriesStatistics(a->tree, a->results, 1, Series::kScalar);
  EXPECT_TRUE(scalar.min == 1.0 && scalar.max == 4.0 && scalar.hpdUpper == 4.0 && scalar.ess &&
              scalar.sd && scalar.mode);
  const SeriesStatistics sigV = seriesStatistics(a->tree, a->results, 1, Series::kSigV);
  EXPECT_TRUE(std::isnan(*sigV.mean) && std::isnan(*sigV.max) &&
              !(sigV.hpdLower || sigV.hpdUpper || sigV.ess));
  const SeriesStatistics constant =
      seriesStatistics(a->tree, a->results, 2, Series::kScalar);  // never scaled
  EXPECT_TRUE(constant.hpdLower == 1.0 && !constant.ess);
  EXPECT_EQ(statisticByName(a->tree, a->results, 1, "scalar_max"), 4.0);
  EXPECT_DOUBLE_EQ(*statisticByName(a->tree, a->results, 1, "pct_changed"), 200.0 / 3);
  EXPECT_FALSE(isStatisticName("scalar_") || isStatisticName("Scalar_median") ||
               isStatisticName("scalar_changed") || isStatisticName("sigv__mean"));
  // One sample has no mode (nor a spread or a sample size, which the params table shows).
  auto one = testing::summarised(testing::smallLog("0 0 0 1 0 1.5 0 2 2.0 0 Branch\n"));
  EXPECT_FALSE(seriesStatistics(one->tree, one->results, 1, Series::kScalar).mode);
}

TEST(Statistic, SharesScaledUpAndDownAgainstAPlainCount) {
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
    const auto a = testing::summarised(log);
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
      EXPECT_EQ(percentUp(a->results, j), up / 30.0 * 100.0) << samples << j;
      EXPECT_EQ(percentDown(a->results, j), down / 30.0 * 100.0) << samples << j;
      EXPECT_EQ(statisticByName(a->tree, a->results, j, "pct_up"), percentUp(a->results, j));
      EXPECT_EQ(credibleShift(a->results, j, 60.0), up >= 18 ? 1 : (down >= 18 ? -1 : 0));
    }
  }
}

TEST(Statistic, BayesFactorIsTheOddsRatioWithItsLimits) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    int64_t hits, count, priorHits, priorCount;
    double factor;  // NaN: NA
  };
  const double na = std::nan("");
  const Case cases[] = {
      {3, 4, 1, 4, 9.0},
      {1, 4, 1, 4, 1.0},
      {1, 4, 3, 4, 1.0 / 9.0},
      {4, 4, 1, 4, kInf},
      {2, 4, 0, 4, kInf},
      {0, 4, 1, 4, 0.0},
      {2, 4, 4, 4, 0.0},
      {0, 4, 0, 9, na},
      {4, 4, 9, 9, na},
      {1, 0, 1, 4, na},
      {1, 3, 1, 1000000, (0.5) / (1.0 / 999999.0)},
  };
  for (const Case& c : cases) {
    const double factor = bayesFactor(c.hits, c.count, c.priorHits, c.priorCount);
    if (std::isnan(c.factor)) {
      EXPECT_TRUE(std::isnan(factor)) << c.hits << "/" << c.count << " " << c.priorHits;
    } else {
      EXPECT_DOUBLE_EQ(factor, c.factor) << c.hits << "/" << c.count << " " << c.priorHits;
    }
  }
}

}  // namespace
}  // namespace scalesum
