#include "KernelDensity.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "failure.h"

namespace scalesum {

namespace {

constexpr uint64_t kSignBit = 0x8000000000000000ULL;
constexpr int kDigitBits = 11;
constexpr int kDigits = 6;  // 66 bits
constexpr uint32_t kBuckets = 1u << kDigitBits;

// Below this many numbers the comparison sort is as fast.
constexpr int32_t kRadixSortFrom = 256;

// Orders numbers ascending, -0 before +0: the order of the radix sort's keys, so that no result
// depends on the order in which the two zeros arrive.
bool totalOrderLess(double a, double b) {
  return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

// Moves every key of `from` to its place in `to` by one digit; `next` holds each bucket's
// first free place.
template <class From, class To>
void scatterByDigit(const From* from, To* to, int32_t n, int shift, uint32_t* next) {
  for (int32_t i = 0; i < n; ++i) {
    uint64_t key;
    std::memcpy(&key, from + i, sizeof key);
    std::memcpy(to + next[(key >> shift) & (kBuckets - 1)]++, &key, sizeof key);
  }
}

// Sorts n numbers, none of them not-a-number, ascending with -0 before +0: a least-significant-
// digit radix sort on keys that order as the numbers do (the bits, with all of them flipped for
// negative numbers and the sign bit set for the others). Numbers whose keys are equal are the
// same bits, so there is only one such order and any correct sort gives it. The keys live in the
// values' own storage between passes; `spare` holds n more and `counts` kDigits * kBuckets zeros.
void radixSortNumbers(double* values, int32_t n, uint64_t* spare, uint32_t* counts) {
  for (int32_t i = 0; i < n; ++i) {
    uint64_t key;
    std::memcpy(&key, values + i, sizeof key);
    key = (key & kSignBit) != 0 ? ~key : key | kSignBit;
    std::memcpy(values + i, &key, sizeof key);
    for (int d = 0; d < kDigits; ++d)
      ++counts[d * kBuckets + ((key >> (d * kDigitBits)) & (kBuckets - 1))];
  }
  bool inSpare = false;
  for (int d = 0; d < kDigits; ++d) {
    uint32_t* next = counts + d * kBuckets;
    // A digit that every key shares moves nothing.
    if (std::find(next, next + kBuckets, static_cast<uint32_t>(n)) != next + kBuckets) continue;
    uint32_t place = 0;
    for (uint32_t b = 0; b < kBuckets; ++b) {
      const uint32_t count = next[b];
      next[b] = place;
      place += count;
    }
    if (inSpare) {
      scatterByDigit(spare, values, n, d * kDigitBits, next);
    } else {
      scatterByDigit(values, spare, n, d * kDigitBits, next);
    }
    inSpare = !inSpare;
  }
  if (inSpare) std::memcpy(values, spare, sizeof(double) * static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    uint64_t key;
    std::memcpy(&key, values + i, sizeof key);
    key = (key & kSignBit) != 0 ? key & ~kSignBit : ~key;
    std::memcpy(values + i, &key, sizeof key);
  }
}

}  // namespace

void sortReals(double* values, int32_t n) {
  // Not-a-number values make "<" no strict weak order, so they are moved behind the numbers
  // first and only the numbers are sorted.
  const auto isNumber = [](double v) { return !std::isnan(v); };
  double* numbersEnd = values + n;
  if (!std::all_of(values, values + n, isNumber)) {
    numbersEnd = std::stable_partition(values, values + n, isNumber);
  }
  const auto numbers = static_cast<int32_t>(numbersEnd - values);
  if (numbers >= kRadixSortFrom) {
    std::vector<uint64_t> spare;
    std::vector<uint32_t> counts;
    try {
      spare.resize(static_cast<size_t>(numbers));
      counts.resize(kDigits * kBuckets);
    } catch (const std::bad_alloc&) {
      reportAllocationError("KernelDensity", 4);
    }
    radixSortNumbers(values, numbers, spare.data(), counts.data());
  } else {
    std::sort(values, numbersEnd, totalOrderLess);
  }
}

DensitySummary createDensitySummary(int32_t n, const double* values) {
  if (n <= 0) {
    DensitySummary summary;
    summary.count = n;
    summary.mean = summary.median = summary.stdDev = std::nan("");
    return summary;
  }
  std::vector<double> sorted;
  try {
    sorted.assign(values, values + n);
  } catch (const std::bad_alloc&) {
    reportAllocationError("KernelDensity", 1);
  }
  sortReals(sorted.data(), n);
  return summariseSorted(std::move(sorted));
}

DensitySummary summariseSorted(std::vector<double> sorted) {
  DensitySummary summary;
  const auto n = static_cast<int32_t>(sorted.size());
  summary.count = n;
  summary.sortedValues = std::move(sorted);
  const double* v = summary.sortedValues.data();

  double sum = 0.0;
  for (int32_t i = 0; i < n; ++i) sum += v[i];
  summary.mean = sum / static_cast<double>(n);

  double ss = 0.0;
  for (int32_t i = 0; i < n; ++i) ss += (v[i] - summary.mean) * (v[i] - summary.mean);
  summary.stdDev = std::sqrt((1.0 / static_cast<double>(n - 1)) * ss);

  const int32_t m = n / 2;
  summary.median = (n % 2 == 1) ? v[m] : (v[m - 1] + v[m]) * 0.5;
  return summary;
}

void applyRobustBandwidth(DensitySummary& summary) {
  const int32_t n = summary.count;
  if (n <= 0) {
    summary.bandwidth = summary.gridLow = summary.gridHigh = std::nan("");
    return;
  }
  const double* v = summary.sortedValues.data();
  const double count = static_cast<double>(n);
  const auto iHi = static_cast<int32_t>(count * 0.75);
  const auto iLo = static_cast<int32_t>(count * 0.25);
  const double q = (v[iHi] - v[iLo]) / 1.349;
  double s = summary.stdDev;
  if (summary.stdDev > q && q != 0.0) s = q;
  const double h = std::pow(count, -0.2) * (s * 0.9);
  summary.bandwidth = h;
  summary.gridLow = v[0] - h * 3.0;
  summary.gridHigh = h * 3.0 + v[n - 1];
}

double kernelDensityAt(double x, const DensitySummary& summary) {
  const double h = summary.bandwidth;
  const double w = std::sqrt(6.283185307179586) * h;
  const double* v = summary.sortedValues.data();
  double sum = 0.0;
  for (int32_t i = 0; i < summary.count; ++i) {
    const double u = (x - v[i]) / h;
    sum += std::exp((u * -0.5) * u) / w;
  }
  return sum / static_cast<double>(summary.count);
}

double findDensityModeReference(const DensitySummary& summary) {
  const double low = summary.gridLow;
  const double high = summary.gridHigh;
  const double step = (high - low) / 1000;
  double best = kernelDensityAt(low, summary);
  double mode = low;
  if (!(high > low)) return low;
  // The running x stops growing when the step is below half a spacing of the reals near the
  // grid, so the number of points is bounded as well.
  double x = low;
  for (int k = 0; k < kMaxGridPoints && high > x; ++k) {
    const double d = kernelDensityAt(x, summary);
    if (d > best) {
      best = d;
      mode = x;
    }
    x = x + step;
  }
  return mode;
}

}  // namespace scalesum
