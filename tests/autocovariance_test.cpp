#include "autocovariance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace scalesum {
namespace {

// The lag sums as a plain radix-2 transform forms them, one stage at a time over complex points
// with the same roots, pairs of sequences and power spectra: the reference that the fused,
// vectorised and pruned stages must reproduce bit for bit.
std::vector<double> stageByStage(const std::vector<double>& x, size_t n, size_t count,
                                 size_t lags) {
  using C = std::complex<double>;
  size_t size = 1;
  while (size < n + lags - 1) size *= 2;
  auto root = [](size_t k, size_t h) {
    if (h >= 2 && 2 * k == h) return C(0.0, -1.0);
    const long double angle = 3.141592653589793238462643383279502884L * k / h;
    return C(static_cast<double>(std::cos(angle)), static_cast<double>(-std::sin(angle)));
  };
  // Complex products as the butterflies write them out.
  auto times = [](C a, C w) {
    return C(a.real() * w.real() - a.imag() * w.imag(), a.real() * w.imag() + a.imag() * w.real());
  };
  std::vector<double> power(size, 0.0);
  for (size_t j = 0; j < count; j += 2) {
    std::vector<C> z(size);
    for (size_t i = 0; i < n; ++i) z[i] = C(x[j * n + i], j + 1 < count ? x[(j + 1) * n + i] : 0.0);
    for (size_t h = size / 2; h >= 1; h /= 2) {
      for (size_t start = 0; start < size; start += 2 * h) {
        for (size_t k = 0; k < h; ++k) {
          const C a = z[start + k], b = z[start + k + h];
          z[start + k] = C(a.real() + b.real(), a.imag() + b.imag());
          z[start + k + h] = times(C(a.real() - b.real(), a.imag() - b.imag()), root(k, h));
        }
      }
    }
    auto pair = [&](size_t p, size_t q) {
      const double sr = z[p].real() + z[q].real(), si = z[p].imag() - z[q].imag();
      const double dr = z[p].real() - z[q].real(), di = z[p].imag() + z[q].imag();
      const double both = (sr * sr + si * si) + (dr * dr + di * di);
      power[p] += both;
      if (q != p) power[q] += both;
    };
    pair(0, 0);
    for (size_t block = 1; block < size; block *= 2) {
      for (size_t p = block; p < block + (block + 1) / 2; ++p) pair(p, 3 * block - 1 - p);
    }
  }
  std::vector<C> y(power.begin(), power.end());
  for (size_t h = 1; h < size; h *= 2) {
    for (size_t start = 0; start < size; start += 2 * h) {
      for (size_t k = 0; k < h; ++k) {
        const C w = root(k, h), b = y[start + k + h];
        const C v(b.real() * w.real() + b.imag() * w.imag(),
                  b.imag() * w.real() - b.real() * w.imag());
        const C a = y[start + k];
        y[start + k] = C(a.real() + v.real(), a.imag() + v.imag());
        y[start + k + h] = C(a.real() - v.real(), a.imag() - v.imag());
      }
    }
  }
  std::vector<double> sums(lags);
  for (size_t t = 0; t < lags; ++t)
    sums[t] = y[t].real() * (1.0 / (4.0 * static_cast<double>(size)));
  return sums;
}

// Sizes with an odd and an even number of stages, on both sides of powers of two, one sequence
// to five, one of them scaled far down, every lag or the first few (whose smaller transforms
// hold values in their upper halves too): every lag sum is the stage-by-stage transform's to
// the last bit, whatever vector width the processor offers. The sizes grow, so the table of
// roots that every transform shares grows from its start again and again. (The convergence figures
// of long chains, which these sums give, are held against the reference implementation.)
TEST(LagProducts, AreThoseOfTheTransformStageByStage) {
  std::mt19937_64 random(5);
  std::normal_distribution<double> noise;
  LagScratch scratch;
  for (size_t n : {1, 2, 3, 5, 9, 17, 32, 33, 100, 1125, 2100}) {
    for (size_t count : {1, 2, 5}) {
      std::vector<double> x(count * n);
      double level = 0.0;
      for (size_t i = 0; i < x.size(); ++i) {
        level = 0.95 * level + noise(random);
        x[i] = i < n ? 1e-6 * level : level;
      }
      for (size_t lags : {n, n / 3 + 1}) {
        std::vector<double> got(lags);
        sumLagProducts(x.data(), n, count, lags, got.data(), scratch, LagTransform::kWhole);
        const std::vector<double> want = stageByStage(x, n, count, lags);
        for (size_t t = 0; t < lags; ++t) {
          ASSERT_EQ(got[t], want[t])
              << n << " values, " << count << " sequences, lag " << t << " of " << lags;
        }
      }
    }
  }
}

// The halved transforms round differently, so they are held against sums of products formed
// one by one in extended precision: within a few units of rounding of the lag-0 sum, which a
// wrong sign, root or position anywhere would miss by far, on every length parity and size.
TEST(LagProducts, HalvedTransformsAreTheSumsOfProducts) {
  std::mt19937_64 random(7);
  std::normal_distribution<double> noise;
  LagScratch scratch;
  for (size_t n : {2, 3, 4, 5, 8, 17, 33, 100, 1125, 2100}) {
    for (size_t count : {1, 2, 5}) {
      std::vector<double> x(count * n);
      for (double& v : x) v = noise(random) + 0.3;
      for (size_t lags : {n, n / 3 + 1}) {
        std::vector<double> got(lags);
        sumLagProducts(x.data(), n, count, lags, got.data(), scratch, LagTransform::kHalved);
        long double lag0 = 0.0L;
        for (double v : x) lag0 += static_cast<long double>(v) * v;
        for (size_t t = 0; t < lags; ++t) {
          long double want = 0.0L;
          for (size_t j = 0; j < count; ++j) {
            const double* c = x.data() + j * n;
            for (size_t i = 0; i + t < n; ++i) want += static_cast<long double>(c[i]) * c[i + t];
          }
          ASSERT_LE(std::fabs(got[t] - static_cast<double>(want)),
                    1e-14 * static_cast<double>(lag0))
              << n << " values, " << count << " sequences, lag " << t << " of " << lags;
        }
      }
    }
  }
}

}  // namespace
}  // namespace scalesum
