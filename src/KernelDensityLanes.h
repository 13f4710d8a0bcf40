#pragma once

// The interface between the density engine and its vector kernels. The kernels live in sources
// compiled for their own instruction sets, so this header holds declarations and plain data
// only: nothing here may be compiled into code that another source could end up calling.

#include <cstdint>

namespace scalesum {

// The table of the exponential: entry 2k holds the bits of T(k) and entry 2k+1 the bits of
// H(k) minus k << 45, with H(k) = 2^(k/128) rounded to double and T(k) = 2^(k/128) / H(k) - 1
// rounded to double.
extern const uint64_t kExpTable[256];

// The grid densities one kernel call evaluates. Values are the summary's values, or the distinct
// values of its runs of identical values when runLengths is set; terms of value j are evaluated
// at grid point k only for j in [firstValue[k], endValue[k]) (the others are exactly zero).
struct DensityGridTask {
  const double* points = nullptr;
  int32_t pointCount = 0;
  const double* values = nullptr;
  const int32_t* runLengths = nullptr;
  const int32_t* firstValue = nullptr;
  const int32_t* endValue = nullptr;
  double bandwidth = 0.0;
  double kernelScale = 0.0;  // sqrt(2 pi) times the bandwidth: each term's divisor
  double count = 0.0;
  double* densities = nullptr;
};

// The bins of values one bound call runs over, and where it stores, for each grid point, the
// bins' approximation of the point's sum of unscaled terms exp(-(x - v)^2 / 2h^2) and a bound on
// that approximation's error. Bin j counts count[j] values within reach[j] bandwidths of its
// centre; first[j], second[j] and third[j] bound the sums of (v - centre) / h, of its square
// over 2 and of its cube's magnitude over 6. Grid point k takes bins [firstBin[k], endBin[k]).
struct DensityBoundTask {
  const double* points = nullptr;
  int32_t pointCount = 0;
  const double* centre = nullptr;
  const double* count = nullptr;
  const double* reach = nullptr;
  const double* first = nullptr;
  const double* second = nullptr;
  const double* third = nullptr;
  const int32_t* firstBin = nullptr;
  const int32_t* endBin = nullptr;
  double inverseBandwidth = 0.0;
  double* approximation = nullptr;
  double* error = nullptr;
};

#if defined(__x86_64__)
// Stores the task's densities, four grid points at a time; needs AVX2 and FMA.
void evaluateDensityGridAvx2(const DensityGridTask& task);

// Stores exp(in[i]) in out[i], bit for bit as the platform's exp where that is the fused build
// of the table-driven algorithm this kernel replicates (checked at start-up); needs AVX2 and FMA.
void evaluateExpAvx2(const double* in, double* out, int64_t n);

// Stores the task's approximations and error bounds, four grid points at a time; needs AVX2 and
// FMA.
void boundDensityGridAvx2(const DensityBoundTask& task);

// Stores the task's densities, eight grid points at a time; needs AVX-512F and FMA.
void evaluateDensityGridAvx512(const DensityGridTask& task);

// As boundDensityGridAvx2, eight grid points at a time; needs AVX-512F and FMA.
void boundDensityGridAvx512(const DensityBoundTask& task);

// As evaluateExpAvx2, eight arguments at a time; needs AVX-512F and FMA.
void evaluateExpAvx512(const double* in, double* out, int64_t n);
#endif

}  // namespace scalesum
