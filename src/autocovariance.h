#pragma once

#include <cstddef>
#include <vector>

namespace scalesum {

// Working memory that sumLagProducts() reuses from call to call.
struct LagScratch {
  std::vector<double> re, im;          // two sequences as one complex sequence, then its transform
  std::vector<double> rootRe, rootIm;  // e^(-i pi k / h) at h + k, for each power of two h
};

// Sets sumsA[t] and sumsB[t], for every lag t below n, to the sums over i < n - t of
// a[i] a[i + t] and of b[i] b[i + t] (b null: sumsB is left alone). Both come from one Fourier
// transform, so every lag costs the same and a sum is off by a few units of rounding of the
// largest of the two sums at lag 0, not of its own size.
void sumLagProducts(const double* a, const double* b, size_t n, double* sumsA, double* sumsB,
                    LagScratch& scratch);

}  // namespace scalesum
