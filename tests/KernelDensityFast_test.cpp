#include "KernelDensityFast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace scalesum {
namespace {

std::vector<uint64_t> bits(const std::vector<double>& v) {
  std::vector<uint64_t> b(v.size());
  if (!v.empty()) std::memcpy(b.data(), v.data(), sizeof(double) * v.size());
  return b;
}

DensitySummary summaryOf(std::vector<double> v) {
  DensitySummary s = createDensitySummary(static_cast<int32_t>(v.size()), v.data());
  applyRobustBandwidth(s);
  return s;
}

// A summary with the bandwidth and grid given and the values left in the order given.
DensitySummary manual(std::vector<double> v, double h, double low, double high) {
  return {v, static_cast<int32_t>(v.size()), h, low, high};
}

using Rng = std::mt19937_64;
const auto unit = [](Rng& r) { return std::uniform_real_distribution<double>(0, 1)(r); };
const auto normal = [](Rng& r) { return std::normal_distribution<double>(0, 1)(r); };
const auto logNormal = [](Rng& r) { return std::exp(normal(r)); };
const auto twoPeaks = [](Rng& r) { return unit(r) < 0.5 ? normal(r) : 6 + normal(r); };

std::vector<double> draw(size_t n, uint64_t seed, double (*f)(Rng&)) {
  Rng rng(seed);
  std::vector<double> v(n);
  for (double& x : v) x = f(rng);
  return v;
}

// The shapes every engine must get right: smooth, heavy-tailed, tied, mostly one value,
// degenerate, and hand-made grids whose terms fall in every range of the exp: exact hits
// (exponent -0), normal results below -512, the subnormal band, the far tail and -infinity.
std::vector<std::pair<std::string, DensitySummary>> shapes() {
  std::vector<double> comb = draw(200, 8, unit), runs{-0.0, 0.0, -0.0};
  for (size_t i = 0; i < comb.size(); ++i) comb[i] = 0.7 * static_cast<double>(i) + 0.1 * comb[i];
  for (int r = 0; r < 12; ++r) runs.insert(runs.end(), 1 + r * r * 7u, 0.3 * r * r);
  // Two mirror-image clusters: the peaks' densities differ in the last bits, if at all.
  std::vector<double> mirrored = draw(800, 7, normal);
  for (size_t i = 0; i < 400; ++i) mirrored[i + 400] = 10 - mirrored[i];
  return {
      {"log-normal", summaryOf(draw(1500, 1, logNormal))},
      {"wide", summaryOf(draw(700, 2, [](Rng& r) { return std::exp(4 * normal(r)); }))},
      {"pareto", summaryOf(draw(1200, 3, [](Rng& r) { return std::pow(unit(r), -1.4); }))},
      {"cauchy", summaryOf(draw(1200, 4, [](Rng& r) { return normal(r) / normal(r); }))},
      {"ties", summaryOf(draw(1500, 5, [](Rng& r) { return std::round(normal(r) * 20) / 8; }))},
      {"70% ones",
       summaryOf(draw(2000, 6, [](Rng& r) { return unit(r) < 0.7 ? 1 : logNormal(r); }))},
      {"runs, signed zeros", summaryOf(runs)},
      {"mirrored peaks", summaryOf(mirrored)},
      {"far from zero", summaryOf(draw(1000, 9, [](Rng& r) { return 1e9 + normal(r) * 1e-3; }))},
      {"bimodal, coarse",
       summaryOf(draw(3000, 10, [](Rng& r) { return std::round(twoPeaks(r) * 4) / 4; }))},
      {"n = 1", summaryOf({2.5})},
      {"n = 2", summaryOf({0.75, 3.0})},
      {"n = 3", summaryOf({1, 1, 1e-300})},
      {"constant", summaryOf(std::vector<double>(50, 1.0))},
      {"tiny bandwidth", summaryOf(std::vector<double>(1000, 0.1))},
      {"not-a-number", summaryOf({2, std::nan(""), 1, 3, 1})},
      {"infinities", summaryOf({1, HUGE_VAL, 2, -HUGE_VAL, 3})},
      {"exact hits", manual({-0.0, 0.0, 1, 2, 2, 3, 37, 38.5, 60, 250}, 1, -100, 400)},
      {"subnormal band", manual(comb, 1, -50, 190)},
      {"band runs", manual({0, 0, 0, 30, 30, 38, 38, 38, 76, 76}, 0.9, -40, 120)},
      {"overflowing exponent", manual({0, 1e-3, 2, 1e300}, 1e-5, -0.01, 2.01)},
      {"all densities zero", manual({0.05, 100.05}, 1e-3, -50, 150)},
      {"huge bandwidth", manual(std::vector<double>(16, 1.0), 0x1p1020, -1, 3)},
      {"unsorted", manual({0, 10, 5, 20}, 0.1, -1, 21)},
      {"zero bandwidth", manual({1, 2}, -0.0, -1, 3)},
      {"not-a-number bandwidth", manual({1, 2}, std::nan(""), -1, 3)},
      {"reversed grid", manual({1, 2}, 0.5, 3, -1)},
  };
}

class Lanes : public ::testing::TestWithParam<DensityLanes> {
  void SetUp() override {
    if (!densityEngineUsable({GetParam(), false, false})) GTEST_SKIP() << "not usable here";
  }
};

// Every engine on these lanes, with and without its shortcuts, gives every grid point and density
// of the straightforward loop bit for bit, and the first point of the greatest.
TEST_P(Lanes, MatchesTheStraightforwardLoopOnEveryShape) {
  for (const auto& [name, s] : shapes()) {
    std::vector<double> points, densities;
    const double step = (s.gridHigh - s.gridLow) / 1000;
    for (double x = s.gridLow; s.gridHigh > x && points.size() < kMaxGridPoints; x = x + step) {
      double sum = 0.0;
      for (int32_t i = 0; i < s.count; ++i) {
        const double u = (x - s.sortedValues[i]) / s.bandwidth;
        sum += std::exp((u * -0.5) * u) / (std::sqrt(6.283185307179586) * s.bandwidth);
      }
      points.push_back(x);
      densities.push_back(sum / s.count);
    }
    double mode = s.gridLow;
    for (size_t k = 1, best = 0; k < points.size(); ++k) {
      if (densities[k] > densities[best]) mode = points[best = k];
    }
    for (int c = 0; c < (GetParam() == DensityLanes::kReference ? 1 : 8); ++c) {
      const DensityEngine engine{GetParam(), (c & 1) != 0, (c & 2) != 0, (c & 4) != 0};
      SCOPED_TRACE(name + (engine.zeroWindow ? ", window" : "") +
                   (engine.valueRuns ? ", runs" : "") + (engine.pruned ? ", pruned" : ""));
      std::vector<double> p(kMaxGridPoints), d(kMaxGridPoints);
      p.resize(static_cast<size_t>(evaluateDensityGrid(s, engine, p.data(), d.data())));
      d.resize(p.size());
      EXPECT_EQ(bits(p), bits(points));
      EXPECT_EQ(bits(d), bits(densities));
      EXPECT_EQ(bits({findDensityModeWith(s, engine)}), bits({mode}));
    }
    EXPECT_EQ(bits({findDensityModeReference(s)}), bits({mode}));
    // The vector lanes' bounds, which the pruned mode search relies on, enclose every density.
    if (GetParam() != DensityLanes::kAvx2 && GetParam() != DensityLanes::kAvx512) continue;
    std::vector<double> at(kMaxGridPoints), lower(kMaxGridPoints), upper(kMaxGridPoints);
    const int32_t count = boundDensityGrid(s, GetParam(), at.data(), lower.data(), upper.data());
    for (int32_t k = 0; k < count; ++k) {
      const double exact = kernelDensityAt(at[k], s);
      EXPECT_TRUE(lower[k] <= exact && exact <= upper[k]) << name << ", point " << k;
    }
  }
}

// The vector exp gives the platform's bits on special values, a few ulps around every boundary of
// the algorithm and random arguments over the kernel's range and beyond. (The density bounds rely
// on the platform's exp being within 2^-50 of the exact value.)
TEST_P(Lanes, MatchesThePlatformExpBitForBit) {
  std::vector<double> in = {-0x1.14223d9822061p+8, -0x1.85fdbe2cf3c7ep+5, -0x1.68eba94371e95p+6,
                            -0x1.e3e0d0b55d771p+6};
  for (double x : {0.0, HUGE_VAL, std::nan(""), 1e300, 5e-324}) in.insert(in.end(), {x, -x});
  for (double edge : {0x1p-54, 512.0, 708.3964185322641, 709.782712893384, 744.44007192138126,
                      745.1332191019411, 745.2, 1024.0}) {
    for (double x : {-edge, edge}) {
      for (int i = 0; i < 16; ++i) x = std::nextafter(x, 0.0);
      for (int i = 0; i < 33; ++i, x = std::nextafter(x, x * 2)) in.push_back(x);
    }
  }
  std::mt19937_64 rng(99);
  const double ranges[][2] = {{-745.2, 0}, {-745.2, -708.39}, {-708.4, -512}, {-1100, 1100}};
  for (int i = 0; i < 60003; ++i) {
    const double* range = ranges[i % 4];
    in.push_back(std::uniform_real_distribution<double>(range[0], range[1])(rng));
    in.push_back((i % 2 ? -1 : 1) * std::ldexp(1 + unit(rng), static_cast<int>(rng() % 81) - 70));
  }
  std::vector<double> out(in.size() + 8, 7.0);  // a partial last vector must write no further
  evaluateExpWith(GetParam(), in.data(), out.data(), static_cast<int64_t>(in.size()));
  EXPECT_EQ(out.back(), 7.0);
  out.resize(in.size());
  std::vector<double> platform(in.size());
  for (size_t i = 0; i < in.size(); ++i) platform[i] = std::exp(in[i]);
  EXPECT_EQ(bits(out), bits(platform));
}

std::string lanesName(const ::testing::TestParamInfo<DensityLanes>& info) {
  static const char* const names[] = {"reference", "scalar", "avx2", "avx512"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(KernelDensityFast, Lanes,
                         ::testing::Values(DensityLanes::kReference, DensityLanes::kScalar,
                                           DensityLanes::kAvx2, DensityLanes::kAvx512),
                         lanesName);

// The program takes the widest lanes that pass the self-check, as does the probe in a process of
// its own; glibc's exp fuses only where AVX2 and FMA are, so told to ignore them the probe must
// fall back to the scalar lanes with their window.
TEST(DensityEngineChoice, TakesTheWidestLanesThatPassTheSelfCheck) {
  const bool avx512 = densityEngineUsable({DensityLanes::kAvx512, true, true});
  const bool avx2 = densityEngineUsable({DensityLanes::kAvx2, true, true});
#if !defined(SCALESUM_REFERENCE_DENSITY)
  EXPECT_STREQ(densityEnginePath(), avx512 ? "avx512" : avx2 ? "avx2" : "scalar-window");
#endif
#if defined(__x86_64__) && defined(__GLIBC__) && __GLIBC_PREREQ(2, 28)
  if (std::getenv("GLIBC_TUNABLES") == nullptr) {
    EXPECT_EQ(avx2, densityLanesSupported(DensityLanes::kAvx2));
    EXPECT_EQ(avx512, densityLanesSupported(DensityLanes::kAvx512));
  }
#endif
  EXPECT_EQ(std::system((DENSITY_PROBE_BINARY " " + std::string(densityEnginePath())).c_str()), 0);
#if defined(__x86_64__) && defined(__GLIBC__) && !defined(SCALESUM_REFERENCE_DENSITY)
  EXPECT_EQ(std::system("GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA " DENSITY_PROBE_BINARY
                        " scalar-window"),
            0);
#endif
}

}  // namespace
}  // namespace scalesum
