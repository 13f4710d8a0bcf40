#include "seriesmath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
    SampleSizeScratch scratch;
    EXPECT_NEAR(directSampleSize(values.data(), values.size(), scratch).ess, ess, 1e-12)
        << values.size();
  }
}

// The sample size written out the long way: every lag up to the cap, one at a time.
SampleSize plainSampleSize(const std::vector<double>& v) {
  const size_t n = v.size();
  const double mean = std::accumulate(v.begin(), v.end(), 0.0) / n;
  const size_t maxLag = std::min<size_t>(n - 1, 2000);
  std::vector<double> gamma(maxLag + 1);
  for (size_t k = 0; k <= maxLag; ++k) {
    for (size_t j = 0; j + k < n; ++j) gamma[k] += (v[j] - mean) * (v[j + k] - mean);
    gamma[k] /= n - k;
  }
  double variance = gamma[0];
  size_t k = 2;
  for (; k < maxLag && gamma[k - 1] + gamma[k] > 0; k += 2) {
    variance += 2 * (gamma[k - 1] + gamma[k]);
  }
  return {n * gamma[0] / variance, k - 2};
}

// An AR(1) series of n values with coefficient phi, starting at `start`.
std::vector<double> autoregressive(size_t n, double phi, double start, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise;
  std::vector<double> v(n);
  double x = start;
  for (double& value : v) value = x = phi * x + noise(random);
  return v;
}

// Runs of `run` ones and of `run` minus ones, each followed by `gap` zeros: the mean is exactly
// 0 and no two non-zero values lie run to gap lags apart, so the pair at lag run + 2 is exactly
// 0 after positive ones, and the transforms' rounding leaves it either side of zero.
std::vector<double> pulses(size_t run, size_t gap) {
  std::vector<double> v;
  for (int repeat = 0; repeat < 10; ++repeat) {
    for (double sign : {1.0, -1.0}) {
      v.insert(v.end(), run, sign);
      v.insert(v.end(), gap, 0.0);
    }
  }
  return v;
}

// Integers 0 to 3 that keep their value from one sample to the next nine times in ten.
std::vector<double> stickyIntegers(size_t n) {
  std::mt19937 random(5);
  std::vector<double> v(n);
  double x = 0;
  for (double& value : v) value = x = random() % 10 == 0 ? random() % 4 : x;
  return v;
}

TEST(SeriesMath, TransformedSampleSizesStopWhereTheDirectSumsStop) {
  struct Case {
    const char* name;
    std::vector<double> values;
    size_t reaches;  // the direct sums sum at least this far, so the case tests what it says
  };
  const Case cases[] = {
      {"constant", std::vector<double>(300, 2.5), 0},
      {"alternating", pulses(1, 0), 0},
      {"ties", stickyIntegers(5000), 18},
      {"AR(1) 0.999, to the cap", autoregressive(60000, 0.999, 0, 3), 1998},
      {"2 samples", {1, 2}, 0},
      {"3 samples", {1, 2, 4}, 0},
      {"a zero pair at 22", pulses(20, 30), 20},
      {"a zero pair at 20", pulses(18, 30), 18},
      {"a zero pair at 26", pulses(24, 40), 24},
      {"a zero pair at 66", pulses(64, 100), 64},
      {"a zero pair at 72", pulses(70, 110), 70},
      {"a zero pair at 90", pulses(88, 150), 88},
      {"white", autoregressive(20000, 0.0, 0, 11), 0},
      {"AR(1) 0.9", autoregressive(20000, 0.9, 0, 11), 18},
      {"drifting 100", autoregressive(100, 0.99, 40, 1), 18},
      {"drifting 1000", autoregressive(1000, 0.99, 40, 2), 18},
      {"drifting 10000", autoregressive(10000, 0.998, 40, 4), 18},
      {"drifting 30001", autoregressive(30001, 0.998, -40, 6), 18},
  };
  SampleSizeScratch scratch;
  for (const Case& c : cases) {
    const std::vector<double>& v = c.values;
    const SampleSize plain = plainSampleSize(v);
    const SampleSize direct = directSampleSize(v.data(), v.size(), scratch);
    const SampleSize fast = effectiveSampleSize(v.data(), v.size(), scratch);
    EXPECT_GE(direct.lags, c.reaches) << c.name;
    EXPECT_EQ(direct.lags, plain.lags) << c.name;
    EXPECT_EQ(fast.lags, direct.lags) << c.name;
    if (std::isnan(plain.ess)) {
      EXPECT_TRUE(std::isnan(direct.ess) && std::isnan(fast.ess)) << c.name;
      continue;
    }
    EXPECT_EQ(direct.ess, plain.ess) << c.name;
    EXPECT_LE(std::fabs(fast.ess - direct.ess), 1e-12 * direct.ess) << c.name;
    // Scaled copies take the lag sums just transformed; the values with their second half
    // negated are no copy at all, which only makes more pairs near zero be summed directly.
    // Either way the sum stops where the copy's own direct sums stop.
    for (const double scale : {0.37, 3.0, -1.0}) {
      std::vector<double> y = v;
      for (size_t i = 0; i < y.size(); ++i) y[i] *= scale > 0.0 ? scale : i < y.size() / 2 ? 1 : -1;
      SampleSizeScratch own, copy;
      const SampleSize want = directSampleSize(y.data(), y.size(), own);
      const SampleSize got = scaledSampleSize(y.data(), y.size(), std::fabs(scale), &scratch, copy);
      EXPECT_EQ(got.lags, want.lags) << c.name << " x " << scale;
      if (!std::isnan(want.ess)) {
        EXPECT_LE(std::fabs(got.ess - want.ess), 1e-12 * want.ess) << c.name << " x " << scale;
      }
    }
  }
  // A copy off by a little in one value, which turns the pair ending at lag 66 from negative,
  // as the source's is, to positive: only the slack's term for how far the copy lies from the
  // scaled source covers that, and the copy's own direct sums go on past it.
  std::vector<double> source = pulses(64, 100);
  for (double& value : source) value *= 1000.0;
  source[130] += 5e-4;  // between values of -1000 at lags 65 and 66 after it
  std::vector<double> copy = source;
  for (double& value : copy) value *= 0.37;
  copy[66] += 1e-3;  // between values of 1000 at lags 65 and 66 before it
  SampleSizeScratch of, own, work;
  EXPECT_EQ(effectiveSampleSize(source.data(), source.size(), of).lags, 64u);
  const SampleSize want = directSampleSize(copy.data(), copy.size(), own);
  EXPECT_EQ(want.lags, 96u);
  EXPECT_EQ(scaledSampleSize(copy.data(), copy.size(), 0.37, &of, work).lags, want.lags);
}

}  // namespace
}  // namespace scalesum
