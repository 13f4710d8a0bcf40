#include "autocovariance.h"

#include <cmath>

namespace scalesum {

namespace {

// Fills the roots of unity for transforms of up to `size` points. The table for a size holds
// those of every smaller one as its start, so it only ever grows. Each root is rounded once
// from extended precision, not built up by recurrence, which would add an error per step.
void prepareRoots(size_t size, LagScratch& s) {
  if (s.rootRe.size() >= size) return;
  constexpr long double kPi = 3.141592653589793238462643383279502884L;
  s.rootRe.assign(size, 1.0);
  s.rootIm.assign(size, 0.0);
  for (size_t h = 1; h < size; h *= 2) {
    for (size_t k = 0; k < h; ++k) {
      const long double angle = kPi * static_cast<long double>(k) / static_cast<long double>(h);
      s.rootRe[h + k] = static_cast<double>(std::cos(angle));
      s.rootIm[h + k] = static_cast<double>(-std::sin(angle));
    }
  }
}

// Transforms the `size` points in place, leaving them in bit-reversed order (decimation in
// frequency). Every butterfly is written out in full, so vector and scalar code round alike.
__attribute__((target_clones("avx2", "default"))) void forward(double* __restrict re,
                                                               double* __restrict im, size_t size,
                                                               const double* __restrict rootRe,
                                                               const double* __restrict rootIm) {
  for (size_t h = size / 2; h >= 1; h /= 2) {
    const double* cr = rootRe + h;
    const double* ci = rootIm + h;
    for (size_t start = 0; start < size; start += 2 * h) {
      double* ar = re + start;
      double* ai = im + start;
      double* br = ar + h;
      double* bi = ai + h;
      for (size_t k = 0; k < h; ++k) {
        const double ur = ar[k], ui = ai[k], vr = br[k], vi = bi[k];
        const double dr = ur - vr, di = ui - vi;
        ar[k] = ur + vr;
        ai[k] = ui + vi;
        br[k] = dr * cr[k] - di * ci[k];
        bi[k] = dr * ci[k] + di * cr[k];
      }
    }
  }
}

// Undoes forward() but for a factor of `size`: takes bit-reversed points back to natural order
// (decimation in time, conjugate roots).
__attribute__((target_clones("avx2", "default"))) void inverse(double* __restrict re,
                                                               double* __restrict im, size_t size,
                                                               const double* __restrict rootRe,
                                                               const double* __restrict rootIm) {
  for (size_t h = 1; h < size; h *= 2) {
    const double* cr = rootRe + h;
    const double* ci = rootIm + h;
    for (size_t start = 0; start < size; start += 2 * h) {
      double* ar = re + start;
      double* ai = im + start;
      double* br = ar + h;
      double* bi = ai + h;
      for (size_t k = 0; k < h; ++k) {
        const double vr = br[k] * cr[k] + bi[k] * ci[k];
        const double vi = bi[k] * cr[k] - br[k] * ci[k];
        const double ur = ar[k], ui = ai[k];
        ar[k] = ur + vr;
        ai[k] = ui + vi;
        br[k] = ur - vr;
        bi[k] = ui - vi;
      }
    }
  }
}

// Replaces the transform Z of a + ib, in bit-reversed order, by 4 |A|^2 + 4i |B|^2, the power
// spectra of a and b. A and B at frequency k are (Z_k + conj Z_-k) / 2 and (Z_k - conj Z_-k) / 2i;
// in bit-reversed order, frequency -k of the point at p, 2^j <= p < 2^(j+1), sits at
// 3 * 2^j - 1 - p, and both frequencies get the same powers.
void powerSpectra(double* re, double* im, size_t size) {
  auto pair = [&](size_t p, size_t q) {
    const double zr = re[p], zi = im[p], wr = re[q], wi = im[q];
    const double sr = zr + wr, si = zi - wi, dr = zr - wr, di = zi + wi;
    re[p] = re[q] = sr * sr + si * si;
    im[p] = im[q] = dr * dr + di * di;
  };
  pair(0, 0);
  for (size_t block = 1; block < size; block *= 2) {
    for (size_t p = block; p < block + (block + 1) / 2; ++p) pair(p, 3 * block - 1 - p);
  }
}

}  // namespace

void sumLagProducts(const double* a, const double* b, size_t n, double* sumsA, double* sumsB,
                    LagScratch& s) {
  if (n == 0) return;
  // Room for every lag below n without the circular transform wrapping one onto another.
  size_t size = 1;
  while (size < 2 * n - 1) size *= 2;
  prepareRoots(size, s);
  s.re.assign(size, 0.0);
  s.im.assign(size, 0.0);
  for (size_t i = 0; i < n; ++i) s.re[i] = a[i];
  if (b != nullptr) {
    for (size_t i = 0; i < n; ++i) s.im[i] = b[i];
  }
  forward(s.re.data(), s.im.data(), size, s.rootRe.data(), s.rootIm.data());
  powerSpectra(s.re.data(), s.im.data(), size);
  inverse(s.re.data(), s.im.data(), size, s.rootRe.data(), s.rootIm.data());
  // Scaling by a power of two rounds nothing.
  const double scale = 1.0 / (4.0 * static_cast<double>(size));
  for (size_t t = 0; t < n; ++t) sumsA[t] = s.re[t] * scale;
  if (b != nullptr) {
    for (size_t t = 0; t < n; ++t) sumsB[t] = s.im[t] * scale;
  }
}

}  // namespace scalesum
