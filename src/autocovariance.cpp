#include "autocovariance.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace scalesum {

// e^(-i pi k / h) at h + k, for each power of two h below the table's size.
struct RootTable {
  std::vector<double> re, im;
};

namespace {

// Returns the roots of unity for transforms of `size` points, a power of two. Each root is
// rounded once from extended precision, not built up by recurrence, which would add an error per
// step. Every thread shares one table, which only ever grows, and the table for a size holds
// those of every smaller one as its start: filling it takes about as long as the transforms of a
// few series, so it is filled once a run rather than once a scratch.
std::shared_ptr<const RootTable> sharedRoots(size_t size) {
  static std::mutex lock;
  static std::shared_ptr<const RootTable> shared;
  const std::lock_guard<std::mutex> hold(lock);
  if (shared != nullptr && shared->re.size() >= size) return shared;
  constexpr long double kPi = 3.141592653589793238462643383279502884L;
  auto table = std::make_shared<RootTable>();
  size_t h = 1;
  if (shared != nullptr) {
    table->re = shared->re;
    table->im = shared->im;
    h = shared->re.size();
  }
  table->re.resize(size, 1.0);
  table->im.resize(size, 0.0);
  for (; h < size; h *= 2) {
    for (size_t k = 0; k < h; ++k) {
      const long double angle = kPi * static_cast<long double>(k) / static_cast<long double>(h);
      table->re[h + k] = static_cast<double>(std::cos(angle));
      table->im[h + k] = static_cast<double>(-std::sin(angle));
    }
    // A quarter turn is exactly -i, which the last stages of forward() and the first of
    // inverse() take without multiplying.
    if (h >= 2) {
      table->re[h + h / 2] = 0.0;
      table->im[h + h / 2] = -1.0;
    }
  }
  shared = std::move(table);
  return shared;
}

// Makes s.roots serve transforms of `size` points; a table the scratch holds is kept while it
// serves, whatever other threads make shared since.
void prepareRoots(size_t size, LagScratch& s) {
  if (s.roots == nullptr || s.roots->re.size() < size) s.roots = sharedRoots(size);
}

// The butterflies of one stage of forward(): (x, y) becomes (x + y, (x - y) w).
inline void spread(double& xr, double& xi, double& yr, double& yi, double wr, double wi) {
  const double dr = xr - yr, di = xi - yi;
  xr = xr + yr;
  xi = xi + yi;
  yr = dr * wr - di * wi;
  yi = dr * wi + di * wr;
}

// The butterflies of one stage of inverse(): (x, y) becomes (x + y conj w, x - y conj w).
inline void gather(double& xr, double& xi, double& yr, double& yi, double wr, double wi) {
  const double vr = yr * wr + yi * wi;
  const double vi = yi * wr - yr * wi;
  const double ur = xr, ui = xi;
  xr = ur + vr;
  xi = ui + vi;
  yr = ur - vr;
  yi = ui - vi;
}

// The last two stages of forward() on the four points at x: their roots are 1, 1 and -i, so
// the butterflies only add.
inline void lastStages(double* r, double* i) {
  const double r0 = r[0] + r[2], i0 = i[0] + i[2], r2 = r[0] - r[2], i2 = i[0] - i[2];
  const double r1 = r[1] + r[3], i1 = i[1] + i[3];
  const double r3 = i[1] - i[3], i3 = r[3] - r[1];  // (x - y) (-i)
  r[0] = r0 + r1, i[0] = i0 + i1, r[1] = r0 - r1, i[1] = i0 - i1;
  r[2] = r2 + r3, i[2] = i2 + i3, r[3] = r2 - r3, i[3] = i2 - i3;
}

// The first two stages of inverse() on the four real points at x (i is written, not read):
// their conjugate roots are 1, 1 and i. The zero imaginary parts still take part in every
// operation, so that each result, the sign of a zero included, is what complex points give.
inline void firstStages(double* r, double* i) {
  constexpr double kZero = 0.0;
  const double r0 = r[0] + r[1], i0 = kZero + kZero, r1 = r[0] - r[1], i1 = kZero - kZero;
  const double r2 = r[2] + r[3], i2 = kZero + kZero, r3 = r[2] - r[3], i3 = kZero - kZero;
  r[0] = r0 + r2, i[0] = i0 + i2, r[2] = r0 - r2, i[2] = i0 - i2;
  const double vr = -i3, vi = r3;  // y i
  r[1] = r1 + vr, i[1] = i1 + vi, r[3] = r1 - vr, i[3] = i1 - vi;
}

// Transforms the `size` points in place, leaving them in bit-reversed order (decimation in
// frequency); the points from `filled` on must be zero, as padding leaves them. Stages go two at
// a time, each point read and written once for both, which halves the trips through memory.
// Every point meets the operations a stage at a time would give it, and vector and scalar code
// round alike.
__attribute__((target_clones("avx512f", "avx2", "default"))) void forward(
    double* __restrict re, double* __restrict im, size_t size, size_t filled,
    const double* __restrict rootRe, const double* __restrict rootIm) {
  size_t h = size / 2;
  if (h >= 4 && filled <= h) {
    // The first stage meets only zeros in the upper half: x + 0 is x, and (x - 0) w is x w.
    const size_t q = h / 2;
#pragma GCC ivdep
    for (size_t k = 0; k < q; ++k) {
      double r0 = re[k], r1 = re[k + q], i0 = im[k], i1 = im[k + q];
      double r2 = r0 * rootRe[h + k] - i0 * rootIm[h + k];
      double i2 = r0 * rootIm[h + k] + i0 * rootRe[h + k];
      double r3 = r1 * rootRe[h + k + q] - i1 * rootIm[h + k + q];
      double i3 = r1 * rootIm[h + k + q] + i1 * rootRe[h + k + q];
      spread(r0, i0, r1, i1, rootRe[q + k], rootIm[q + k]);
      spread(r2, i2, r3, i3, rootRe[q + k], rootIm[q + k]);
      re[k] = r0, re[k + q] = r1, re[k + h] = r2, re[k + h + q] = r3;
      im[k] = i0, im[k + q] = i1, im[k + h] = i2, im[k + h + q] = i3;
    }
    h /= 4;
  }
  for (; h >= 4; h /= 4) {
    const size_t q = h / 2;
    for (size_t start = 0; start < size; start += 2 * h) {
      double* r = re + start;
      double* i = im + start;
      // The four quarters of a block never overlap.
#pragma GCC ivdep
      for (size_t k = 0; k < q; ++k) {
        double r0 = r[k], r1 = r[k + q], r2 = r[k + h], r3 = r[k + h + q];
        double i0 = i[k], i1 = i[k + q], i2 = i[k + h], i3 = i[k + h + q];
        spread(r0, i0, r2, i2, rootRe[h + k], rootIm[h + k]);
        spread(r1, i1, r3, i3, rootRe[h + k + q], rootIm[h + k + q]);
        spread(r0, i0, r1, i1, rootRe[q + k], rootIm[q + k]);
        spread(r2, i2, r3, i3, rootRe[q + k], rootIm[q + k]);
        r[k] = r0, r[k + q] = r1, r[k + h] = r2, r[k + h + q] = r3;
        i[k] = i0, i[k + q] = i1, i[k + h] = i2, i[k + h + q] = i3;
      }
    }
  }
  if (h == 2) {
    for (size_t start = 0; start < size; start += 4) lastStages(re + start, im + start);
  } else if (h == 1) {
    for (size_t start = 0; start < size; start += 2) {
      spread(re[start], im[start], re[start + 1], im[start + 1], 1.0, 0.0);
    }
  }
}

// Undoes forward() but for a factor of `size`: takes bit-reversed points back to natural order
// (decimation in time, conjugate roots), two stages at a time. Where `real`, the points are
// real and their imaginary parts need not be stored.
__attribute__((target_clones("avx512f", "avx2", "default"))) void inverse(
    double* __restrict re, double* __restrict im, size_t size, bool real,
    const double* __restrict rootRe, const double* __restrict rootIm) {
  size_t h = 1;
  if (real && size >= 4) {
    for (size_t start = 0; start < size; start += 4) firstStages(re + start, im + start);
    h = 4;
  } else if (real) {
    std::fill(im, im + size, 0.0);
  }
  for (; 2 * h < size; h *= 4) {
    const size_t d = 2 * h;
    for (size_t start = 0; start < size; start += 2 * d) {
      double* r = re + start;
      double* i = im + start;
#pragma GCC ivdep
      for (size_t k = 0; k < h; ++k) {
        double r0 = r[k], r1 = r[k + h], r2 = r[k + d], r3 = r[k + d + h];
        double i0 = i[k], i1 = i[k + h], i2 = i[k + d], i3 = i[k + d + h];
        gather(r0, i0, r1, i1, rootRe[h + k], rootIm[h + k]);
        gather(r2, i2, r3, i3, rootRe[h + k], rootIm[h + k]);
        gather(r0, i0, r2, i2, rootRe[d + k], rootIm[d + k]);
        gather(r1, i1, r3, i3, rootRe[d + k + h], rootIm[d + k + h]);
        r[k] = r0, r[k + h] = r1, r[k + d] = r2, r[k + d + h] = r3;
        i[k] = i0, i[k + h] = i1, i[k + d] = i2, i[k + d + h] = i3;
      }
    }
  }
  if (h < size) {
    for (size_t k = 0; k < h; ++k) {
      gather(re[k], im[k], re[k + h], im[k + h], rootRe[h + k], rootIm[h + k]);
    }
  }
}

// Calls visit(p, q) once for each point p of a transform of `size` points in bit-reversed
// order and the point q that holds its frequency's negative (q == p for frequencies 0 and
// size / 2): for 2^j <= p < 2^(j+1) it sits at 3 * 2^j - 1 - p.
template <class Visit>
void forEachMirror(size_t size, Visit&& visit) {
  visit(size_t{0}, size_t{0});
  for (size_t block = 1; block < size; block *= 2) {
    for (size_t p = block; p < block + (block + 1) / 2; ++p) visit(p, 3 * block - 1 - p);
  }
}

// Adds to `power` (or, the first time, stores in it), for the transform Z of a + ib in
// bit-reversed order, 4 |A|^2 + 4 |B|^2: the power spectra of a and b. A and B at frequency k
// are (Z_k + conj Z_-k) / 2 and (Z_k - conj Z_-k) / 2i, and both frequencies have the same
// power. A power is never -0, so storing it gives what adding it to +0 would.
void addPowerSpectra(const double* re, const double* im, size_t size, double* power, bool first) {
  auto pair = [&](size_t p, size_t q) {
    const double zr = re[p], zi = im[p], wr = re[q], wi = im[q];
    const double sr = zr + wr, si = zi - wi, dr = zr - wr, di = zi + wi;
    const double both = (sr * sr + si * si) + (dr * dr + di * di);
    power[p] = first ? both : power[p] + both;
    if (q != p) power[q] = first ? both : power[q] + both;
  };
  forEachMirror(size, pair);
}

// Sets s.power to the sum of the power spectra (addPowerSpectra()) of the `count` sequences of
// n values at x, each padded to `size` points, in bit-reversed order: the forward transforms
// take the sequences two at a time.
void sumPowerSpectra(const double* x, size_t n, size_t count, size_t size, LagScratch& s) {
  s.power.resize(size);
  s.re.resize(size);
  s.im.resize(size);
  for (size_t j = 0; j < count; j += 2) {
    std::copy(x + j * n, x + (j + 1) * n, s.re.begin());
    std::fill(s.re.begin() + static_cast<std::ptrdiff_t>(n), s.re.end(), 0.0);
    if (j + 1 < count) {
      std::copy(x + (j + 1) * n, x + (j + 2) * n, s.im.begin());
      std::fill(s.im.begin() + static_cast<std::ptrdiff_t>(n), s.im.end(), 0.0);
    } else {
      std::fill(s.im.begin(), s.im.end(), 0.0);
    }
    forward(s.re.data(), s.im.data(), size, n, s.roots->re.data(), s.roots->im.data());
    addPowerSpectra(s.re.data(), s.im.data(), size, s.power.data(), j == 0);
  }
}

// Sets s.twistRe and s.twistIm, at each position p of a bit-reversed transform of `half` points,
// to W^k for the frequency k at p, W = e^(-i pi / half): what a spectrum of 2 half points
// turns its upper half by when halved.
void prepareTwists(size_t half, LagScratch& s) {
  if (s.twistRe.size() == half) return;
  s.twistRe.resize(half);
  s.twistIm.resize(half);
  for (size_t k = 0, p = 0; k < half; ++k) {
    s.twistRe[p] = s.roots->re[half + k];
    s.twistIm[p] = s.roots->im[half + k];
    size_t bit = half / 2;  // p counts on with its bits reversed
    for (; bit > 0 && (p & bit) != 0; bit /= 2) p ^= bit;
    p |= bit;
  }
}

// The power spectrum P of 2 half points, real and even, as one complex point Y_k of half
// points for each k below half: (P_k + P_(k+half)) + i (P_k - P_(k+half)) conj(W^k). Its
// inverse transform is then c_2m + i c_2m+1, where c is the inverse of P: the even lags and
// the odd ones at once, at half the cost.
inline void foldPower(double low, double high, double wr, double wi, double& yr, double& yi) {
  const double both = low + high, difference = low - high;
  yr = both + difference * wi;
  yi = difference * wr;
}

// Sets s.re and s.im to the folded power spectrum (foldPower()) of the n real values x padded
// to 2 half points, in bit-reversed order: the values go two at a time into complex points,
// z_m = x_2m + i x_2m+1, whose transform Z of half points holds those of the even and the odd
// values, E_k = (Z_k + conj Z_-k) / 2 and O_k = (Z_k - conj Z_-k) / 2i; the full spectrum is
// E_k + W^k O_k at k and E_k - W^k O_k at k + half.
void foldedPowerOfOne(const double* x, size_t n, size_t half, LagScratch& s) {
  s.re.resize(half);
  s.im.resize(half);
  double* re = s.re.data();
  double* im = s.im.data();
  size_t filled = n / 2;
  for (size_t m = 0; m < filled; ++m) re[m] = x[2 * m], im[m] = x[2 * m + 1];
  if (n % 2 == 1) re[filled] = x[n - 1], im[filled] = 0.0, ++filled;
  std::fill(re + filled, re + half, 0.0);
  std::fill(im + filled, im + half, 0.0);
  forward(re, im, half, filled, s.roots->re.data(), s.roots->im.data());
  // Twice the full spectrum at k and k + half is S + T and S - T, with S = Z_k + conj Z_-k and
  // T = W^k (-i) (Z_k - conj Z_-k); its power, four times |X|^2, is what the pairs' is.
  auto fold = [&](double zr, double zi, double wr, double wi, size_t p, double& yr, double& yi) {
    const double sr = zr + wr, si = zi - wi, dr = zr - wr, di = zi + wi;
    const double tr = s.twistRe[p] * di + s.twistIm[p] * dr;
    const double ti = s.twistIm[p] * di - s.twistRe[p] * dr;
    const double ar = sr + tr, ai = si + ti, br = sr - tr, bi = si - ti;
    foldPower(ar * ar + ai * ai, br * br + bi * bi, s.twistRe[p], s.twistIm[p], yr, yi);
  };
  auto pair = [&](size_t p, size_t q) {
    const double zr = re[p], zi = im[p], wr = re[q], wi = im[q];
    fold(zr, zi, wr, wi, p, re[p], im[p]);
    if (q != p) fold(wr, wi, zr, zi, q, re[q], im[q]);
  };
  forEachMirror(half, pair);
}

}  // namespace

size_t lagTransformSize(size_t n, size_t lags) {
  // The circular transform wraps lag t onto lag t - size: padding n values to n + lags - 1
  // points keeps every lag below `lags` clear of it.
  size_t size = 1;
  while (size < n + lags - 1) size *= 2;
  return size;
}

void sumLagProducts(const double* x, size_t n, size_t count, size_t lags, double* sums,
                    LagScratch& s, LagTransform how) {
  if (lags == 0) return;
  if (count == 0) {
    std::fill(sums, sums + lags, 0.0);
    return;
  }
  const size_t size = lagTransformSize(n, lags);
  prepareRoots(size, s);
  // Scaling by a power of two rounds nothing.
  const double scale = 1.0 / (4.0 * static_cast<double>(size));
  if (how == LagTransform::kWhole || size < 4) {
    // The transform is linear, so one inverse of the summed power spectra sums the sequences'
    // lag products.
    sumPowerSpectra(x, n, count, size, s);
    inverse(s.power.data(), s.im.data(), size, true, s.roots->re.data(), s.roots->im.data());
    for (size_t t = 0; t < lags; ++t) sums[t] = s.power[t] * scale;
    return;
  }
  const size_t half = size / 2;
  prepareTwists(half, s);
  if (count == 1) {
    foldedPowerOfOne(x, n, half, s);
  } else {
    sumPowerSpectra(x, n, count, size, s);
    // Frequencies k and k + half sit side by side in bit-reversed order.
    for (size_t p = 0; p < half; ++p) {
      foldPower(s.power[2 * p], s.power[2 * p + 1], s.twistRe[p], s.twistIm[p], s.re[p], s.im[p]);
    }
  }
  inverse(s.re.data(), s.im.data(), half, false, s.roots->re.data(), s.roots->im.data());
  for (size_t t = 0; t < lags; ++t) sums[t] = (t % 2 == 0 ? s.re[t / 2] : s.im[t / 2]) * scale;
}

// Each lag's products are added in an order fixed whatever the vector width, so every machine
// gets the same sums; wider vectors only do more lags at once.
__attribute__((target_clones("avx2", "default"))) void addLagProducts(const double* c, size_t n,
                                                                      size_t first, double* sums) {
  using Lanes = double __attribute__((vector_size(32)));
  static_assert(kLagsPerPass == 8);
  const size_t reach = first + kLagsPerPass - 1;
  const size_t shared = n > reach ? n - reach : 0;  // every lag has a term for i below this
  // Even and odd i go to separate sums, which halves the wait on each addition.
  Lanes lowEven = {}, highEven = {}, lowOdd = {}, highOdd = {};
  Lanes ahead, further;
  size_t i = 0;
  for (; i + 2 <= shared; i += 2) {
    std::memcpy(&ahead, c + i + first, sizeof ahead);
    std::memcpy(&further, c + i + first + 4, sizeof further);
    lowEven += c[i] * ahead;
    highEven += c[i] * further;
    std::memcpy(&ahead, c + i + 1 + first, sizeof ahead);
    std::memcpy(&further, c + i + 1 + first + 4, sizeof further);
    lowOdd += c[i + 1] * ahead;
    highOdd += c[i + 1] * further;
  }
  if (i < shared) {
    std::memcpy(&ahead, c + i + first, sizeof ahead);
    std::memcpy(&further, c + i + first + 4, sizeof further);
    lowEven += c[i] * ahead;
    highEven += c[i] * further;
  }
  const Lanes lowSum = lowEven + lowOdd, highSum = highEven + highOdd;
  for (size_t m = 0; m < kLagsPerPass; ++m) {
    const size_t lag = first + m;
    double sum = m < 4 ? lowSum[m] : highSum[m - 4];
    for (size_t i = shared; i + lag < n; ++i) sum += c[i] * c[i + lag];
    sums[m] += sum;
  }
}

}  // namespace scalesum
