#include "KernelDensityFast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include "KernelDensityLanes.h"
#include "test_util.h"

namespace scalesum {

// Names the parameter of the lane tests in test listings.
void PrintTo(DensityLanes lanes, std::ostream* out);

namespace {

uint64_t bitsOf(double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

double fromBits(uint64_t bits) {
  double x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

DensitySummary summaryOf(const std::vector<double>& values) {
  DensitySummary summary = createDensitySummary(static_cast<int32_t>(values.size()), values.data());
  applyRobustBandwidth(summary);
  return summary;
}

// The reference search grid and its densities, formed here by the straightforward loop.
struct ReferenceGrid {
  std::vector<double> points;
  std::vector<double> densities;
};

ReferenceGrid referenceGrid(const DensitySummary& summary) {
  ReferenceGrid grid;
  const double step = (summary.gridHigh - summary.gridLow) / 1000;
  if (!(summary.gridHigh > summary.gridLow)) return grid;
  double x = summary.gridLow;
  for (int k = 0; k < kMaxGridPoints && summary.gridHigh > x; ++k, x = x + step) {
    grid.points.push_back(x);
    grid.densities.push_back(kernelDensityAt(x, summary));
  }
  return grid;
}

void expectSameBitsAsReference(const DensitySummary& summary, const ReferenceGrid& expected,
                               DensityEngine engine) {
  std::vector<double> points(kMaxGridPoints);
  std::vector<double> densities(kMaxGridPoints);
  const int32_t count = evaluateDensityGrid(summary, engine, points.data(), densities.data());
  ASSERT_EQ(count, static_cast<int32_t>(expected.points.size()));
  int wrong = 0;
  for (int32_t k = 0; k < count && wrong < 5; ++k) {
    if (bitsOf(points[k]) != bitsOf(expected.points[k]) ||
        bitsOf(densities[k]) != bitsOf(expected.densities[k])) {
      ++wrong;
      ADD_FAILURE() << std::hexfloat << "grid point " << k << ": " << points[k] << " density "
                    << densities[k] << ", reference " << expected.points[k] << " density "
                    << expected.densities[k];
    }
  }
  EXPECT_EQ(bitsOf(findDensityModeWith(summary, engine)),
            bitsOf(findDensityModeReference(summary)));
}

const char* lanesName(DensityLanes lanes) {
  switch (lanes) {
    case DensityLanes::kReference:
      return "reference";
    case DensityLanes::kScalar:
      return "scalar";
    case DensityLanes::kAvx2:
      return "avx2";
    case DensityLanes::kAvx512:
      return "avx512";
  }
  return "?";
}

// Every combination of shortcuts on the given lanes.
std::vector<DensityEngine> enginesOn(DensityLanes lanes) {
  std::vector<DensityEngine> engines;
  for (bool window : {false, true}) {
    for (bool runs : {false, true}) engines.push_back({lanes, window, runs});
  }
  return engines;
}

std::vector<double> logNormal(std::mt19937_64& rng, int n, double sigma) {
  std::lognormal_distribution<double> dist(0.0, sigma);
  std::vector<double> v(static_cast<size_t>(n));
  for (double& x : v) x = dist(rng);
  return v;
}

// Named series of the shapes a run meets: smooth, heavy-tailed, tied, mostly one value, and
// the degenerate ones.
std::vector<std::pair<std::string, std::vector<double>>> seriesShapes() {
  std::mt19937_64 rng(20240601);
  std::vector<std::pair<std::string, std::vector<double>>> shapes;
  shapes.emplace_back("log-normal", logNormal(rng, 1500, 1.0));
  shapes.emplace_back("wide log-normal", logNormal(rng, 700, 4.0));

  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> pareto(1200);
  for (double& x : pareto) x = std::pow(1.0 - unit(rng), -1.0 / 0.7);
  shapes.emplace_back("pareto", pareto);

  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> cauchy(1200);
  for (double& x : cauchy) x = normal(rng) / normal(rng);
  shapes.emplace_back("cauchy-like", cauchy);

  std::vector<double> rounded(1500);
  for (double& x : rounded) x = std::round(normal(rng) * 20.0) / 8.0;
  shapes.emplace_back("ties", rounded);

  std::vector<double> runs;
  for (int r = 0; r < 12; ++r)
    runs.insert(runs.end(), static_cast<size_t>(1 + r * r * 7), 0.3 * r * r);
  runs.push_back(-0.0);
  runs.push_back(0.0);
  runs.push_back(-0.0);
  shapes.emplace_back("long runs and signed zeros", runs);

  std::vector<double> ones = logNormal(rng, 2000, 0.5);
  for (size_t i = 0; i < ones.size(); ++i) {
    if (i % 10 < 7) ones[i] = 1.0;
  }
  shapes.emplace_back("70% ones", ones);

  shapes.emplace_back("n = 1", std::vector<double>{2.5});
  shapes.emplace_back("n = 2", std::vector<double>{0.75, 3.0});
  shapes.emplace_back("n = 3, two equal", std::vector<double>{1.0, 1.0, 1e-300});
  shapes.emplace_back("constant", std::vector<double>(50, 1.0));
  // The mean of these is inexact, so the bandwidth is tiny and the running grid stops growing.
  shapes.emplace_back("1000 copies of 0.1", std::vector<double>(1000, 0.1));

  std::vector<double> withNan = logNormal(rng, 300, 1.0);
  withNan[17] = std::nan("");
  shapes.emplace_back("not-a-number", withNan);
  std::vector<double> withInf = logNormal(rng, 300, 1.0);
  withInf[5] = HUGE_VAL;
  withInf[9] = -HUGE_VAL;
  shapes.emplace_back("infinities", withInf);
  return shapes;
}

class EngineLanes : public ::testing::TestWithParam<DensityLanes> {
 protected:
  void SetUp() override {
    if (!densityEngineUsable({GetParam(), false, false})) {
      GTEST_SKIP() << lanesName(GetParam()) << " lanes are not usable on this machine";
    }
  }
};

TEST_P(EngineLanes, EveryDensityMatchesTheReferenceOnManyShapes) {
  for (const auto& [name, values] : seriesShapes()) {
    SCOPED_TRACE(name);
    const DensitySummary summary = summaryOf(values);
    const ReferenceGrid expected = referenceGrid(summary);
    for (DensityEngine engine : enginesOn(GetParam())) {
      SCOPED_TRACE(std::string("window ") + (engine.zeroWindow ? "on" : "off") + ", runs " +
                   (engine.valueRuns ? "on" : "off"));
      expectSameBitsAsReference(summary, expected, engine);
    }
  }
}

// A hand-made grid that lands exactly on the values, so that terms with exponent -0 occur, next
// to values far enough away for subnormal terms and for the exp's range beyond 512.
TEST_P(EngineLanes, ExactHitsAndFarTailsMatchTheReference) {
  DensitySummary summary;
  summary.sortedValues = {-0.0, 0.0, 1.0, 2.0, 2.0, 3.0, 37.0, 38.5, 60.0, 250.0};
  summary.count = static_cast<int32_t>(summary.sortedValues.size());
  summary.bandwidth = 1.0;
  summary.gridLow = -100.0;
  summary.gridHigh = 400.0;
  const ReferenceGrid expected = referenceGrid(summary);
  for (DensityEngine engine : enginesOn(GetParam())) {
    expectSameBitsAsReference(summary, expected, engine);
  }
}

// The window search relies on sorted values; a summary that breaks the promise must still get
// the reference's answer rather than a faster wrong one.
TEST_P(EngineLanes, UnsortedOrDegenerateSummariesGetTheReferenceAnswer) {
  DensitySummary unsorted;
  unsorted.sortedValues = {5.0, 1.0, 3.0, 900.0, 2.0};
  unsorted.count = 5;
  unsorted.bandwidth = 0.5;
  unsorted.gridLow = -1.0;
  unsorted.gridHigh = 905.0;
  DensitySummary zeroWidth = unsorted;
  zeroWidth.bandwidth = 0.0;
  DensitySummary nanWidth = unsorted;
  nanWidth.bandwidth = std::nan("");
  DensitySummary reversed = unsorted;
  reversed.gridLow = 10.0;
  reversed.gridHigh = 1.0;
  for (const DensitySummary* summary : {&unsorted, &zeroWidth, &nanWidth, &reversed}) {
    const ReferenceGrid expected = referenceGrid(*summary);
    for (DensityEngine engine : enginesOn(GetParam())) {
      expectSameBitsAsReference(*summary, expected, engine);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KernelDensityFast, EngineLanes,
                         ::testing::Values(DensityLanes::kScalar, DensityLanes::kAvx2,
                                           DensityLanes::kAvx512),
                         [](const auto& info) { return std::string(lanesName(info.param)); });

class VectorExp : public EngineLanes {};

TEST_P(VectorExp, MatchesThePlatformExpBitForBit) {
  std::vector<double> in = {0.0,
                            -0.0,
                            HUGE_VAL,
                            -HUGE_VAL,
                            std::nan(""),
                            -std::nan(""),
                            fromBits(0x7ff0000000000001ULL),
                            fromBits(0xfff8000000000123ULL),
                            -0x1.14223d9822061p+8,
                            -0x1.85fdbe2cf3c7ep+5,
                            -0x1.68eba94371e95p+6,
                            -0x1.e3e0d0b55d771p+6,
                            1e300,
                            -1e300,
                            5e-324,
                            -5e-324};
  // A few ulps either side of every boundary of the algorithm, on both signs.
  for (double edge : {0x1p-54, 512.0, 1024.0, 708.3964185322641, 709.782712893384,
                      745.1332191019411, 745.2, 744.44007192138126}) {
    for (double sign : {-1.0, 1.0}) {
      double x = sign * edge;
      for (int i = 0; i < 8; ++i) x = std::nextafter(x, 0.0);
      for (int i = 0; i < 16; ++i, x = std::nextafter(x, sign * HUGE_VAL)) in.push_back(x);
    }
  }
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> kernelRange(-745.2, 0.0);
  std::uniform_real_distribution<double> wide(-1100.0, 1100.0);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::uniform_int_distribution<int> exponent(-70, 10);
  for (int i = 0; i < 100000; ++i) {
    in.push_back(kernelRange(rng));
    in.push_back(wide(rng));
    in.push_back((i % 2 ? -1.0 : 1.0) * std::ldexp(mantissa(rng), exponent(rng)));
  }
  std::vector<double> out(in.size());
  evaluateExpWith(GetParam(), in.data(), out.data(), static_cast<int64_t>(in.size()));
  int wrong = 0;
  for (size_t i = 0; i < in.size() && wrong < 5; ++i) {
    if (bitsOf(out[i]) != bitsOf(std::exp(in[i]))) {
      ++wrong;
      ADD_FAILURE() << std::hexfloat << "exp(" << in[i] << ") = " << out[i] << ", platform "
                    << std::exp(in[i]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KernelDensityFast, VectorExp,
                         ::testing::Values(DensityLanes::kAvx2, DensityLanes::kAvx512),
                         [](const auto& info) { return std::string(lanesName(info.param)); });

// Unsigned integers of any size, just enough to raise a dyadic number to the 128th power.
using Big = std::vector<uint32_t>;  // least significant limb first

Big bigMul(const Big& a, const Big& b) {
  Big r(a.size() + b.size(), 0);
  for (size_t i = 0; i < a.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < b.size(); ++j) {
      const uint64_t t = static_cast<uint64_t>(a[i]) * b[j] + r[i + j] + carry;
      r[i + j] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    r[i + b.size()] = static_cast<uint32_t>(carry);
  }
  while (r.size() > 1 && r.back() == 0) r.pop_back();
  return r;
}

Big bigPowerOfTwo(int e) {
  Big r(static_cast<size_t>(e / 32) + 1, 0);
  r.back() = 1u << (e % 32);
  return r;
}

// Returns -1, 0 or 1 as a is below, equal to or above b.
int bigCompare(const Big& a, const Big& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

// A positive number m * 2^-s with m an integer.
struct Dyadic {
  Big m;
  int s;
};

// Returns -1, 0 or 1 as q^128 is below, equal to or above 2^k.
int comparePower128(const Dyadic& q, int k) {
  Big p = q.m;
  for (int i = 0; i < 7; ++i) p = bigMul(p, p);
  return bigCompare(p, bigPowerOfTwo(k + 128 * q.s));
}

// The integer m and exponent e with x = m * 2^e.
void splitDouble(double x, int64_t& m, int& e) {
  int binary;
  const double f = std::frexp(x, &binary);
  m = static_cast<int64_t>(std::ldexp(f, 53));
  e = binary - 53;
}

// Returns (x + y) / 2 times (1 + (a + b) / 2), exactly, for 1 <= x, y < 2 and for |a|, |b| below
// 2^-40 that are zero or differ by at most a factor of two.
Dyadic boundary(double x, double y, double a, double b) {
  int64_t mx, my, ma, mb;
  int ex, ey, ea, eb;
  splitDouble(x, mx, ex);
  splitDouble(y, my, ey);
  splitDouble(a, ma, ea);
  splitDouble(b, mb, eb);
  const int e1 = std::min(ex, ey);
  const int64_t sumXY = (mx << (ex - e1)) + (my << (ey - e1));  // x + y = sumXY * 2^e1
  int e2 = std::min(ea, eb);
  if (a == 0.0) e2 = eb;
  if (b == 0.0) e2 = ea;
  const int64_t sumAB = (a == 0.0 ? 0 : ma << (ea - e2)) + (b == 0.0 ? 0 : mb << (eb - e2));
  // 1 + (a + b) / 2 = (2^(1 - e2) + sumAB) * 2^(e2 - 1), with |sumAB| far below 2^(1 - e2).
  Big onePlus = bigPowerOfTwo(1 - e2);
  const uint64_t magnitude = static_cast<uint64_t>(sumAB < 0 ? -sumAB : sumAB);
  Big small{static_cast<uint32_t>(magnitude), static_cast<uint32_t>(magnitude >> 32)};
  small.resize(onePlus.size(), 0);
  int64_t carry = 0;
  for (size_t i = 0; i < onePlus.size(); ++i) {
    const int64_t t = int64_t{onePlus[i]} + (sumAB < 0 ? -1 : 1) * int64_t{small[i]} + carry;
    onePlus[i] = static_cast<uint32_t>(t & 0xffffffff);
    carry = t >> 32;
  }
  while (onePlus.size() > 1 && onePlus.back() == 0) onePlus.pop_back();
  const Big xy{static_cast<uint32_t>(sumXY), static_cast<uint32_t>(sumXY >> 32)};
  return {bigMul(xy, onePlus), -(e1 - 1) - (e2 - 1)};
}

// Checks each entry against its definition with exact integers: H(k) is the nearest double to
// t = 2^(k/128) when t^128 = 2^k lies strictly between the 128th powers of the midpoints around
// H(k), and T(k) is the nearest double to t / H(k) - 1 when the same holds for H(k) times one
// plus the midpoints around T(k).
TEST(KernelDensityFastTable, EntriesAreTheNearestDoublesToTheirDefinitions) {
  EXPECT_EQ(kExpTable[0], 0u);
  EXPECT_EQ(kExpTable[1], bitsOf(1.0));
  for (int k = 1; k < 128; ++k) {
    SCOPED_TRACE("k = " + std::to_string(k));
    const double h = fromBits(kExpTable[2 * k + 1] + (static_cast<uint64_t>(k) << 45));
    const double t = fromBits(kExpTable[2 * k]);
    ASSERT_TRUE(h > 1.0 && h < 2.0);
    ASSERT_TRUE(std::fabs(t) < 0x1p-50 && t != 0.0);
    EXPECT_LT(comparePower128(boundary(std::nextafter(h, 0.0), h, 0.0, 0.0), k), 0);
    EXPECT_GT(comparePower128(boundary(h, std::nextafter(h, 2.0), 0.0, 0.0), k), 0);
    EXPECT_LT(comparePower128(boundary(h, h, std::nextafter(t, -1.0), t), k), 0);
    EXPECT_GT(comparePower128(boundary(h, h, t, std::nextafter(t, 1.0)), k), 0);
  }
}

TEST(DensityEngineChoice, FindDensityModeUsesTheSelectedEngineAndMatchesTheReference) {
  const DensityEngine selected = selectedDensityEngine();
  const std::string path = densityEnginePath();
#if defined(SCALESUM_REFERENCE_DENSITY)
  EXPECT_EQ(path, "reference");
#else
  const bool avx512 = densityEngineUsable({DensityLanes::kAvx512, true, true});
  const bool avx2 = densityEngineUsable({DensityLanes::kAvx2, true, true});
  EXPECT_EQ(path, avx512 ? "avx512" : avx2 ? "avx2" : "scalar-window");
  EXPECT_TRUE(selected.zeroWindow && selected.valueRuns);
#endif
  EXPECT_TRUE(densityEngineUsable(selected));
  std::mt19937_64 rng(7);
  for (int n : {2, 9, 400}) {
    const DensitySummary summary = summaryOf(logNormal(rng, n, 1.5));
    EXPECT_EQ(bitsOf(findDensityMode(summary)), bitsOf(findDensityModeReference(summary)));
  }
}

// Where the platform's exp is its fused variant (x86-64, an FMA-capable CPU, C library 2.28 or
// later, no hwcaps tunables), the vector exp must be accepted: a self-check that rejected it
// would silently cost all the speed.
TEST(DensityEngineChoice, VectorLanesAreAcceptedWherePlatformExpIsTheFusedVariant) {
#if defined(__x86_64__) && defined(__GLIBC__)
  if (!densityLanesSupported(DensityLanes::kAvx2) || std::getenv("GLIBC_TUNABLES") != nullptr) {
    GTEST_SKIP() << "no AVX2 and FMA, or the C library's tunables are set";
  }
  int major = 0, minor = 0;
  std::sscanf(gnu_get_libc_version(), "%d.%d", &major, &minor);
  if (major != 2 || minor < 28) GTEST_SKIP() << "C library " << gnu_get_libc_version();
  EXPECT_TRUE(densityEngineUsable({DensityLanes::kAvx2, true, true}));
  if (densityLanesSupported(DensityLanes::kAvx512)) {
    EXPECT_TRUE(densityEngineUsable({DensityLanes::kAvx512, true, true}));
  }
#else
  GTEST_SKIP() << "the fused platform exp is known on x86-64 only";
#endif
}

#if defined(DENSITY_PROBE_BINARY)
std::string probeValue(const std::string& out, const std::string& key) {
  const size_t at = out.find(key + " ");
  if (at == std::string::npos) return "";
  const size_t begin = at + key.size() + 1;
  return out.substr(begin, out.find('\n', begin) - begin);
}

TEST(DensityProbe, ChoosesTheSameEngineInItsOwnProcess) {
  const testing::RunResult run = testing::runCommand(DENSITY_PROBE_BINARY, {});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(probeValue(run.out, "path"), densityEnginePath());
  EXPECT_EQ(probeValue(run.out, "mismatches"), "0");
}

// With the C library told to ignore AVX2 and FMA, its exp is the variant that fuses nothing:
// the vector exp no longer matches it, so the self-check must refuse the vector lanes, and the
// results must still be the reference's computed with that exp.
TEST(DensityProbe, RejectsVectorLanesWhenPlatformExpIsNotFused) {
#if defined(__x86_64__) && defined(__GLIBC__)
  const testing::RunResult run =
      testing::runCommand(DENSITY_PROBE_BINARY, {}, {"GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(probeValue(run.out, "avx2-usable"), "no");
  EXPECT_EQ(probeValue(run.out, "avx512-usable"), "no");
#if !defined(SCALESUM_REFERENCE_DENSITY)
  EXPECT_EQ(probeValue(run.out, "path"), "scalar-window");
#endif
  EXPECT_EQ(probeValue(run.out, "mismatches"), "0");
#else
  GTEST_SKIP() << "hwcaps tunables exist on x86-64 only";
#endif
}
#endif

}  // namespace

void PrintTo(DensityLanes lanes, std::ostream* out) {
  *out << lanesName(lanes);
}

}  // namespace scalesum
