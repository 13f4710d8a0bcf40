#include "convergence.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "autocovariance.h"
#include "failure.h"

namespace scalesum {

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

// The slot of a draw that the split leaves out: the middle draw of an odd-length chain.
constexpr uint32_t kDropped = UINT32_MAX;

// Sums in four interleaved parts, which keeps the adder busy; the rounding stays far below the
// agreement that matters here (1e-12 relative).
double sum(const double* x, size_t n) {
  double part[4] = {};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (size_t k = 0; k < 4; ++k) part[k] += x[i + k];
  }
  for (; i < n; ++i) part[0] += x[i];
  return (part[0] + part[1]) + (part[2] + part[3]);
}

double mean(const double* x, size_t n) {
  return sum(x, n) / static_cast<double>(n);
}

// Sample variance (denominator count - 1) about the given mean.
double variance(const double* x, size_t n, double centre) {
  double part[4] = {};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (size_t k = 0; k < 4; ++k) part[k] += (x[i + k] - centre) * (x[i + k] - centre);
  }
  for (; i < n; ++i) part[0] += (x[i] - centre) * (x[i] - centre);
  return ((part[0] + part[1]) + (part[2] + part[3])) / static_cast<double>(n - 1);
}

// Returns an unsigned key that orders as the value does (-0 just before +0).
uint64_t sortKey(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
}

// Sorts the draws ascending by value, -0 before +0. A radix sort on the top 33 bits of the keys, 11
// at a time, nearly orders them; insertion puts right the few that share those bits, and should
// many share them, a comparison sort finishes instead.
void sortDraws(std::vector<RankedDraw>& draws, std::vector<RankedDraw>& spare) {
  constexpr int kDigitBits = 11;
  constexpr int kDigits = 3;
  constexpr int kLowestBit = 64 - kDigits * kDigitBits;
  constexpr uint64_t kMask = (uint64_t{1} << kDigitBits) - 1;
  const size_t count = draws.size();
  if (count < 2) return;
  spare.resize(count);
  uint32_t counts[kDigits][kMask + 1] = {};
  for (const RankedDraw& d : draws) {
    const uint64_t key = sortKey(d.value);
    for (int k = 0; k < kDigits; ++k) ++counts[k][(key >> (kLowestBit + kDigitBits * k)) & kMask];
  }
  for (int k = 0; k < kDigits; ++k) {
    const int shift = kLowestBit + kDigitBits * k;
    if (counts[k][(sortKey(draws[0].value) >> shift) & kMask] == count) continue;
    uint32_t total = 0;
    for (uint32_t& c : counts[k]) {
      const uint32_t here = c;
      c = total;
      total += here;
    }
    for (const RankedDraw& d : draws) spare[counts[k][(sortKey(d.value) >> shift) & kMask]++] = d;
    draws.swap(spare);
  }
  size_t moves = 0;
  for (size_t i = 1; i < count; ++i) {
    const RankedDraw d = draws[i];
    size_t j = i;
    while (j > 0 && d.value < draws[j - 1].value) {
      draws[j] = draws[j - 1];
      --j;
    }
    draws[j] = d;
    moves += i - j;
    if (moves > 8 * count) {
      std::sort(draws.begin(), draws.end(), [](const RankedDraw& a, const RankedDraw& b) {
        return sortKey(a.value) < sortKey(b.value);
      });
      return;
    }
  }
}

// Returns the normal score of the average rank twiceRank / 2 among `count` pooled draws.
double normalScore(ConvergenceScratch& s, size_t twiceRank, size_t count) {
  double& z = s.normalScores[twiceRank];
  if (std::isnan(z)) {
    const double rank = static_cast<double>(twiceRank) * 0.5;
    z = normalQuantile((rank - 0.375) / (static_cast<double>(count) - 0.75 + 1.0));
  }
  return z;
}

// Writes into s.split, at each draw's slot, the normal score of its average rank among the
// `count` ascending draws; returns whether they were all equal.
bool writeNormalScores(const RankedDraw* draws, size_t count, ConvergenceScratch& s) {
  if (s.scoredDraws != count) {
    s.normalScores.assign(2 * count + 2, kNA);
    s.scoredDraws = count;
  }
  size_t first = 0;
  while (first < count) {
    size_t last = first + 1;
    while (last < count && draws[last].value == draws[first].value) ++last;
    // The ranks first + 1 … last share their mean.
    const double z = normalScore(s, first + 1 + last, count);
    for (size_t k = first; k < last; ++k) s.split[draws[k].slot] = z;
    if (first == 0 && last == count) return true;
    first = last;
  }
  return false;
}

// Returns the split-R-hat of `chains` half-chains of n >= 2 draws each, stored one after the
// other.
double rhatCore(const double* x, size_t n, size_t chains, std::vector<double>& means) {
  means.resize(chains);
  long double within = 0.0L;
  for (size_t j = 0; j < chains; ++j) {
    means[j] = mean(x + j * n, n);
    within += variance(x + j * n, n, means[j]);
  }
  const double varWithin = static_cast<double>(within / static_cast<long double>(chains));
  const double grandMean = mean(means.data(), chains);
  const double varBetween = static_cast<double>(n) * variance(means.data(), chains, grandMean);
  const double size = static_cast<double>(n);
  return std::sqrt((varBetween / varWithin + size - 1.0) / size);
}

// Returns the effective sample size of `chains` half-chains of n >= 3 draws each, given the
// variance of their means and `extend`, which makes s.lagMeans (empty or holding lags from 0
// on) hold the mean autocovariance over half-chains (each about its own mean, divided by n) of
// every lag up to the one it is given. Only the lags that the truncation reads are asked for.
template <class Extend>
double geyerEss(size_t n, size_t chains, double varMeans, ConvergenceScratch& s, Extend&& extend) {
  const double size = static_cast<double>(n);
  const std::vector<double>& lagMeans = s.lagMeans;
  extend(1);
  const double meanVar = lagMeans[0] * size / (size - 1.0);
  double varPlus = meanVar * (size - 1.0) / size;
  if (chains > 1) varPlus += varMeans;
  auto rhoAt = [&](size_t lag) {
    extend(lag);
    return 1.0 - (meanVar - lagMeans[lag]) / varPlus;
  };

  // Geyer's initial positive sequence, lags in pairs (0-based, so the first pair is 0 and 1).
  std::vector<double>& rho = s.rho;
  rho.assign(n, 0.0);
  size_t t = 0;
  double even = 1.0;
  double odd = rhoAt(1);
  rho[0] = even;
  rho[1] = odd;
  while (t + 5 < n && !std::isnan(even + odd) && even + odd > 0.0) {
    t += 2;
    even = rhoAt(t);
    odd = rhoAt(t + 1);
    if (even + odd >= 0.0) {
      rho[t] = even;
      rho[t + 1] = odd;
    }
  }
  const size_t maxT = t;
  if (even > 0.0) rho[maxT] = even;
  // Geyer's initial monotone sequence.
  for (t = 2; t + 2 <= maxT; t += 2) {
    if (rho[t] + rho[t + 1] > rho[t - 2] + rho[t - 1]) {
      rho[t] = (rho[t - 2] + rho[t - 1]) / 2.0;
      rho[t + 1] = rho[t];
    }
  }
  // With no pair read, the published method counts the first autocorrelation in the sum too,
  // and users compare our figures with its.
  const double head = maxT > 0 ? sum(rho.data(), maxT) : rho[0];
  double tau = -1.0 + 2.0 * head + rho[maxT];
  const double draws = static_cast<double>(chains) * size;
  // Nearly antithetic chains would otherwise claim far more draws than they hold.
  tau = std::max(tau, 1.0 / std::log10(draws));
  return draws / tau;
}

// How many lags a series reads from direct sums before the rest come from transforms: a series
// that mixes well needs only these, while one that mixes slowly reads lags near n.
constexpr size_t kDirectLags = 16;

// How essCore() takes the lags past kDirectLags.
struct LagPlan {
  size_t directLags;  // kFallenDirectLags where the autocorrelation has fallen; else kDirectLags
  size_t firstLags;   // the lags the first transform gives (at most n); a later one gives all
  LagTransform how;   // how the transforms are formed
};

// Returns the effective sample size of `chains` half-chains of n >= 3 draws each, stored one
// after the other, which it centres in place. Lags below kDirectLags are summed directly, a
// block at a time, and the later ones as `plan` says.
double essCore(double* x, size_t n, size_t chains, LagPlan plan, ConvergenceScratch& s) {
  std::vector<double>& means = s.means;
  means.resize(chains);
  for (size_t j = 0; j < chains; ++j) {
    means[j] = mean(x + j * n, n);
    for (size_t i = 0; i < n; ++i) x[j * n + i] -= means[j];
  }
  const double size = static_cast<double>(n);
  const double halves = static_cast<double>(chains);
  const double varMeans =
      chains > 1 ? variance(means.data(), chains, mean(means.data(), chains)) : 0.0;
  std::vector<double>& lagMeans = s.lagMeans;
  lagMeans.clear();
  size_t transformed = 0;  // s.lagSums holds the lags below this one from the transforms
  return geyerEss(n, chains, varMeans, s, [&](size_t lag) {
    while (lagMeans.size() <= lag) {
      const size_t first = lagMeans.size();
      if (first < transformed) {
        lagMeans.push_back(s.lagSums[first] / size / halves);
        continue;
      }
      if (first >= kDirectLags &&
          !(first < plan.directLags &&
            lagMeans[first - 2] + lagMeans[first - 1] < kFallenPairShare * lagMeans[0])) {
        transformed = first < plan.firstLags ? std::min(plan.firstLags, n) : n;
        s.lagSums.resize(transformed);
        sumLagProducts(x, n, chains, transformed, s.lagSums.data(), s.lags, plan.how);
        continue;
      }
      double sums[kLagsPerPass];
      double overChains[kLagsPerPass] = {};
      for (size_t j = 0; j < chains; ++j) {
        std::fill(sums, sums + kLagsPerPass, 0.0);
        addLagProducts(x + j * n, n, first, sums);
        for (size_t m = 0; m < kLagsPerPass; ++m) overChains[m] += sums[m] / size;
      }
      for (size_t m = 0; m < kLagsPerPass; ++m) lagMeans.push_back(overChains[m] / halves);
    }
  });
}

// Exact integers wide enough for n^3 whatever the number of draws.
__extension__ typedef __int128 Wide;

// Returns how many bits i of the n-bit half-chain `words` have bit i + lag set as well; the
// bits past n are clear. Without the processor's own bit count, each count takes a dozen steps.
__attribute__((target_clones("popcnt", "default"))) size_t pairsAtLag(const uint64_t* words,
                                                                      size_t wordCount,
                                                                      size_t lag) {
  const size_t skip = lag / 64;
  const unsigned shift = lag % 64;
  size_t pairs = 0;
  if (shift == 0) {
    for (size_t w = 0; w + skip < wordCount; ++w) {
      pairs += static_cast<size_t>(std::popcount(words[w] & words[w + skip]));
    }
    return pairs;
  }
  size_t w = 0;
  for (; w + skip + 1 < wordCount; ++w) {
    const uint64_t ahead = (words[w + skip] >> shift) | (words[w + skip + 1] << (64 - shift));
    pairs += static_cast<size_t>(std::popcount(words[w] & ahead));
  }
  if (w + skip < wordCount) {
    pairs += static_cast<size_t>(std::popcount(words[w] & (words[w + skip] >> shift)));
  }
  return pairs;
}

// Sets s.pairs[t], for t below n, to how many set bits i of a half-chain have bit i + t set as
// well, summed over the `halves` half-chains of n bits, from the runs of set bits. Two runs
// [s, e) and [s', e') with s' >= e pair up at lag t
//   max(0, e' - s - t) - max(0, e' - e - t) - max(0, s' - s - t) + max(0, s' - e - t)
// times, a run with itself max(0, e - s - t) times; so each pair of runs adds a few ramps
// max(0, K - t), counted by K in s.ramps, and one sweep down the lags sums them.
void countPairsByRuns(const uint64_t* bits, size_t wordCount, size_t n, size_t halves,
                      ConvergenceScratch& s) {
  std::vector<int64_t>& ramps = s.ramps;
  std::vector<uint32_t>& runs = s.runs;
  ramps.assign(n + 1, 0);
  for (size_t j = 0; j < halves; ++j) {
    runs.clear();
    const uint64_t* words = bits + j * wordCount;
    for (size_t i = 0; i < n;) {
      const uint64_t ahead = words[i / 64] >> (i % 64);
      if (ahead == 0) {
        i += 64 - i % 64;
        continue;
      }
      i += static_cast<size_t>(std::countr_zero(ahead));
      const size_t start = i;
      while (i < n) {
        const size_t ones = static_cast<size_t>(std::countr_one(words[i / 64] >> (i % 64)));
        i += ones;
        if (i % 64 != 0 || ones == 0) break;  // the run has ended
      }
      runs.push_back(static_cast<uint32_t>(start));
      runs.push_back(static_cast<uint32_t>(i));
    }
    for (size_t a = 0; a < runs.size(); a += 2) {
      const size_t start = runs[a], end = runs[a + 1];
      ++ramps[end - start];
      for (size_t b = a + 2; b < runs.size(); b += 2) {
        ++ramps[runs[b + 1] - start];
        --ramps[runs[b + 1] - end];
        --ramps[runs[b] - start];
        ++ramps[runs[b] - end];
      }
    }
  }
  std::vector<uint64_t>& pairs = s.pairs;
  pairs.resize(n);
  int64_t slopes = 0, weighted = 0;  // over the ramps with K > t: their count and sum of K
  for (size_t t = n; t-- > 0;) {
    slopes += ramps[t + 1];
    weighted += ramps[t + 1] * static_cast<int64_t>(t + 1);
    pairs[t] = static_cast<uint64_t>(weighted - static_cast<int64_t>(t) * slopes);
  }
}

// Sets s.bits to the indicator of the `markedCount` draws `marked` among `halves` half-chains of
// n bits in `wordCount` words each, s.ones to the number of set bits of each half-chain, and
// s.weights[i] to the sum of those numbers over the half-chains with bit i set.
void markDraws(const RankedDraw* marked, size_t markedCount, size_t n, size_t halves,
               size_t wordCount, ConvergenceScratch& s) {
  std::vector<uint64_t>& bits = s.bits;
  bits.assign(halves * wordCount, 0);
  std::vector<size_t>& ones = s.ones;
  ones.assign(halves, 0);
  for (size_t k = 0; k < markedCount; ++k) {
    const size_t half = marked[k].slot / n, i = marked[k].slot % n;
    bits[half * wordCount + i / 64] |= uint64_t{1} << (i % 64);
    ++ones[half];
  }
  std::vector<uint64_t>& weights = s.weights;
  weights.assign(n, 0);
  for (size_t k = 0; k < markedCount; ++k) {
    weights[marked[k].slot % n] += ones[marked[k].slot / n];
  }
}

// An indicator's autocovariance sums, read lag after lag. For a half-chain with k ones among n
// and mean k / n, n^2 times its autocovariance sum at lag t is the integer
// n^2 A - n k (B + C) + (n - t) k^2, where A counts the i < n - t with bits i and i + t both set,
// B the set bits below n - t and C those from t on; summed exactly, it leaves one rounding where
// a sum of products leaves n.
struct IndicatorLags {
  size_t n = 0, halves = 0, wordCount = 0;
  Wide onesSum = 0, onesSquares = 0;  // the sums over half-chains of k and of k^2
  // Going from lag t to t + 1 takes bit n - 1 - t out of every B and bit t out of every C, so
  // the sum over half-chains of k (B + C) drops by s.weights[n - 1 - t] + s.weights[t].
  Wide margins = 0;  // that sum at the next lag
  // Counting the pairs lag by lag costs a pass over the words each; counting them from the
  // runs costs a step per pair of runs, for every lag at once. Lags go on counting words until
  // they have cost as much as the runs would, which keeps the total within twice the cheaper.
  size_t runPairs = 0;
  size_t wordsCounted = 0;
  bool byRuns = false;
  // Every term is below 4 n^3 per half-chain; where that fits 63 bits, so does the sum, and the
  // processor's own integers give the very same figures faster.
  bool narrow = false;
};

// Returns the sums of the indicator in s.bits and s.ones, ready to read lag 0.
IndicatorLags sumIndicator(size_t n, size_t halves, size_t wordCount, const ConvergenceScratch& s) {
  IndicatorLags l{.n = n, .halves = halves, .wordCount = wordCount};
  for (size_t j = 0; j < halves; ++j) {
    l.onesSum += s.ones[j];
    l.onesSquares += static_cast<Wide>(s.ones[j]) * s.ones[j];
    size_t runs = 0;  // set bits after a clear one
    uint64_t before = 0;
    for (size_t w = 0; w < wordCount; ++w) {
      const uint64_t word = s.bits[j * wordCount + w];
      runs += static_cast<size_t>(std::popcount(word & ~((word << 1) | before)));
      before = word >> 63;
    }
    l.runPairs += runs * (runs + 1) / 2;
  }
  l.margins = 2 * l.onesSquares;
  const Wide wideN = static_cast<Wide>(n);
  l.narrow = 4 * wideN * wideN * wideN * static_cast<Wide>(halves) < (Wide{1} << 62);
  return l;
}

// Returns the mean autocovariance over half-chains at lag t < n, the lag after the last one
// read, from the indicator in s.bits; `scale` is n^3 times the number of half-chains.
double indicatorLagMean(IndicatorLags& l, size_t t, double scale, ConvergenceScratch& s) {
  const size_t n = l.n;
  if (!l.byRuns && l.wordsCounted >= l.runPairs) {
    countPairsByRuns(s.bits.data(), l.wordCount, n, l.halves, s);
    l.byRuns = true;
  }
  size_t pairs = 0;
  if (l.byRuns) {
    pairs = s.pairs[t];
  } else {
    l.wordsCounted += l.halves * l.wordCount;
    for (size_t j = 0; j < l.halves; ++j)
      pairs += pairsAtLag(s.bits.data() + j * l.wordCount, l.wordCount, t);
  }
  double lagMean;
  if (l.narrow) {
    const auto m = static_cast<int64_t>(n);
    lagMean = static_cast<double>(
                  m * m * static_cast<int64_t>(pairs) - m * static_cast<int64_t>(l.margins) +
                  static_cast<int64_t>(n - t) * static_cast<int64_t>(l.onesSquares)) /
              scale;
  } else {
    const Wide wideN = static_cast<Wide>(n);
    lagMean = static_cast<double>(wideN * wideN * static_cast<Wide>(pairs) - wideN * l.margins +
                                  static_cast<Wide>(n - t) * l.onesSquares) /
              scale;
  }
  l.margins -= s.weights[n - 1 - t] + s.weights[t];
  return lagMean;
}

// Returns the effective sample size of the split indicator that is 1 for the first `below` of
// the `kept` ascending split draws, 0 < below < kept, in `halves` half-chains of n >= 3. The
// indicator and its complement have the same autocovariances, so the smaller side is the one
// marked, one bit per draw.
double indicatorEss(const RankedDraw* ascending, size_t kept, size_t below, size_t n, size_t halves,
                    ConvergenceScratch& s) {
  const size_t wordCount = (n + 63) / 64;
  const bool lowSide = below <= kept - below;
  markDraws(lowSide ? ascending : ascending + below, lowSide ? below : kept - below, n, halves,
            wordCount, s);
  IndicatorLags lags = sumIndicator(n, halves, wordCount, s);
  const double size = static_cast<double>(n);
  // The variance of the half-chain means, exact but for its last rounding.
  const Wide spread = static_cast<Wide>(halves) * lags.onesSquares - lags.onesSum * lags.onesSum;
  const double varMeans = static_cast<double>(spread) /
                          (static_cast<double>(halves) * static_cast<double>(halves - 1)) /
                          (size * size);
  const double scale = size * size * size * static_cast<double>(halves);
  s.lagMeans.clear();
  return geyerEss(n, halves, varMeans, s, [&](size_t lag) {
    while (s.lagMeans.size() <= lag) {
      const size_t t = s.lagMeans.size();
      s.lagMeans.push_back(t < n ? indicatorLagMean(lags, t, scale, s) : 0.0);
    }
  });
}

// Returns the mean of two draws as the reference forms a median between them.
double midway(double a, double b) {
  return static_cast<double>((static_cast<long double>(a) + b) / 2.0L);
}

// Returns R's type-7 quantile at p of the count >= 1 ascending draws, valueAt(i) being the
// i-th, rounded step by step as R rounds it: the tail diagnostics are held against R's.
template <class ValueAt>
double type7QuantileAsR(ValueAt&& valueAt, size_t count, double p) {
  const double index = 1.0 + static_cast<double>(count - 1) * p;
  const double lo = std::floor(index);
  const double hi = std::ceil(index);
  const double low = valueAt(static_cast<size_t>(lo) - 1);
  const double high = valueAt(static_cast<size_t>(hi) - 1);
  if (!(index > lo) || high == low) return low;
  const double h = index - lo;
  return (1.0 - h) * low + h * high;
}

// Returns the split-R-hat of the `kept` split draws folded about `median`, that is of the
// normal scores of their distances from it; valueOf(k) is the value of the k-th of the draws
// `ascending`, in an order in which those values ascend.
template <class ValueOf>
double foldedRhat(const RankedDraw* ascending, size_t kept, double median, ValueOf&& valueOf,
                  size_t n, size_t halves, ConvergenceScratch& s) {
  const size_t split = static_cast<size_t>(
      std::partition_point(ascending, ascending + kept,
                           [&](const RankedDraw& d) {
                             return valueOf(static_cast<size_t>(&d - ascending)) < median;
                           }) -
      ascending);
  // Each side as distances, nearest first, between marks: the merge then needs no bounds, and
  // which side comes next, a coin toss for the processor, is a select rather than a branch. The
  // mark's bits order after every distance's (infinite ones too) read unsigned, and before them
  // read signed. The nearest half of the folded draws is merged from the median outwards, the
  // farthest half from the ends inwards, in one loop: two independent chains of loads.
  const double mark = std::bit_cast<double>(~uint64_t{0});
  s.spare.resize(kept + 3);  // free once the draws are sorted
  RankedDraw* sides = s.spare.data();
  sides[0] = {mark, 0};
  for (size_t k = 0; k < split; ++k) {
    const size_t at = split - 1 - k;
    sides[1 + k] = {std::fabs(valueOf(at) - median), ascending[at].slot};
  }
  sides[split + 1] = {mark, 0};
  for (size_t k = split; k < kept; ++k) {
    sides[k + 2] = {std::fabs(valueOf(k) - median), ascending[k].slot};
  }
  sides[kept + 2] = {mark, 0};
  auto bits = [&](size_t at) { return std::bit_cast<uint64_t>(sides[at].value); };
  RankedDraw* folded = s.folded.data();
  size_t nearBelow = 1, nearAbove = split + 2;   // the nearest draws not yet merged
  size_t farBelow = split, farAbove = kept + 1;  // the farthest draws not yet merged
  for (size_t k = 0; k < kept / 2; ++k) {
    // Ties go above first, so that both ends agree on one order.
    const size_t nearTakesAbove = bits(nearAbove) <= bits(nearBelow);
    const size_t nearMask = 0 - nearTakesAbove;
    folded[k] = sides[(nearAbove & nearMask) | (nearBelow & ~nearMask)];
    nearAbove += nearTakesAbove;
    nearBelow += 1 - nearTakesAbove;
    const size_t farTakesBelow =
        static_cast<int64_t>(bits(farBelow)) >= static_cast<int64_t>(bits(farAbove));
    const size_t farMask = 0 - farTakesBelow;
    folded[kept - 1 - k] = sides[(farBelow & farMask) | (farAbove & ~farMask)];
    farBelow -= farTakesBelow;
    farAbove -= 1 - farTakesBelow;
  }
  const bool foldedConstant = writeNormalScores(folded, kept, s);
  return foldedConstant ? kNA : rhatCore(s.split.data(), n, halves, s.means);
}

// Fills s.sorted, in chain order, with each draw and its slot in the split: chain c's first
// half is half-chain c, its second half is half-chain m + c, and an odd length's middle draw
// is kDropped. Returns whether every draw is finite.
bool placeDraws(std::span<const double* const> chains, size_t length, size_t n,
                ConvergenceScratch& s) {
  const size_t m = chains.size();
  bool allFinite = true;
  for (size_t c = 0; c < m; ++c) {
    const double* x = chains[c];
    RankedDraw* draws = s.sorted.data() + c * length;
    for (size_t i = 0; i < length; ++i) allFinite &= std::isfinite(x[i]);
    for (size_t i = 0; i < n; ++i) draws[i] = {x[i], static_cast<uint32_t>(c * n + i)};
    for (size_t i = n; i < length - n; ++i) draws[i] = {x[i], kDropped};
    for (size_t i = length - n; i < length; ++i) {
      draws[i] = {x[i], static_cast<uint32_t>((m + c) * n + (i - (length - n)))};
    }
  }
  return allFinite;
}

// Returns the split draws in ascending order: the `count` draws `sorted` themselves, or, where
// chains of odd `length` left their middle draws out, s.ascending filled without them.
const RankedDraw* splitAscending(const RankedDraw* sorted, size_t length, size_t count,
                                 ConvergenceScratch& s) {
  if (length % 2 == 0) return sorted;
  size_t k = 0;
  for (size_t i = 0; i < count; ++i) {
    if (sorted[i].slot != kDropped) s.ascending[k++] = sorted[i];
  }
  return s.ascending.data();
}

// Returns the tail effective sample size of the `count` draws `sorted`, kept split in
// `ascending`: the smaller one of the indicators of falling at or below the 5% and 95%
// quantiles of all draws. Either indicator being constant leaves it undefined, which the
// counts tell at once.
double tailEss(const RankedDraw* sorted, size_t count, const RankedDraw* ascending, size_t kept,
               size_t n, size_t halves, ConvergenceScratch& s) {
  if (n < 3 || std::fabs(sorted[count - 1].value - sorted[0].value) < DBL_EPSILON) return kNA;
  auto atOrBelow = [&](double q) {
    return static_cast<size_t>(
        std::upper_bound(ascending, ascending + kept, q,
                         [](double v, const RankedDraw& d) { return v < d.value; }) -
        ascending);
  };
  auto valueAt = [&](size_t i) { return sorted[i].value; };
  const size_t low = atOrBelow(type7QuantileAsR(valueAt, count, 0.05));
  const size_t high = atOrBelow(type7QuantileAsR(valueAt, count, 0.95));
  if (low == 0 || low >= kept || high == 0 || high >= kept) return kNA;
  return std::min(indicatorEss(ascending, kept, low, n, halves, s),
                  indicatorEss(ascending, kept, high, n, halves, s));
}

}  // namespace

double normalQuantile(double p) {
  const double q = p - 0.5;
  if (std::fabs(q) <= 0.425) {
    const double r = 0.180625 - q * q;
    return q *
           (((((((r * 2509.0809287301226727 + 33430.575583588128105) * r + 67265.770927008700853) *
                    r +
                45921.953931549871457) *
                   r +
               13731.693765509461125) *
                  r +
              1971.5909503065514427) *
                 r +
             133.14166789178437745) *
                r +
            3.387132872796366608) /
           (((((((r * 5226.495278852545925 + 28729.085735721942674) * r + 39307.89580009271061) *
                    r +
                21213.794301586595867) *
                   r +
               5394.1960214247511077) *
                  r +
              687.1870074920579083) *
                 r +
             42.313330701600911252) *
                r +
            1.0);
  }
  if (p <= 0.0) return p == 0.0 ? -HUGE_VAL : kNA;
  if (p >= 1.0) return p == 1.0 ? HUGE_VAL : kNA;
  // r = sqrt(-log(min(p, 1 - p))), with 1 - p formed as the reference forms it.
  double r = std::sqrt(-std::log(q > 0.0 ? 0.5 - p + 0.5 : p));
  double value;
  if (r <= 5.0) {
    r += -1.6;
    value = (((((((r * 7.7454501427834140764e-4 + .0227238449892691845833) * r +
                  .24178072517745061177) *
                     r +
                 1.27045825245236838258) *
                    r +
                3.64784832476320460504) *
                   r +
               5.7694972214606914055) *
                  r +
              4.6303378461565452959) *
                 r +
             1.42343711074968357734) /
            (((((((r * 1.05075007164441684324e-9 + 5.475938084995344946e-4) * r +
                  .0151986665636164571966) *
                     r +
                 .14810397642748007459) *
                    r +
                .68976733498510000455) *
                   r +
               1.6763848301838038494) *
                  r +
              2.05319162663775882187) *
                 r +
             1.0);
  } else {
    r += -5.0;
    value = (((((((r * 2.01033439929228813265e-7 + 2.71155556874348757815e-5) * r +
                  .0012426609473880784386) *
                     r +
                 .026532189526576123093) *
                    r +
                .29656057182850489123) *
                   r +
               1.7848265399172913358) *
                  r +
              5.4637849111641143699) *
                 r +
             6.6579046435011037772) /
            (((((((r * 2.04426310338993978564e-15 + 1.4215117583164458887e-7) * r +
                  1.8463183175100546818e-5) *
                     r +
                 7.868691311456132591e-4) *
                    r +
                .0148753612908506148525) *
                   r +
               .13692988092273580531) *
                  r +
              .59983220655588793769) *
                 r +
             1.0);
  }
  return q < 0.0 ? -value : value;
}

void rankNormalScores(std::span<const double> values, std::vector<double>& scores,
                      ConvergenceScratch& s) {
  const size_t count = values.size();
  s.ascending.resize(count);
  s.split.resize(count);
  for (size_t i = 0; i < count; ++i) s.ascending[i] = {values[i], static_cast<uint32_t>(i)};
  sortDraws(s.ascending, s.spare);
  writeNormalScores(s.ascending.data(), count, s);
  scores.assign(s.split.begin(), s.split.end());
}

Convergence convergence(std::span<const double* const> chains, size_t length,
                        ConvergenceScratch& s) {
  Convergence result{kNA, kNA, kNA};
  s.sortedAll = false;
  s.chains = chains.size();
  s.length = length;
  const size_t m = chains.size();
  const size_t n = length / 2;  // draws per half; an odd length leaves its middle draw out
  if (m == 0 || n < 2) return result;
  const size_t halves = 2 * m;
  const size_t count = m * length;
  const size_t kept = halves * n;
  if (count >= kDropped) fail(1, Stream::kStdout, "Scalesum: too many draws to diagnose\n");
  try {
    s.sorted.resize(count);
    s.ascending.resize(kept);
    s.folded.resize(kept);
    s.split.resize(kept);
  } catch (const std::bad_alloc&) {
    reportAllocationError("convergence", 1);
  }
  if (!placeDraws(chains, length, n, s)) return result;
  sortDraws(s.sorted, s.spare);
  s.sortedAll = true;
  const RankedDraw* sorted = s.sorted.data();

  // The bulk diagnostics on the normal scores of the split draws.
  const RankedDraw* ascending = splitAscending(sorted, length, count, s);
  const bool constant = writeNormalScores(ascending, kept, s);
  const double rhatBulk = constant ? kNA : rhatCore(s.split.data(), n, halves, s.means);
  if (!constant && n >= 3)
    result.essBulk = essCore(s.split.data(), n, halves, {kDirectLags, n, LagTransform::kWhole}, s);

  // Distances from the median of all draws grow outwards from it on both sides, so merging
  // the two sides orders them without another sort.
  const double median = count % 2 == 1
                            ? sorted[count / 2].value
                            : midway(sorted[count / 2 - 1].value, sorted[count / 2].value);
  const double rhatTail = foldedRhat(
      ascending, kept, median, [&](size_t k) { return ascending[k].value; }, n, halves, s);
  result.rhat = std::isnan(rhatBulk) || std::isnan(rhatTail) ? kNA : std::max(rhatBulk, rhatTail);
  s.bulkRhat = rhatBulk;
  result.essTail = tailEss(sorted, count, ascending, kept, n, halves, s);
  s.figures = result;
  return result;
}

std::optional<Convergence> scaledConvergence(const ConvergenceScratch& s, double scale,
                                             ConvergenceScratch& work, std::vector<double>& ys) {
  if (!s.sortedAll || !(scale > 0.0) || !std::isfinite(scale)) return std::nullopt;
  const size_t m = s.chains, length = s.length, n = length / 2;
  const size_t count = m * length, kept = 2 * m * n;
  const RankedDraw* sorted = s.sorted.data();
  const RankedDraw* ascending = length % 2 == 1 ? s.ascending.data() : sorted;
  // Finite, and equal exactly where x is: then every normal score is x's. Scaling never
  // reverses an order, so only new ties and overflows need looking for.
  ys.resize(count);
  bool same = true;
  for (size_t i = 0; i < count; ++i) {
    ys[i] = sorted[i].value * scale;
    same &= std::isfinite(ys[i]);
  }
  for (size_t i = 1; i < count; ++i)
    same &= (ys[i] == ys[i - 1]) == (sorted[i].value == sorted[i - 1].value);
  if (!same) return std::nullopt;
  // The tails: the same range check, and the same counts at or below their quantiles.
  const bool tails =
      n >= 3 && !(std::fabs(sorted[count - 1].value - sorted[0].value) < DBL_EPSILON);
  if (tails != (n >= 3 && !(std::fabs(ys[count - 1] - ys[0]) < DBL_EPSILON))) return std::nullopt;
  if (tails) {
    auto valueAt = [&](size_t i) { return sorted[i].value; };
    auto scaledAt = [&](size_t i) { return ys[i]; };
    for (double p : {0.05, 0.95}) {
      const double qx = type7QuantileAsR(valueAt, count, p);
      const double qy = type7QuantileAsR(scaledAt, count, p);
      const auto below =
          std::upper_bound(ascending, ascending + kept, qx,
                           [](double v, const RankedDraw& d) { return v < d.value; });
      const auto scaledBelow =
          std::upper_bound(ascending, ascending + kept, qy,
                           [scale](double v, const RankedDraw& d) { return v < d.value * scale; });
      if (below != scaledBelow) return std::nullopt;
    }
  }
  // Folding is another matter: distances from the median are small differences of large
  // values, which scaling rounds differently, so they are folded and ranked afresh.
  Convergence result = s.figures;
  const double median = count % 2 == 1 ? ys[count / 2] : midway(ys[count / 2 - 1], ys[count / 2]);
  const double rhatTail = foldedRhat(
      ascending, kept, median, [&](size_t k) { return ascending[k].value * scale; }, n, 2 * m,
      work);
  result.rhat =
      std::isnan(s.bulkRhat) || std::isnan(rhatTail) ? kNA : std::max(s.bulkRhat, rhatTail);
  return result;
}

MonteCarloErrors scaledErrors(const MonteCarloErrors& errors, double scale) {
  return {errors.mean * scale, errors.sd * scale, errors.median * scale};
}

namespace {

// Returns the continued fraction of the regularised incomplete beta at x below its mean
// (modified Lentz), to the last place.
double betaFraction(double x, double a, double b) {
  constexpr double kTiny = 1e-300;
  double c = 1.0;
  double d = 1.0 - (a + b) * x / (a + 1.0);
  d = 1.0 / (std::fabs(d) < kTiny ? kTiny : d);
  double h = d;
  for (int k = 1; k < 100000; ++k) {
    const double m = k;
    for (const double term : {m * (b - m) * x / ((a + 2.0 * m - 1.0) * (a + 2.0 * m)),
                              -(a + m) * (a + b + m) * x / ((a + 2.0 * m) * (a + 2.0 * m + 1.0))}) {
      d = 1.0 + term * d;
      d = 1.0 / (std::fabs(d) < kTiny ? kTiny : d);
      c = 1.0 + term / c;
      c = std::fabs(c) < kTiny ? kTiny : c;
      h *= d * c;
    }
    if (std::fabs(d * c - 1.0) < 1e-16) break;
  }
  return h;
}

// Returns the regularised incomplete beta I_x(a, b), given `logBeta`, the logarithm
// lgamma(a + b) - lgamma(a) - lgamma(b) summed in that order, which a search over x reuses.
double incompleteBeta(double x, double a, double b, double logBeta) {
  if (x <= 0.0) return 0.0;
  if (x >= 1.0) return 1.0;
  const double front = std::exp(logBeta + a * std::log(x) + b * std::log1p(-x));
  if (x < (a + 1.0) / (a + b + 2.0)) return front * betaFraction(x, a, b) / a;
  return 1.0 - front * betaFraction(1.0 - x, b, a) / b;
}

// The mean of all draws and the sums of the squares and fourth powers of their distances from
// it, summed as the reference sums them, in extended precision.
struct Moments {
  double centre = 0.0;
  long double squares = 0.0L, fourths = 0.0L;
};

// Returns the moments of all draws.
Moments moments(std::span<const double* const> chains, size_t length) {
  long double total = 0.0L;
  for (const double* x : chains) {
    for (size_t i = 0; i < length; ++i) total += x[i];
  }
  Moments m;
  m.centre = static_cast<double>(total / static_cast<long double>(chains.size() * length));
  for (const double* x : chains) {
    for (size_t i = 0; i < length; ++i) {
      const double d = x[i] - m.centre, square = d * d;
      m.squares += square;
      // The square squared, a few times cheaper than pow(d, 4) and within a unit of it.
      m.fourths += square * square;
    }
  }
  return m;
}

// Returns the effective sample size of f(x) over the split chains, the half-chains in s.split
// as the split places them; not-a-number for a constant or non-finite one.
template <class F>
double splitEss(std::span<const double* const> chains, size_t length, ConvergenceScratch& s,
                F&& f) {
  const size_t m = chains.size(), n = length / 2;
  double low = INFINITY, high = -INFINITY;
  for (size_t c = 0; c < m; ++c) {
    for (size_t i = 0; i < n; ++i) {
      const double first = f(chains[c][i]);
      const double second = f(chains[c][length - n + i]);
      s.split[c * n + i] = first;
      s.split[(m + c) * n + i] = second;
      low = std::min({low, first, second});
      high = std::max({high, first, second});
    }
  }
  if (!std::isfinite(low) || !std::isfinite(high) || high - low < DBL_EPSILON) return kNA;
  // Autocorrelations die out long before lag n / 4 in all but the slowest chains, and the lags
  // up to it take the smallest power of two of at least 5 n / 4 points, often half the 2 n
  // that every lag takes.
  return essCore(s.split.data(), n, 2 * m,
                 {kFallenDirectLags, lagTransformSize(n, n / 4 + 1) - n + 1, LagTransform::kHalved},
                 s);
}

// Returns the p-th quantile of the beta distribution with shapes a and b by bisection, which
// ends where the interval can shrink no more or where settled(low, high) says that every point
// left in it would serve alike. The result lies in every interval the bisection passed through.
template <class Settled>
double bisectBetaQuantile(double p, double a, double b, Settled&& settled) {
  const double logBeta = std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b);
  double low = 0.0, high = 1.0;
  for (int step = 0; step < 1100 && !settled(low, high); ++step) {
    const double middle = low + (high - low) / 2.0;
    if (middle <= low || middle >= high) break;
    (incompleteBeta(middle, a, b, logBeta) < p ? low : high) = middle;
  }
  return low + (high - low) / 2.0;
}

// Returns the Monte Carlo error of the median of the `count` draws `sorted`, ascending and
// split, from the effective sample size of the indicator of falling at or below it.
double medianError(const RankedDraw* sorted, size_t length, size_t count, size_t n, size_t halves,
                   ConvergenceScratch& s) {
  if (std::fabs(sorted[count - 1].value - sorted[0].value) < DBL_EPSILON) return kNA;
  const size_t kept = halves * n;
  const RankedDraw* ascending = splitAscending(sorted, length, count, s);
  const double q = type7QuantileAsR([&](size_t i) { return sorted[i].value; }, count, 0.5);
  const auto below = static_cast<size_t>(
      std::upper_bound(ascending, ascending + kept, q,
                       [](double v, const RankedDraw& d) { return v < d.value; }) -
      ascending);
  if (below == 0 || below >= kept) return kNA;
  const double ess = indicatorEss(ascending, kept, below, n, halves, s);
  // The draws at the ends of a central interval of about one standard error either side. Only
  // which draws matters, so each quantile is bisected only until its interval's ends give the
  // same draw: rounding a product keeps its order, so every point between them gives that draw
  // too, the full bisection's end among them.
  const auto size = static_cast<double>(count);
  const double shape = ess * 0.5 + 1.0;
  const double lowP = bisectBetaQuantile(0.1586553, shape, shape, [size](double l, double h) {
    return std::floor(l * size) == std::floor(h * size);
  });
  const double highP = bisectBetaQuantile(0.8413447, shape, shape, [size](double l, double h) {
    return std::ceil(l * size) == std::ceil(h * size);
  });
  const auto lowAt = static_cast<size_t>(std::max(std::floor(lowP * size), 1.0));
  const auto highAt = static_cast<size_t>(std::min(std::ceil(highP * size), size));
  return (sorted[highAt - 1].value - sorted[lowAt - 1].value) / 2.0;
}

}  // namespace

MonteCarloErrors monteCarloErrors(std::span<const double* const> chains, size_t length,
                                  ConvergenceScratch& s, const ConvergenceScratch* diagnosed) {
  MonteCarloErrors result;
  const size_t m = chains.size();
  const size_t n = length / 2;
  if (m == 0 || n < 3) return result;
  const size_t count = m * length, halves = 2 * m;
  if (count >= kDropped) fail(1, Stream::kStdout, "Scalesum: too many draws to diagnose\n");
  // The diagnosis sorted every draw only if all were finite.
  const bool reuse = diagnosed != nullptr && diagnosed->sortedAll && diagnosed->chains == m &&
                     diagnosed->length == length;
  try {
    if (!reuse) s.sorted.resize(count);
    s.ascending.resize(halves * n);
    s.split.resize(halves * n);
  } catch (const std::bad_alloc&) {
    reportAllocationError("convergence", 2);
  }
  if (!reuse && !placeDraws(chains, length, n, s)) return result;
  const Moments moment = moments(chains, length);
  const auto draws = static_cast<long double>(count);
  const double sd = std::sqrt(static_cast<double>(moment.squares / (draws - 1.0L)));
  result.mean = sd / std::sqrt(splitEss(chains, length, s, [](double x) { return x; }));
  // The standard deviation's error, by the delta method on the variance's.
  const double squaresEss =
      splitEss(chains, length, s, [c = moment.centre](double x) { return (x - c) * (x - c); });
  const auto meanSquare = static_cast<double>(moment.squares / draws);
  const auto meanFourth = static_cast<double>(moment.fourths / draws);
  const double varianceError = (meanFourth - meanSquare * meanSquare) / squaresEss;
  result.sd = std::sqrt(varianceError / meanSquare / 4.0);
  if (!reuse) sortDraws(s.sorted, s.spare);
  result.median =
      medianError(reuse ? diagnosed->sorted.data() : s.sorted.data(), length, count, n, halves, s);
  return result;
}

}  // namespace scalesum
