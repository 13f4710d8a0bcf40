#include "KernelDensity.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "failure.h"

namespace scalesum {

namespace {

constexpr uint64_t kSignBit = 0x8000000000000000ULL;
constexpr int kMaxDigitBits = 12;

// Below this many numbers the comparison sort is as fast.
constexpr int32_t kRadixSortFrom = 256;

// Buckets this small are finished by insertion.
constexpr int32_t kInsertionBelow = 32;

// Orders numbers ascending, -0 before +0: the order of the radix sort's keys, so that no result
// depends on the order in which the two zeros arrive.
bool totalOrderLess(double a, double b) {
  return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

// The key at `slot`, where keys are kept in the values' own storage: the bits of the number, all
// of them flipped for a negative number and the sign bit set for the others, so that keys order
// as the numbers do, -0 before +0.
uint64_t keyAt(const double* slot) {
  uint64_t key;
  std::memcpy(&key, slot, sizeof key);
  return key;
}

void putKey(double* slot, uint64_t key) {
  std::memcpy(slot, &key, sizeof key);
}

void insertionSort(double* keys, int32_t n) {
  for (int32_t i = 1; i < n; ++i) {
    const uint64_t key = keyAt(keys + i);
    int32_t j = i;
    for (; j > 0 && keyAt(keys + j - 1) > key; --j) putKey(keys + j, keyAt(keys + j - 1));
    putKey(keys + j, key);
  }
}

// Sorts n keys from `low` to `high`, their least and greatest, with `spare` room for n more: one
// pass spreads them over buckets of equal width between the two by the leading bits of
// key - low, so that most buckets hold a few keys, which insertion finishes; a crowded bucket is
// spread again over its own narrower range, so no key is moved more than 64 / 4 times. Keys that
// are all equal stay where they are, so a run of ties costs one pass.
void spreadSort(double* keys, uint64_t* spare, int32_t n, uint64_t low, uint64_t high) {
  if (low == high) return;
  const auto rangeBits = static_cast<int>(std::bit_width(high - low));
  const int digitBits =
      std::clamp(static_cast<int>(std::bit_width(static_cast<uint32_t>(n))) - 1, 4, kMaxDigitBits);
  const int shift = std::max(0, rangeBits - digitBits);
  const auto buckets = static_cast<uint32_t>((high - low) >> shift) + 1;
  uint32_t starts[(1u << kMaxDigitBits) + 1];
  std::fill(starts, starts + buckets + 1, 0u);
  for (int32_t i = 0; i < n; ++i) ++starts[((keyAt(keys + i) - low) >> shift) + 1];
  for (uint32_t b = 1; b <= buckets; ++b) starts[b] += starts[b - 1];
  uint32_t next[1u << kMaxDigitBits];
  std::memcpy(next, starts, sizeof(uint32_t) * buckets);
  for (int32_t i = 0; i < n; ++i) {
    const uint64_t key = keyAt(keys + i);
    spare[next[(key - low) >> shift]++] = key;
  }
  std::memcpy(keys, spare, sizeof(uint64_t) * static_cast<size_t>(n));
  for (uint32_t b = 0; b < buckets; ++b) {
    double* bucket = keys + starts[b];
    const auto size = static_cast<int32_t>(starts[b + 1] - starts[b]);
    if (size < kInsertionBelow) {
      insertionSort(bucket, size);
      continue;
    }
    uint64_t least = ~uint64_t{0}, greatest = 0;
    for (int32_t i = 0; i < size; ++i) {
      least = std::min(least, keyAt(bucket + i));
      greatest = std::max(greatest, keyAt(bucket + i));
    }
    spreadSort(bucket, spare + starts[b], size, least, greatest);
  }
}

// Sorts n numbers, none of them not-a-number, ascending with -0 before +0, by sorting their
// keys. Numbers whose keys are equal are the same bits, so there is only one such order and any
// correct sort gives it. `spare` holds n keys. Numbers already in order cost one pass.
void radixSortNumbers(double* values, int32_t n, uint64_t* spare) {
  uint64_t low = ~uint64_t{0}, high = 0;
  bool ordered = true;
  for (int32_t i = 0; i < n; ++i) {
    uint64_t key = keyAt(values + i);
    key = (key & kSignBit) != 0 ? ~key : key | kSignBit;
    ordered = ordered && key >= high;
    low = std::min(low, key);
    high = std::max(high, key);
    putKey(values + i, key);
  }
  if (!ordered) spreadSort(values, spare, n, low, high);
  for (int32_t i = 0; i < n; ++i) {
    uint64_t key = keyAt(values + i);
    key = (key & kSignBit) != 0 ? key & ~kSignBit : ~key;
    putKey(values + i, key);
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
    try {
      spare.resize(static_cast<size_t>(numbers));
    } catch (const std::bad_alloc&) {
      reportAllocationError("KernelDensity", 4);
    }
    radixSortNumbers(values, numbers, spare.data());
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
