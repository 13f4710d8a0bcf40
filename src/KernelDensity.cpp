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

// A run of equal numbers in a series: their key and how many there are.
struct Run {
  uint64_t key;
  uint64_t count;
};

// Returns the radix sort's key of a number's bits: keys order as the numbers do, -0 before +0
// (the bits, with all of them flipped for negative numbers and the sign bit set for the
// others); and the bits of a key's number.
uint64_t keyOf(uint64_t bits) {
  return (bits & kSignBit) != 0 ? ~bits : bits | kSignBit;
}
uint64_t bitsOf(uint64_t key) {
  return (key & kSignBit) != 0 ? key & ~kSignBit : ~key;
}

// Adds each digit of `key` to its histogram in `counts`.
void countDigits(uint64_t key, uint32_t* counts) {
  for (int d = 0; d < kDigits; ++d)
    ++counts[d * kBuckets + ((key >> (d * kDigitBits)) & (kBuckets - 1))];
}

// Moves every record of `from`, which begins with its key, to its place in `to` by one digit;
// `next` holds each bucket's first free place.
template <class From, class To>
void scatterByDigit(const From* from, To* to, int32_t n, int shift, uint32_t* next) {
  static_assert(sizeof(From) == sizeof(To));
  for (int32_t i = 0; i < n; ++i) {
    uint64_t key;
    std::memcpy(&key, from + i, sizeof key);
    std::memcpy(to + next[(key >> shift) & (kBuckets - 1)]++, from + i, sizeof(From));
  }
}

// Sorts the n records at `records`, each beginning with its key, by a least-significant-digit
// radix sort through `spare`, which holds n more; `counts` holds the histograms of the keys'
// kDigits digits. Returns whether the records ended in `spare`.
template <class Record, class Spare>
bool sortByDigits(Record* records, Spare* spare, int32_t n, uint32_t* counts) {
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
      scatterByDigit(spare, records, n, d * kDigitBits, next);
    } else {
      scatterByDigit(records, spare, n, d * kDigitBits, next);
    }
    inSpare = !inSpare;
  }
  return inSpare;
}

// Sorts n numbers, none of them not-a-number, ascending with -0 before +0: a least-significant-
// digit radix sort on keys that order as the numbers do. Numbers whose keys are equal are the
// same bits, so there is only one such order and any correct sort gives it. The keys live in
// the values' own storage between passes; `spare` holds n more and `counts` kDigits * kBuckets
// zeros.
void radixSortNumbers(double* values, int32_t n, uint64_t* spare, uint32_t* counts) {
  for (int32_t i = 0; i < n; ++i) {
    uint64_t key;
    std::memcpy(&key, values + i, sizeof key);
    key = keyOf(key);
    std::memcpy(values + i, &key, sizeof key);
    countDigits(key, counts);
  }
  if (sortByDigits(values, spare, n, counts)) {
    std::memcpy(values, spare, sizeof(double) * static_cast<size_t>(n));
  }
  for (int32_t i = 0; i < n; ++i) {
    uint64_t key;
    std::memcpy(&key, values + i, sizeof key);
    key = bitsOf(key);
    std::memcpy(values + i, &key, sizeof key);
  }
}

// Sorts the n numbers as radixSortNumbers() does, given that they come in `runCount` runs of
// equal bits: only the runs are sorted, with their lengths, and then laid out again. `runs` and
// `spare` hold runCount runs each, `counts` kDigits * kBuckets zeros.
void sortRuns(double* values, int32_t n, int32_t runCount, Run* runs, Run* spare,
              uint32_t* counts) {
  int32_t r = -1;
  uint64_t last = 0;
  for (int32_t i = 0; i < n; ++i) {
    const auto bits = std::bit_cast<uint64_t>(values[i]);
    if (r < 0 || bits != last) {
      runs[++r] = {keyOf(bits), 0};
      countDigits(runs[r].key, counts);
      last = bits;
    }
    ++runs[r].count;
  }
  const Run* sorted = sortByDigits(runs, spare, runCount, counts) ? spare : runs;
  double* out = values;
  for (int32_t k = 0; k < runCount; ++k) {
    out = std::fill_n(out, sorted[k].count, std::bit_cast<double>(bitsOf(sorted[k].key)));
  }
}

// Returns how many runs of equal bits the n >= 2 numbers come in where they seem to come in
// runs, as the Scalars of rarely scaled branches do (a few runs per hundred values), and n
// otherwise: a look at 64 neighbouring pairs spread over them decides, which costs nothing
// beside a pass over series that have no runs.
int32_t runsIfAny(const double* values, int32_t n) {
  int equal = 0;
  for (int64_t k = 0; k < 64; ++k) {
    const auto i = static_cast<int32_t>(1 + k * (n - 1) / 64);
    equal += std::bit_cast<uint64_t>(values[i]) == std::bit_cast<uint64_t>(values[i - 1]);
  }
  if (equal < 48) return n;
  int32_t runCount = 1;
  for (int32_t i = 1; i < n; ++i) {
    runCount += std::bit_cast<uint64_t>(values[i]) != std::bit_cast<uint64_t>(values[i - 1]);
  }
  return runCount;
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
  if (numbers < kRadixSortFrom) {
    std::sort(values, numbersEnd, totalOrderLess);
    return;
  }
  const int32_t runCount = runsIfAny(values, numbers);
  // Runs move twice the bytes of a number and are laid out again after: they pay where there
  // are at most a quarter as many. Each pass over them also waits less on the bucket that took
  // the last key, which a series of long runs otherwise does at every number.
  const bool byRuns = runCount <= numbers / 4;
  std::vector<uint32_t> counts;
  std::vector<uint64_t> spare;
  std::vector<Run> runs;
  try {
    counts.resize(kDigits * kBuckets);
    if (byRuns) {
      runs.resize(2 * static_cast<size_t>(runCount));
    } else {
      spare.resize(static_cast<size_t>(numbers));
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("KernelDensity", 4);
  }
  if (byRuns) {
    sortRuns(values, numbers, runCount, runs.data(), runs.data() + runCount, counts.data());
  } else {
    radixSortNumbers(values, numbers, spare.data(), counts.data());
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
