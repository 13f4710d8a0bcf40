#include "autocovariance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace scalesum {
namespace {

// The lag sums of x, summed directly in extended precision.
std::vector<long double> directSums(const std::vector<double>& x) {
  std::vector<long double> sums(x.size(), 0.0L);
  for (size_t t = 0; t < x.size(); ++t) {
    for (size_t i = 0; i + t < x.size(); ++i) sums[t] += static_cast<long double>(x[i]) * x[i + t];
  }
  return sums;
}

// Lengths on both sides of powers of two, where the padding changes; one, two and three
// sequences (an odd one out transformed alone), one of them much smaller than the others: each
// lag must come out as the direct sums do, to within rounding of the sum at lag 0, and the last
// lags must not catch the first ones wrapping round.
TEST(LagProducts, MatchDirectSumsAtEveryLag) {
  std::mt19937_64 random(3);
  std::normal_distribution<double> noise;
  LagScratch scratch;
  for (size_t n : {1, 2, 3, 4, 5, 31, 32, 33, 500, 1250}) {
    std::vector<double> x(3 * n);
    double level = 0.0;
    for (size_t i = 0; i < 3 * n; ++i) {
      level = 0.9 * level + noise(random);
      x[i] = i < n ? 1e-3 * noise(random) : level;
    }
    for (size_t count = 1; count <= 3; ++count) {
      std::vector<long double> want(n, 0.0L);
      for (size_t j = 0; j < count; ++j) {
        const std::vector<double> one(x.begin() + j * n, x.begin() + (j + 1) * n);
        const std::vector<long double> sums = directSums(one);
        for (size_t t = 0; t < n; ++t) want[t] += sums[t];
      }
      std::vector<double> got(n);
      sumLagProducts(x.data(), n, count, got.data(), scratch);
      for (size_t t = 0; t < n; ++t) {
        EXPECT_NEAR(got[t], static_cast<double>(want[t]), 1e-14 * static_cast<double>(want[0]))
            << n << " values, " << count << " sequences, lag " << t;
      }
    }
  }
}

}  // namespace
}  // namespace scalesum
