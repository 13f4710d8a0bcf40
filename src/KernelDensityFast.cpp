#include "KernelDensityFast.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "KernelDensityLanes.h"
#include "failure.h"

namespace scalesum {

alignas(64) const uint64_t kExpTable[256] = {
#include "expTable.inc"
};

namespace {

// The platform's exp gives +0 for every argument below this bound (its result there is below
// half the smallest subnormal); the start-up check confirms it before the window is used.
constexpr double kZeroBelow = -745.2;

uint64_t bitsOf(double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

// Returns whether the term of `value` at x can differ from +0, judged by the exponent exactly
// as the kernel forms it.
bool termMayBeNonZero(double x, double value, double h) {
  const double u = (x - value) / h;
  return (u * -0.5) * u >= kZeroBelow;
}

// Stores the running grid points of the mode search and returns their number.
int32_t searchGrid(const DensitySummary& summary, double* points) {
  const double low = summary.gridLow;
  const double high = summary.gridHigh;
  const double step = (high - low) / 1000;
  if (!(high > low)) return 0;
  double x = low;
  int32_t k = 0;
  for (; k < kMaxGridPoints && high > x; ++k) {
    points[k] = x;
    x = x + step;
  }
  return k;
}

// Whether the shortcuts apply: a positive finite bandwidth, a finite grid, and finite values in
// ascending order (which the window search relies on).
bool fastPathApplies(const DensitySummary& summary) {
  const double h = summary.bandwidth;
  const int32_t n = summary.count;
  if (n < 1 || summary.sortedValues.size() < static_cast<size_t>(n)) return false;
  if (!(h > 0.0) || !std::isfinite(h)) return false;
  if (!std::isfinite(summary.gridLow) || !std::isfinite(summary.gridHigh)) return false;
  const double* v = summary.sortedValues.data();
  for (int32_t i = 0; i < n; ++i) {
    if (!std::isfinite(v[i])) return false;
    if (i > 0 && !(v[i - 1] <= v[i])) return false;
  }
  return true;
}

uint64_t nextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Returns a number in [a, b).
double uniformBetween(uint64_t& state, double a, double b) {
  return a + (b - a) * (static_cast<double>(nextRandom(state) >> 11) * 0x1p-53);
}

// Whether the platform's exp is +0 below kZeroBelow: just below it, over a sweep down to where
// its result is certainly zero, and far beyond.
bool platformExpZeroBelowBound() {
  const double fixed[] = {std::nextafter(kZeroBelow, -1e300),
                          -745.3,
                          -746.0,
                          -800.0,
                          -1023.9,
                          -1024.0,
                          -1e5,
                          -1e300,
                          -__builtin_inf()};
  for (double y : fixed) {
    if (bitsOf(std::exp(y)) != 0) return false;
  }
  uint64_t state = 0x5ca1e5u;
  double y = kZeroBelow;
  for (int i = 0; i < 4000; ++i) {
    y = std::nextafter(y, -1e300);
    if (bitsOf(std::exp(y)) != 0) return false;
    if (bitsOf(std::exp(uniformBetween(state, -760.0, kZeroBelow))) != 0) return false;
  }
  return true;
}

// Arguments that cover every branch of the exp algorithm and its boundaries, including some on
// which a build of it that fuses no multiply-add gives other bits.
constexpr double kExpCheckArguments[] = {0.0,
                                         -0.0,
                                         -0x1p-1074,
                                         -0x1p-1022,
                                         -0x1p-60,
                                         -0x1.fffffffffffffp-55,
                                         -0x1p-54,
                                         -0x1.0000000000001p-54,
                                         -0x1p-53,
                                         -1e-10,
                                         -0.25,
                                         -0.5,
                                         -1.0,
                                         -2.0,
                                         -0x1.62e42fefa39efp-1,
                                         -10.0,
                                         -100.0,
                                         -0x1.fffffffffffffp8,
                                         -512.0,
                                         -0x1.0000000000001p9,
                                         -600.0,
                                         -0x1.62e42fefa39efp9,
                                         -708.4,
                                         -709.0,
                                         -709.5,
                                         -0x1.74385446d71c3p9,
                                         -740.0,
                                         -744.44,
                                         -745.0,
                                         -0x1.74910d52d3051p9,
                                         -0x1.74910d52d3052p9,
                                         -745.2,
                                         -0x1.fffffffffffffp9,
                                         -1024.0,
                                         -0x1.0000000000001p10,
                                         -1e10,
                                         -1e300,
                                         -1.7976931348623157e308,
                                         -__builtin_inf(),
                                         __builtin_nan(""),
                                         -__builtin_nan(""),
                                         -0x1.14223d9822061p+8,
                                         -0x1.85fdbe2cf3c7ep+5,
                                         -0x1.68eba94371e95p+6,
                                         -0x1.e3e0d0b55d771p+6};

// Whether the vector exp of `lanes` gives the platform's exp bit for bit on a fixed set of
// arguments and on about 10^5 spread over the range the kernel meets.
bool vectorExpMatchesPlatform(DensityLanes lanes) {
  constexpr int kBatch = 512;
  double in[kBatch];
  double out[kBatch];
  const auto batchMatches = [&](int n) {
    evaluateExpWith(lanes, in, out, n);
    for (int i = 0; i < n; ++i) {
      if (bitsOf(out[i]) != bitsOf(std::exp(in[i]))) return false;
    }
    return true;
  };

  int n = 0;
  for (double x : kExpCheckArguments) in[n++] = x;
  if (!batchMatches(n)) return false;

  uint64_t state = 0xe4b1u;
  for (int batch = 0; batch < 200; ++batch) {
    for (int i = 0; i < kBatch; ++i) {
      switch (i % 8) {
        case 0:  // magnitudes spread over every binade from 2^-60 to 2^10
          in[i] = -std::ldexp(uniformBetween(state, 1.0, 2.0),
                              static_cast<int>(nextRandom(state) % 70) - 60);
          break;
        case 1:  // the subnormal results and the bound of the zero window
          in[i] = uniformBetween(state, -760.0, -700.0);
          break;
        case 2:
          in[i] = uniformBetween(state, -1100.0, kZeroBelow);
          break;
        case 3:  // the normal results the platform forms unfused, below -512
          in[i] = uniformBetween(state, -708.4, -512.0);
          break;
        default:
          in[i] = uniformBetween(state, kZeroBelow, 0.0);
          break;
      }
    }
    if (!batchMatches(kBatch)) return false;
  }
  return true;
}

struct EngineChoice {
  bool zeroBelowBound = false;
  bool avx2 = false;
  bool avx512 = false;
  DensityEngine engine;
  const char* name = "reference";
};

EngineChoice chooseEngine() {
  EngineChoice choice;
  choice.zeroBelowBound = platformExpZeroBelowBound();
  choice.avx2 =
      densityLanesSupported(DensityLanes::kAvx2) && vectorExpMatchesPlatform(DensityLanes::kAvx2);
  choice.avx512 = densityLanesSupported(DensityLanes::kAvx512) &&
                  vectorExpMatchesPlatform(DensityLanes::kAvx512);
#if !defined(SCALESUM_REFERENCE_DENSITY)
  if (choice.avx512) {
    choice.engine = {DensityLanes::kAvx512, choice.zeroBelowBound, true, true};
    choice.name = "avx512";
  } else if (choice.avx2) {
    choice.engine = {DensityLanes::kAvx2, choice.zeroBelowBound, true, true};
    choice.name = "avx2";
  } else if (choice.zeroBelowBound) {
    choice.engine = {DensityLanes::kScalar, true, true};
    choice.name = "scalar-window";
  }
#endif
  return choice;
}

const EngineChoice& engineChoice() {
  static const EngineChoice choice = chooseEngine();
  return choice;
}

// The values the engine runs over: the summary's own, or one entry per run of bit-identical
// values with the run's length.
struct EngineValues {
  const double* values = nullptr;
  int32_t count = 0;
  std::vector<double> runValues;
  std::vector<int32_t> runLengths;
};

void collectRuns(const DensitySummary& summary, EngineValues& out) {
  const double* v = summary.sortedValues.data();
  const int32_t n = summary.count;
  try {
    out.runValues.reserve(static_cast<size_t>(n));
    out.runLengths.reserve(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    reportAllocationError("KernelDensity", 2);
  }
  for (int32_t i = 0; i < n;) {
    int32_t j = i + 1;
    while (j < n && bitsOf(v[j]) == bitsOf(v[i])) ++j;
    out.runValues.push_back(v[i]);
    out.runLengths.push_back(j - i);
    i = j;
  }
  out.values = out.runValues.data();
  out.count = static_cast<int32_t>(out.runValues.size());
}

// Stores, for each grid point, the range of values whose terms may differ from +0. The terms'
// exponent rises with the value up to x and falls after it, so each range is found by bisection.
void findWindows(const double* points, int32_t pointCount, const double* values, int32_t count,
                 double h, int32_t* first, int32_t* end) {
  for (int32_t k = 0; k < pointCount; ++k) {
    const double x = points[k];
    const double* begin = std::partition_point(
        values, values + count, [&](double v) { return v < x && !termMayBeNonZero(x, v, h); });
    const double* past = std::partition_point(
        begin, values + count, [&](double v) { return v <= x || termMayBeNonZero(x, v, h); });
    first[k] = static_cast<int32_t>(begin - values);
    end[k] = static_cast<int32_t>(past - values);
  }
}

void evaluateScalar(const DensityGridTask& task) {
  const double h = task.bandwidth;
  const double w = task.kernelScale;
  for (int32_t k = 0; k < task.pointCount; ++k) {
    const double x = task.points[k];
    double sum = 0.0;
    for (int32_t j = task.firstValue[k]; j < task.endValue[k]; ++j) {
      const double u = (x - task.values[j]) / h;
      const double term = std::exp((u * -0.5) * u) / w;
      if (task.runLengths == nullptr) {
        sum += term;
      } else {
        for (int32_t c = task.runLengths[j]; c > 0; --c) sum += term;
      }
    }
    task.densities[k] = sum / task.count;
  }
}

// Stores the densities at pointCount points, evaluated with `engine`, which must be usable, on a
// summary the fast path applies to.
void evaluateAtPoints(const DensitySummary& summary, DensityEngine engine, const double* points,
                      int32_t pointCount, double* densities) {
  EngineValues values;
  if (engine.valueRuns) {
    collectRuns(summary, values);
  } else {
    values.values = summary.sortedValues.data();
    values.count = summary.count;
  }

  const double h = summary.bandwidth;
  int32_t firstValue[kMaxGridPoints];
  int32_t endValue[kMaxGridPoints];
  if (engine.zeroWindow) {
    findWindows(points, pointCount, values.values, values.count, h, firstValue, endValue);
  } else {
    std::fill(firstValue, firstValue + pointCount, 0);
    std::fill(endValue, endValue + pointCount, values.count);
  }

  DensityGridTask task;
  task.points = points;
  task.pointCount = pointCount;
  task.values = values.values;
  task.runLengths = engine.valueRuns ? values.runLengths.data() : nullptr;
  task.firstValue = firstValue;
  task.endValue = endValue;
  task.bandwidth = h;
  task.kernelScale = std::sqrt(6.283185307179586) * h;
  task.count = static_cast<double>(summary.count);
  task.densities = densities;

  switch (engine.lanes) {
#if defined(SCALESUM_X86_KERNELS) && defined(__x86_64__)
    case DensityLanes::kAvx2:
      evaluateDensityGridAvx2(task);
      break;
    case DensityLanes::kAvx512:
      evaluateDensityGridAvx512(task);
      break;
#endif
    default:
      evaluateScalar(task);
      break;
  }
}

// The bounds' bins are at most kBinWidth bandwidths wide. A grid point takes the bins within
// kBoundWindow bandwidths of it; a value beyond lies at least 7.99 bandwidths away however the
// window's test rounds, so its unscaled term is at most exp(-7.99^2 / 2) < kTailTerm.
constexpr double kBinWidth = 0.3;
constexpr double kBoundWindow = 8.0;
constexpr double kTailTerm = 1.4e-14;

// Sorted values grouped into bins: bin j holds values [start[j], start[j + 1]), with its moments
// about its centre rounded up so that they bound the exact ones (see DensityBoundTask).
struct DensityBins {
  std::vector<int32_t> start;
  std::vector<double> centre, count, reach, first, second, third;
};

// Returns the end of the bin that begins at value i: its values lie within kBinWidth
// bandwidths of the first.
int32_t binEnd(const double* v, int32_t n, double width, int32_t i) {
  int32_t end = i + 1;
  while (end < n && v[end] - v[i] <= width) ++end;
  return end;
}

// Returns the number of bins, and sets distinctValues to the number of runs of bit-identical
// values, which is what the densities cost.
int32_t countBins(const double* v, int32_t n, double h, int32_t& distinctValues) {
  const double width = kBinWidth * h;
  int32_t bins = 0;
  distinctValues = n > 0;
  for (int32_t i = 1; i < n; ++i) distinctValues += bitsOf(v[i]) != bitsOf(v[i - 1]);
  for (int32_t i = 0; i < n; i = binEnd(v, n, width, i)) ++bins;
  return bins;
}

void makeBins(const double* v, int32_t n, double h, int32_t binCount, DensityBins& bins) {
  const double width = kBinWidth * h;
  bins.start.reserve(static_cast<size_t>(binCount) + 1);
  for (std::vector<double>* moments :
       {&bins.centre, &bins.count, &bins.reach, &bins.first, &bins.second, &bins.third}) {
    moments->reserve(static_cast<size_t>(binCount));
  }
  for (int32_t i = 0; i < n;) {
    const int32_t end = binEnd(v, n, width, i);
    const double count = end - i;
    double offset = 0.0;
    for (int32_t j = i; j < end; ++j) offset += v[j] - v[i];
    const double centre = std::clamp(v[i] + offset / count, v[i], v[end - 1]);
    double s1 = 0.0;
    double s2 = 0.0;
    double s3 = 0.0;
    for (int32_t j = i; j < end; ++j) {
      const double d = (v[j] - centre) / h;
      s1 += d;
      s2 += d * d;
      s3 += std::fabs(d) * d * d;
    }
    const double reach = std::max(centre - v[i], v[end - 1] - centre) / h;
    // Each sum carries at most count + 7 roundings of relative size 2^-53 on non-negative terms
    // (the difference, quotient and powers, then the additions); grow by twice that and a margin.
    // The first sum's terms have either sign, so its error is bounded by the magnitudes instead.
    const double grow = 1.0 + (2.0 * count + 16.0) * 0x1p-53 + 0x1p-40;
    bins.start.push_back(i);
    bins.centre.push_back(centre);
    bins.count.push_back(count);
    bins.reach.push_back(reach * grow);
    bins.first.push_back((std::fabs(s1) + (count + 2.0) * 0x1p-52 * count * reach) * grow);
    bins.second.push_back(s2 / 2 * grow);
    bins.third.push_back(s3 / 6 * grow);
    i = end;
  }
  bins.start.push_back(n);
}

}  // namespace

bool densityLanesSupported(DensityLanes lanes) {
  switch (lanes) {
    case DensityLanes::kReference:
    case DensityLanes::kScalar:
      return true;
#if defined(SCALESUM_X86_KERNELS) && defined(__x86_64__)
    case DensityLanes::kAvx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case DensityLanes::kAvx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma");
#endif
    default:
      return false;
  }
}

bool densityEngineUsable(DensityEngine engine) {
  const EngineChoice& choice = engineChoice();
  if (engine.zeroWindow && !choice.zeroBelowBound) return false;
  switch (engine.lanes) {
    case DensityLanes::kReference:
    case DensityLanes::kScalar:
      return true;
    case DensityLanes::kAvx2:
      return choice.avx2;
    case DensityLanes::kAvx512:
      return choice.avx512;
  }
  return false;
}

DensityEngine selectedDensityEngine() {
  return engineChoice().engine;
}

const char* densityEnginePath() {
  return engineChoice().name;
}

void evaluateExpWith(DensityLanes lanes, const double* in, double* out, int64_t n) {
#if defined(SCALESUM_X86_KERNELS) && defined(__x86_64__)
  if (lanes == DensityLanes::kAvx2) return evaluateExpAvx2(in, out, n);
  if (lanes == DensityLanes::kAvx512) return evaluateExpAvx512(in, out, n);
#endif
  (void)lanes;
  for (int64_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}

int32_t evaluateDensityGrid(const DensitySummary& summary, DensityEngine engine, double* points,
                            double* densities) {
  const int32_t pointCount = searchGrid(summary, points);
  if (pointCount == 0) return 0;
  if (engine.lanes == DensityLanes::kReference || !densityEngineUsable(engine) ||
      !fastPathApplies(summary)) {
    for (int32_t k = 0; k < pointCount; ++k) densities[k] = kernelDensityAt(points[k], summary);
    return pointCount;
  }
  evaluateAtPoints(summary, engine, points, pointCount, densities);
  return pointCount;
}

// Why the bounds hold. Write D for the density evaluateDensityGrid gives at x: the rounded sum,
// in value order, of the n rounded terms t = exp(y) / w, y = (u * -0.5) * u, u = (x - v) / h,
// divided by n; and G = exp(-(x - v)^2 / 2h^2) / w for the exact term.
// - While |x|, |v| <= 2^1000, computing y rounds at most five times, so y = y*(1 + e) with
//   |e| <= 6 * 2^-53 for the exact y* (underflow only where y is so near 0 that exp is 1 either
//   way). Where y* >= -746, exp(y) differs from exp(y*) by a factor within 5e-13 of 1.
// - The platform's exp is the table-driven algorithm the vector lanes reproduce (their self-check
//   passed): its result errs by less than a unit in the last place, so by a factor within
//   2^-50 of 1 for normal results and by at most 2^-1074 for the others; below -745.2 it is +0.
// - So t lies within a factor 1 +- 2^-40 of G, give or take 2^-1073 (1 + 1/w).
// - The n - 1 rounded additions of non-negative terms and the final division shift the sum by a
//   factor within 1.01 n 2^-53 + 2^-53 of 1, and the division by at most 2^-1074 more.
// Hence D lies in [F (1 - rel) / wn - a, F (1 + rel) / wn + a] with F the exact sum of the
// unscaled terms, rel = 2^-30 + 4n 2^-53 (which also covers the rounding of the bounds' own
// arithmetic) and a = 2^-1070 (2 + 1/w). boundGrid brackets F: its approximation and error
// bound are computed to within the same relative slack, plus n 2^-1000 for the terms whose exp
// is subnormal or zero, and the values outside a point's window add at most n kTailTerm.
namespace {

// Whether the bounds cover the summary on these lanes: the fast path applies, and magnitudes
// are such that no difference overflows, every term's scale 1/w stays finite summed n times,
// the bounds' scale 1/wn is a normal number (wn overflowing would make it zero), and no distance
// in bandwidths overflows in the bounds' arithmetic.
bool boundsApply(const DensitySummary& summary, DensityLanes lanes) {
  if ((lanes != DensityLanes::kAvx2 && lanes != DensityLanes::kAvx512) ||
      !densityEngineUsable({lanes, false, false}) || !fastPathApplies(summary)) {
    return false;
  }
  const double h = summary.bandwidth;
  const double* v = summary.sortedValues.data();
  const double w = std::sqrt(6.283185307179586) * h;
  const double lowest = std::min(summary.gridLow, v[0]);
  const double highest = std::max(summary.gridHigh, v[summary.count - 1]);
  return std::fabs(lowest) <= 0x1p1000 && std::fabs(highest) <= 0x1p1000 && w >= 0x1p-900 &&
         w * static_cast<double>(summary.count) <= 0x1p1000 && (highest - lowest) / h <= 0x1p40;
}

DensityBins binsOf(const DensitySummary& summary, int32_t binCount) {
  DensityBins bins;
  try {
    makeBins(summary.sortedValues.data(), summary.count, summary.bandwidth, binCount, bins);
  } catch (const std::bad_alloc&) {
    reportAllocationError("KernelDensity", 3);
  }
  return bins;
}

// Stores the bounds of the densities at the grid's pointCount points; see above for why they
// hold.
void boundWithBins(const DensitySummary& summary, DensityLanes lanes, const DensityBins& bins,
                   const double* points, int32_t pointCount, double* lower, double* upper) {
  const double h = summary.bandwidth;
  const double w = std::sqrt(6.283185307179586) * h;
  const double reachOfWindow = kBoundWindow * h;
  const double* v = summary.sortedValues.data();
  const int32_t binCount = static_cast<int32_t>(bins.centre.size());
  int32_t firstBin[kMaxGridPoints];
  int32_t endBin[kMaxGridPoints];
  const int32_t* starts = bins.start.data();
  for (int32_t k = 0; k < pointCount; ++k) {
    const double x = points[k];
    // A rounded difference is the exact one within a factor 1 +- 2^-53, and monotone in v.
    firstBin[k] = static_cast<int32_t>(
        std::partition_point(starts + 1, starts + binCount + 1,
                             [&](int32_t next) { return x - v[next - 1] > reachOfWindow; }) -
        (starts + 1));
    endBin[k] = static_cast<int32_t>(
        std::partition_point(starts, starts + binCount,
                             [&](int32_t first) { return !(v[first] - x > reachOfWindow); }) -
        starts);
  }

  double approximation[kMaxGridPoints];
  double error[kMaxGridPoints];
  DensityBoundTask task;
  task.points = points;
  task.pointCount = pointCount;
  task.centre = bins.centre.data();
  task.count = bins.count.data();
  task.reach = bins.reach.data();
  task.first = bins.first.data();
  task.second = bins.second.data();
  task.third = bins.third.data();
  task.firstBin = firstBin;
  task.endBin = endBin;
  task.inverseBandwidth = 1.0 / h;
  task.approximation = approximation;
  task.error = error;
#if defined(SCALESUM_X86_KERNELS) && defined(__x86_64__)
  if (lanes == DensityLanes::kAvx512) {
    boundDensityGridAvx512(task);
  } else {
    boundDensityGridAvx2(task);
  }
#else
  (void)lanes;
#endif

  const double count = static_cast<double>(summary.count);
  const double rel = 0x1p-30 + 4.0 * count * 0x1p-53;
  const double absoluteF = count * 0x1p-1000;
  const double absoluteD = 0x1p-1070 * (2.0 + 1.0 / w);
  const double tail = count * kTailTerm;
  const double perUnit = 1.0 / (w * count);
  for (int32_t k = 0; k < pointCount; ++k) {
    const double e = error[k] * (1.0 + rel);
    const double lowF = approximation[k] * (1.0 - rel) - e - absoluteF;
    const double highF = approximation[k] * (1.0 + rel) + e + tail + absoluteF;
    lower[k] = lowF * (1.0 - rel) * perUnit - absoluteD;
    upper[k] = highF * (1.0 + rel) * perUnit + absoluteD;
  }
}

// Returns the first of the points (count >= 1) with the greatest density: the search starts from
// the first point's density and moves only on a strictly greater one.
double firstGreatest(const double* points, const double* densities, int32_t count) {
  double best = densities[0];
  double mode = points[0];
  for (int32_t k = 1; k < count; ++k) {
    if (densities[k] > best) {
      best = densities[k];
      mode = points[k];
    }
  }
  return mode;
}

// Sets `mode` as the full search would and returns true, evaluating only the grid points whose
// upper bound reaches the greatest lower bound: every other point's density is below that
// point's, so it cannot be the greatest. Returns false where the bounds do not apply or would
// cost about as much as the densities (bins hardly fewer than distinct values).
bool findModeWithinBounds(const DensitySummary& summary, DensityEngine engine, double& mode) {
  if (!densityEngineUsable(engine) || !boundsApply(summary, engine.lanes)) return false;
  int32_t distinctValues;
  const int32_t binCount =
      countBins(summary.sortedValues.data(), summary.count, summary.bandwidth, distinctValues);
  // A bin's 52 bytes against a run's 12: at most a fifth as many bins as runs keeps the bins
  // within the memory the runs take afterwards, and the bounds well below the densities' cost.
  if (static_cast<int64_t>(binCount) * 5 > distinctValues) return false;
  double points[kMaxGridPoints];
  double lower[kMaxGridPoints];
  double upper[kMaxGridPoints];
  const int32_t pointCount = searchGrid(summary, points);
  if (pointCount == 0) return false;
  boundWithBins(summary, engine.lanes, binsOf(summary, binCount), points, pointCount, lower, upper);

  const double greatestLower = *std::max_element(lower, lower + pointCount);
  double candidates[kMaxGridPoints];
  int32_t candidateCount = 0;
  for (int32_t k = 0; k < pointCount; ++k) {
    if (upper[k] >= greatestLower) candidates[candidateCount++] = points[k];
  }
  if (candidateCount == 0) return false;  // only if some bound is not a number
  // Four points or fewer fill the narrower lanes, which then do half the work.
  DensityEngine exact = engine;
  if (exact.lanes == DensityLanes::kAvx512 && candidateCount <= 4) {
    exact.lanes = DensityLanes::kAvx2;
    if (!densityEngineUsable(exact)) exact.lanes = DensityLanes::kAvx512;
  }
  double densities[kMaxGridPoints];
  evaluateAtPoints(summary, exact, candidates, candidateCount, densities);
  mode = firstGreatest(candidates, densities, candidateCount);
  return true;
}

}  // namespace

int32_t boundDensityGrid(const DensitySummary& summary, DensityLanes lanes, double* points,
                         double* lower, double* upper) {
  if (!boundsApply(summary, lanes)) return 0;
  const int32_t pointCount = searchGrid(summary, points);
  if (pointCount == 0) return 0;
  int32_t distinctValues;
  const int32_t binCount =
      countBins(summary.sortedValues.data(), summary.count, summary.bandwidth, distinctValues);
  boundWithBins(summary, lanes, binsOf(summary, binCount), points, pointCount, lower, upper);
  return pointCount;
}

double findDensityModeWith(const DensitySummary& summary, DensityEngine engine) {
  double mode;
  if (engine.pruned && findModeWithinBounds(summary, engine, mode)) return mode;
  double points[kMaxGridPoints];
  double densities[kMaxGridPoints];
  const int32_t pointCount = evaluateDensityGrid(summary, engine, points, densities);
  if (pointCount == 0) return summary.gridLow;
  return firstGreatest(points, densities, pointCount);
}

double findDensityMode(const DensitySummary& summary) {
#if defined(SCALESUM_REFERENCE_DENSITY)
  return findDensityModeReference(summary);
#else
  return findDensityModeWith(summary, selectedDensityEngine());
#endif
}

}  // namespace scalesum
