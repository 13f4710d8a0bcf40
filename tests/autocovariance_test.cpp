#include "autocovariance.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Lengths on both sides of powers of two, where the padding changes, and two sequences of very
// different size in one transform: each lag must come out as the direct sum does, to within
// rounding of the larger sequence's sum of squares, and the last lags must not catch the first
// ones wrapping round.
TEST(LagProducts, MatchDirectSumsAtEveryLag) {
  std::mt19937_64 random(3);
  std::normal_distribution<double> noise;
  LagScratch scratch;
  for (size_t n : {1, 2, 3, 4, 5, 31, 32, 33, 500, 1250}) {
    std::vector<double> a(n), b(n);
    double x = 0.0;
    for (size_t i = 0; i < n; ++i) {
      x = 0.9 * x + noise(random);
      a[i] = x;
      b[i] = 1e-3 * noise(random);
    }
    std::vector<double> sumsA(n), sumsB(n), alone(n);
    sumLagProducts(a.data(), b.data(), n, sumsA.data(), sumsB.data(), scratch);
    sumLagProducts(b.data(), nullptr, n, alone.data(), nullptr, scratch);
    const std::vector<long double> wantA = directSums(a), wantB = directSums(b);
    const double scale = static_cast<double>(std::max(wantA[0], wantB[0]));
    for (size_t t = 0; t < n; ++t) {
      EXPECT_NEAR(sumsA[t], static_cast<double>(wantA[t]), 1e-14 * scale) << n << " lag " << t;
      EXPECT_NEAR(sumsB[t], static_cast<double>(wantB[t]), 1e-14 * scale) << n << " lag " << t;
      EXPECT_NEAR(alone[t], static_cast<double>(wantB[t]), 1e-14 * static_cast<double>(wantB[0]))
          << n << " lag " << t;
    }
  }
}

}  // namespace
}  // namespace scalesum
