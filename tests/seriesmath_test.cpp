#include "seriesmath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

namespace scalesum {
namespace {

TEST(SeriesMath, IntervalsAndSampleSizesOfHandWorkedSeries) {
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
      {{0, 1, 2, 3, 3.5}, 0.4, 3, 3.5},                 // d = 2: the last window is narrowest
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

TEST(SeriesMath, RandomChainsAgreeWithTheLongWay) {
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

}  // namespace
}  // namespace scalesum
