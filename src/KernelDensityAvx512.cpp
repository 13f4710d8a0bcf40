// The density kernel on eight lanes. This source alone is compiled with AVX-512F and FMA enabled
// and is entered only after the CPU (and the operating system) have been found to support them.

#include "KernelDensityLanes.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace scalesum {
namespace {

// The masked forms of the shift and the gather, with every lane enabled, avoid the unmasked
// forms' undefined source operand, which this compiler warns about.
struct Avx512Lanes {
  static constexpr int kWidth = 8;
  using Vec = __m512d;
  using Bits = __m512i;
  using Mask = __mmask8;

  static Vec broadcast(double a) { return _mm512_set1_pd(a); }
  static Bits broadcastBits(uint64_t a) { return _mm512_set1_epi64(static_cast<long long>(a)); }
  static Vec load(const double* p) { return _mm512_load_pd(p); }
  static void store(double* p, Vec a) { _mm512_store_pd(p, a); }

  static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
  static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
  static Vec div(Vec a, Vec b) { return _mm512_div_pd(a, b); }
  static Vec minimum(Vec a, Vec b) { return _mm512_maskz_min_pd(0xFF, a, b); }
  static Vec maximum(Vec a, Vec b) { return _mm512_maskz_max_pd(0xFF, a, b); }
  static Vec fmadd(Vec a, Vec b, Vec c) { return _mm512_fmadd_pd(a, b, c); }
  static Vec abs(Vec a) {
    return _mm512_castsi512_pd(
        _mm512_and_epi64(_mm512_castpd_si512(a), _mm512_set1_epi64(0x7fffffffffffffffLL)));
  }

  static Bits vecToBits(Vec a) { return _mm512_castpd_si512(a); }
  static Vec bitsToVec(Bits a) { return _mm512_castsi512_pd(a); }
  static Bits addBits(Bits a, Bits b) { return _mm512_add_epi64(a, b); }
  static Bits subBits(Bits a, Bits b) { return _mm512_sub_epi64(a, b); }
  static Bits andBits(Bits a, Bits b) { return _mm512_and_epi64(a, b); }
  template <unsigned kCount>
  static Bits shiftLeftBits(Bits a) {
    return _mm512_maskz_slli_epi64(0xFF, a, kCount);
  }
  static void lookUpTable(Bits k, Bits& tail, Bits& head) {
    const Bits index = _mm512_maskz_slli_epi64(0xFF, k, 1);
    tail = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), 0xFF, index, kExpTable, 8);
    head = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), 0xFF, index, kExpTable + 1, 8);
  }

  static Mask less(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static Mask lessEqual(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static Mask greaterEqual(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
  static Mask equal(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  static Mask maskAnd(Mask a, Mask b) { return static_cast<Mask>(a & b); }
  static Mask maskOr(Mask a, Mask b) { return static_cast<Mask>(a | b); }
  static bool allSet(Mask m) { return m == 0xFF; }
  static Vec select(Mask m, Vec ifSet, Vec ifClear) {
    return _mm512_mask_blend_pd(m, ifClear, ifSet);
  }
};

#include "KernelDensityLanes.inc"

}  // namespace

void evaluateDensityGridAvx512(const DensityGridTask& task) {
  evaluateGrid<Avx512Lanes>(task);
}

void boundDensityGridAvx512(const DensityBoundTask& task) {
  boundGrid<Avx512Lanes>(task);
}

void evaluateExpAvx512(const double* in, double* out, int64_t n) {
  evaluateExp<Avx512Lanes>(in, out, n);
}

}  // namespace scalesum

#endif
