// The density kernel on four lanes. This source alone is compiled with AVX2 and FMA enabled and
// is entered only after the CPU has been found to have them.

#include "KernelDensityLanes.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace scalesum {
namespace {

struct Avx2Lanes {
  static constexpr int kWidth = 4;
  using Vec = __m256d;
  using Bits = __m256i;
  using Mask = __m256d;

  static Vec broadcast(double a) { return _mm256_set1_pd(a); }
  static Bits broadcastBits(uint64_t a) { return _mm256_set1_epi64x(static_cast<long long>(a)); }
  static Vec load(const double* p) { return _mm256_load_pd(p); }
  static void store(double* p, Vec a) { _mm256_store_pd(p, a); }

  static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
  static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
  static Vec div(Vec a, Vec b) { return _mm256_div_pd(a, b); }
  static Vec minimum(Vec a, Vec b) { return _mm256_min_pd(a, b); }
  static Vec maximum(Vec a, Vec b) { return _mm256_max_pd(a, b); }
  static Vec fmadd(Vec a, Vec b, Vec c) { return _mm256_fmadd_pd(a, b, c); }
  static Vec abs(Vec a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }

  static Bits vecToBits(Vec a) { return _mm256_castpd_si256(a); }
  static Vec bitsToVec(Bits a) { return _mm256_castsi256_pd(a); }
  static Bits addBits(Bits a, Bits b) { return _mm256_add_epi64(a, b); }
  static Bits subBits(Bits a, Bits b) { return _mm256_sub_epi64(a, b); }
  static Bits andBits(Bits a, Bits b) { return _mm256_and_si256(a, b); }
  template <int kCount>
  static Bits shiftLeftBits(Bits a) {
    return _mm256_slli_epi64(a, kCount);
  }
  // Four 16-byte loads of (tail, head) pairs and two unpacks: faster than two gathers on some
  // AVX2 CPUs, and no slower on the others.
  static void lookUpTable(Bits k, Bits& tail, Bits& head) {
    alignas(32) uint64_t index[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(index), k);
    const auto pair = [](uint64_t i) {
      return _mm_load_si128(reinterpret_cast<const __m128i*>(kExpTable + 2 * i));
    };
    const __m256i pairs02 = _mm256_set_m128i(pair(index[2]), pair(index[0]));
    const __m256i pairs13 = _mm256_set_m128i(pair(index[3]), pair(index[1]));
    tail = _mm256_unpacklo_epi64(pairs02, pairs13);
    head = _mm256_unpackhi_epi64(pairs02, pairs13);
  }

  static Mask less(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static Mask lessEqual(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static Mask greaterEqual(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
  static Mask equal(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static Mask maskAnd(Mask a, Mask b) { return _mm256_and_pd(a, b); }
  static Mask maskOr(Mask a, Mask b) { return _mm256_or_pd(a, b); }
  static bool allSet(Mask m) { return _mm256_movemask_pd(m) == 0xF; }
  static Vec select(Mask m, Vec ifSet, Vec ifClear) { return _mm256_blendv_pd(ifClear, ifSet, m); }
};

#include "KernelDensityLanes.inc"

}  // namespace

void evaluateDensityGridAvx2(const DensityGridTask& task) {
  evaluateGrid<Avx2Lanes>(task);
}

void boundDensityGridAvx2(const DensityBoundTask& task) {
  boundGrid<Avx2Lanes>(task);
}

void evaluateExpAvx2(const double* in, double* out, int64_t n) {
  evaluateExp<Avx2Lanes>(in, out, n);
}

}  // namespace scalesum

#endif
